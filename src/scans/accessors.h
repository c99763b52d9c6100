// Per-scan lookups answered from the tables alone: the one checked lookup
// every member that takes a scan number goes through.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../format/selection.h"
#include "record.h"

namespace vantoro {

// A table's entry for a 1-based scan number, or nothing when the record has
// no such scan or the table no such entry.
template <class T>
std::optional<T> scan_entry(const ReaderRecord& rec, const std::vector<T> ScanTables::*table,
                            std::uint32_t scan_number) {
    const std::uint64_t i = scan_index(scan_number);
    const std::vector<T>& values = rec.*table;
    if (i >= rec.num_scans || i >= values.size()) return std::nullopt;
    return values[i];
}

// The entry, or zero when there is none.
template <class T>
T scan_value(const ReaderRecord& rec, const std::vector<T> ScanTables::*table, std::uint32_t scan_number) {
    return scan_entry(rec, table, scan_number).value_or(T{});
}

}  // namespace vantoro
