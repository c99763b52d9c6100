// Finding a byte pattern in a file without holding the file: fixed-size
// chunks are read in order, and the bytes that could begin a match cut by a
// chunk border are carried into the next chunk rather than read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../reader/file_view.h"

namespace vantoro {

// First offset p with [p, p + pattern size) inside [0, end), end <= L; with
// even_only, odd offsets do not count. Reads [0, end) at most once.
Result<std::optional<std::uint64_t>> find_in_file(const FileView& v, std::uint64_t end,
                                                  std::string_view pattern, std::size_t chunk,
                                                  bool even_only);

}  // namespace vantoro
