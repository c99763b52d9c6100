#pragma once

#include <cstdint>

#include "../reader/io_error.h"
#include "../reader/record.h"

namespace vantoro {

std::uint32_t scan_count_for_version(std::uint32_t version);

// Rebuilds num_scans and the six per-scan tables from fixed file positions.
// On an I/O error the record is left exactly as it was.
Status fill_caches(ReaderRecord& rec);

}  // namespace vantoro
