// Per-scan lookups answered from the tables alone.
#pragma once

#include <cstdint>
#include <vector>

#include "selection.h"

namespace vantoro {

// Entry for a 1-based scan number, or zero when the table has no such entry.
template <class T>
T scan_value(const std::vector<T>& table, std::uint32_t scan_number) {
    const std::uint64_t i = scan_index(scan_number);
    return i < table.size() ? table[i] : T{};
}

}  // namespace vantoro
