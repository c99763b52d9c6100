#include "utf16_scan.h"

#include <algorithm>
#include <cstring>

namespace vantoro {

Result<std::optional<std::uint64_t>> find_utf16_anchor(const FileView& v, std::string_view anchor) {
    std::vector<std::uint8_t> pat;
    for (char c : anchor) {
        pat.push_back(static_cast<std::uint8_t>(c));
        pat.push_back(0);
    }
    const std::size_t A = pat.size();
    const std::uint64_t end = v.length() / 2 * 2;  // a final odd byte is no unit
    using Found = std::optional<std::uint64_t>;
    if (A == 0 || end < A) return Found();

    // An even-offset match cut by a chunk border begins at most A - 2 bytes
    // before it; carrying those bytes keeps the buffer start even, so a hit
    // is at an even file offset exactly when it is at an even buffer index.
    const std::size_t carry_max = A - 2;
    std::vector<std::uint8_t> buf(carry_max + kUnitChunkBytes);
    std::size_t carried = 0;
    for (std::uint64_t off = 0; off < end; off += kUnitChunkBytes) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kUnitChunkBytes, end - off));
        if (auto err = v.read_into(off, buf.data() + carried, n)) return *err;
        const std::size_t have = carried + n;
        const std::uint8_t* base = buf.data();
        std::size_t i = 0;
        while (i + A <= have) {
            const void* hit = std::memchr(base + i, pat[0], have - A + 1 - i);
            if (!hit) break;
            const std::size_t j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
            if (j % 2 == 0 && std::memcmp(base + j, pat.data(), A) == 0)
                return Found((off - carried + j) / 2);
            i = j + 1;
        }
        carried = std::min(carry_max, have);
        std::memmove(buf.data(), buf.data() + have - carried, carried);
    }
    return Found();
}

bool UnitCursor::fetch(std::uint64_t k) {
    const std::uint64_t n = std::min<std::uint64_t>(kUnitChunkBytes / 2, units_ - k);
    buf_.resize(static_cast<std::size_t>(2 * n));
    if (auto err = view_.read_into(2 * k, buf_.data(), buf_.size())) {
        // The file changed under us: treat it as ending here and remember why.
        error_ = std::move(err);
        units_ = k;
        held_ = 0;
        return false;
    }
    first_ = k;
    held_ = n;
    return true;
}

std::uint64_t read_run(UnitCursor& cur, std::uint64_t pos, std::optional<std::string>& text) {
    text::Utf16Decoder dec;
    std::uint64_t e = pos;
    for (std::optional<std::uint16_t> u; (u = cur.at(e)) && *u >= 0x20; ++e) dec.push(*u);
    text = dec.finish();
    return e;
}

}  // namespace vantoro
