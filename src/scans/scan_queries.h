// The file operations of one scan, asked by scan number: the record's tables
// give what the peaks/ and metadata/ operations take.
#pragma once

#include <cstdint>
#include <optional>

#include "../metadata/trailer.h"
#include "../peaks/peak_list.h"
#include "record.h"

namespace vantoro {

// The peak list of a 1-based scan; nothing for a scan number without an
// offset, and as read_peak_list says otherwise.
std::optional<PeakList> read_peak_list(const ReaderRecord& rec, std::uint32_t scan_number);

// The diagnostic fields of a 1-based scan; empty for a scan number without a
// table entry.
TrailerFields trailer_extra(const ReaderRecord& rec, std::uint32_t scan_number);

}  // namespace vantoro
