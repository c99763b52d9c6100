#include "utf16_scan.h"

#include <algorithm>

#include "../format/layout.h"

namespace vantoro {

using layout::status_log::kUnitChunkBytes;

Match find_utf16_anchor(const OpenFile& file, std::string_view anchor, const StopCheck& stop) {
    std::string pattern;
    for (char c : anchor) {
        pattern.push_back(c);
        pattern.push_back('\0');
    }
    // Units sit at even byte offsets; a final odd byte is no unit.
    Match m = find_in_file(file, file.length() / 2 * 2, pattern, kUnitChunkBytes, /*even_only=*/true, stop);
    if (m.offset) *m.offset /= 2;
    return m;
}

bool UnitCursor::fetch(std::uint64_t k) {
    if (stop_ && stop_()) {
        stopped_ = true;
        units_ = k;
        held_ = 0;
        return false;
    }
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
    text::Utf16Decoder decoder;
    std::uint64_t end = pos;
    for (std::optional<std::uint16_t> u; (u = cur.at(end)) && *u >= layout::status_log::kRunEnd; ++end)
        decoder.push(*u);
    text = decoder.finish();
    return end;
}

}  // namespace vantoro
