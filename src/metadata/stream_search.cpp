#include "stream_search.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantoro {

Match find_in_file(const OpenFile& file, std::uint64_t end, std::string_view pattern, std::size_t chunk,
                   bool even_only, const StopCheck& stop) {
    const std::size_t pattern_size = pattern.size();
    if (pattern_size == 0 || end < pattern_size) return {};
    const std::size_t carry_max = pattern_size - 1;
    std::vector<char> buf(carry_max + chunk);
    std::size_t carried = 0;
    for (std::uint64_t off = 0; off < end; off += chunk) {
        if (stop && stop()) return {std::nullopt, std::nullopt, true};
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - off));
        if (auto err = file.read_into(off, buf.data() + carried, n)) return {std::nullopt, std::move(err), false};
        const std::size_t have = carried + n;
        const std::uint64_t base = off - carried;  // file offset of buf[0]
        const char* data = buf.data();
        for (std::size_t i = 0; i + pattern_size <= have;) {
            const void* hit = std::memchr(data + i, pattern[0], have - pattern_size + 1 - i);
            if (!hit) break;
            const std::size_t j = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
            if ((!even_only || (base + j) % 2 == 0) && std::memcmp(data + j, pattern.data(), pattern_size) == 0)
                return {base + j, std::nullopt, false};
            i = j + 1;
        }
        carried = std::min(carry_max, have);
        std::memmove(buf.data(), buf.data() + have - carried, carried);
    }
    return {};
}

}  // namespace vantoro
