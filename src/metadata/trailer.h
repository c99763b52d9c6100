// The diagnostic fields of one scan: five values from the per-scan tables,
// then either the fields of the scan's trailer record or a constant MS order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantoro {

using TrailerValue = std::variant<double, std::int64_t, std::string>;
using TrailerFields = std::vector<std::pair<const char*, TrailerValue>>;  // in key order

// The scan's entries in the four diagnostic tables.
struct TableFields {
    double injection_time = 0.0;
    std::int32_t master_scan = 0;
    std::int32_t charge = 0;
    double monoisotopic_mz = 0.0;
};

// The fields of the scan with 0-based index `scan_index` of the file at
// `path`, format `version`. I/O problems never fail the call: they leave out
// the fields that would have come from the file.
TrailerFields trailer_extra(std::string_view path, std::uint32_t version, std::uint64_t scan_index,
                            const TableFields& tables);

}  // namespace vantoro
