// The diagnostic fields of one scan: five values from the per-scan caches,
// then either the fields of the scan's trailer block or a constant MS order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "../reader/record.h"

namespace vantoro {

using TrailerValue = std::variant<double, std::int64_t, std::string>;
using TrailerFields = std::vector<std::pair<const char*, TrailerValue>>;  // in key order

// Empty for a scan number without a table entry. I/O problems never fail the
// call: they leave out the fields that would have come from the file.
TrailerFields trailer_extra(const ReaderRecord& rec, std::uint32_t scan_number);

}  // namespace vantoro
