#pragma once

#include <string>

#include "io_error.h"
#include "record.h"

namespace vantoro {

// Opens the file, probes the header words and fills the per-scan caches.
Result<ReaderRecord> open_reader(std::string path);

// The creation time as whole seconds since 1970 (UTC), in decimal.
std::string creation_date_text(std::uint64_t creation_time);

}  // namespace vantoro
