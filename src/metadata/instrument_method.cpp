#include "instrument_method.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "../reader/file_view.h"
#include "text_rules.h"

namespace vantoro {

namespace {

constexpr std::string_view kStartMarker = "<?xml";
constexpr std::string_view kMethodEnd = "</InstrumentMethod>";
constexpr std::string_view kCmDataEnd = "</CmData>";
constexpr std::uint64_t kSearchRegion = 4194304;  // the marker must lie wholly inside
constexpr std::uint64_t kWindow = 200000;         // most text taken from the marker on
constexpr std::size_t kChunk = 64 * 1024;

// First offset of the start marker inside [0, min(L, kSearchRegion)).
// Streams the region and stops at the first hit; the bytes that could begin
// a marker cut by a chunk border are carried over, not read twice.
Result<std::optional<std::uint64_t>> find_start_marker(const FileView& v) {
    const std::uint64_t region = std::min(v.length(), kSearchRegion);
    const std::size_t keep = kStartMarker.size() - 1;
    std::vector<char> buf(keep + kChunk);
    std::size_t carried = 0;
    for (std::uint64_t off = 0; off < region; off += kChunk) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, region - off));
        if (auto err = v.read_into(off, buf.data() + carried, n)) return *err;
        const std::size_t have = carried + n;
        const std::string_view hay(buf.data(), have);
        if (auto hit = hay.find(kStartMarker); hit != std::string_view::npos)
            return std::optional<std::uint64_t>(off - carried + hit);
        carried = std::min(keep, have);
        std::memmove(buf.data(), buf.data() + have - carried, carried);
    }
    return std::optional<std::uint64_t>();
}

}  // namespace

std::string instrument_method(std::string_view path) {
    auto view = FileView::open(path);
    if (!view) return {};
    auto start = find_start_marker(view.value());
    if (!start || !start.value()) return {};
    const std::uint64_t p = **start;
    auto window = view->read(p, std::min(view->length() - p, kWindow));
    if (!window) return {};
    const std::string_view w(reinterpret_cast<const char*>(window->data()), window->size());

    // The text ends with the first method end tag, else the first CmData end
    // tag, else at the window's end. Only that text has to be valid UTF-8:
    // whatever binary data follows the block does not matter.
    std::string_view text = w;
    if (auto e = w.find(kMethodEnd); e != std::string_view::npos)
        text = w.substr(0, e + kMethodEnd.size());
    else if (auto c = w.find(kCmDataEnd); c != std::string_view::npos)
        text = w.substr(0, c + kCmDataEnd.size());
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (!text::valid_utf8(bytes)) return {};
    return std::string(text);
}

}  // namespace vantoro
