// Finding a byte pattern in a file without holding the file: fixed-size
// chunks are read in order, and the bytes that could begin a match cut by a
// chunk border are carried into the next chunk rather than read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../reader/open_file.h"

namespace vantoro {

// Where a search found its pattern, or that it did not, or the read error
// that ended it.
struct Match {
    std::optional<std::uint64_t> offset;  // set when found
    Status error;                         // set when a read failed

    bool found() const { return offset.has_value(); }
};

// First offset p with [p, p + pattern size) inside [0, end), end <= L; with
// even_only, odd offsets do not count. Reads [0, end) at most once.
Match find_in_file(const OpenFile& file, std::uint64_t end, std::string_view pattern, std::size_t chunk,
                   bool even_only);

}  // namespace vantoro
