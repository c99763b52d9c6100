#include "instrument_method.h"

#include <algorithm>

#include "../reader/file_view.h"
#include "stream_search.h"
#include "text_rules.h"

namespace vantoro {

namespace {

constexpr std::string_view kStartMarker = "<?xml";
constexpr std::string_view kMethodEnd = "</InstrumentMethod>";
constexpr std::string_view kCmDataEnd = "</CmData>";
constexpr std::uint64_t kSearchRegion = 4194304;  // the marker must lie wholly inside
constexpr std::uint64_t kWindow = 200000;         // most text taken from the marker on
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::string instrument_method(std::string_view path) {
    auto view = FileView::open(path);
    if (!view) return {};
    auto start = find_in_file(view.value(), std::min(view->length(), kSearchRegion), kStartMarker,
                              kChunk, /*even_only=*/false);
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
