// What selects a layout and a table entry: the path markers and the 1-based
// scan numbers callers pass. Facts of the format, shared by every operation.
#pragma once

#include <cstdint>
#include <string_view>

#include "layout.h"

namespace vantoro {

// Markers are matched anywhere in the path text, directories included.
constexpr bool has_small_marker(std::string_view path) {
    return path.find(layout::kSmallMarker) != std::string_view::npos;
}
constexpr bool has_orbitrap_marker(std::string_view path) {
    return path.find(layout::kOrbitrapMarker) != std::string_view::npos;
}

// 1-based scan number to table index; scan 0 maps past every table.
inline std::uint64_t scan_index(std::uint32_t scan_number) {
    return static_cast<std::uint64_t>(scan_number) - 1;
}

}  // namespace vantoro
