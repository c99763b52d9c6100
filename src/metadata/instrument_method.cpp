#include "instrument_method.h"

#include <algorithm>

#include "../format/layout.h"
#include "../reader/open_file.h"
#include "../reader/utf8.h"
#include "stream_search.h"

namespace vantoro {

std::string instrument_method(std::string_view path) {
    namespace m = layout::method;
    auto file = OpenFile::open(path);
    if (!file) return {};
    const Match start =
        find_in_file(*file, std::min(file->length(), m::kSearchRegion), m::kStartMarker, m::kSearchChunk,
                     /*even_only=*/false);
    if (!start.found()) return {};
    const std::uint64_t marker_at = *start.offset;
    auto window = file->read(marker_at, std::min(file->length() - marker_at, m::kWindow));
    if (!window) return {};
    const std::string_view w(reinterpret_cast<const char*>(window->data()), window->size());

    // The text ends with the first method end tag, else the first CmData end
    // tag, else at the window's end. Only that text has to be valid UTF-8:
    // whatever binary data follows the block does not matter.
    std::string_view text = w;
    if (auto e = w.find(m::kMethodEnd); e != std::string_view::npos)
        text = w.substr(0, e + m::kMethodEnd.size());
    else if (auto c = w.find(m::kCmDataEnd); c != std::string_view::npos)
        text = w.substr(0, c + m::kCmDataEnd.size());
    if (!utf8::valid(utf8::as_bytes(text))) return {};
    return std::string(text);
}

}  // namespace vantoro
