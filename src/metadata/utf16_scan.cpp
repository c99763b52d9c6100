#include "utf16_scan.h"

#include <algorithm>


namespace vantoro {

Match find_utf16_anchor(const OpenFile& file, std::string_view anchor) {
    std::string pat;
    for (char c : anchor) {
        pat.push_back(c);
        pat.push_back('\0');
    }
    // Units sit at even byte offsets; a final odd byte is no unit.
    Match m = find_in_file(file, file.length() / 2 * 2, pat, kUnitChunkBytes, /*even_only=*/true);
    if (m.offset) *m.offset /= 2;
    return m;
}

bool UnitCursor::fetch(std::uint64_t k) {
    const std::uint64_t n = std::min<std::uint64_t>(kUnitChunkBytes / 2, units_ - k);
    buf_.resize(static_cast<std::size_t>(2 * n));
    if (auto err = file_.read_into(2 * k, buf_.data(), buf_.size())) {
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
