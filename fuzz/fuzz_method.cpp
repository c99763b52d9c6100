// The instrument method text: the start marker sought through the search
// region, the window after it, the end tags and the UTF-8 check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "checks.h"
#include "image_input.h"
#include "metadata/instrument_method.h"

using namespace vantoro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    fuzz::File f = fuzz::decode_file(in);
    memory_files::put(f.path, f.image);

    const std::string text = instrument_method(f.path);
    namespace m = layout::method;
    fuzz::require(text.empty() || text.starts_with(m::kStartMarker), "the text starts at the marker");
    fuzz::require(text.size() <= m::kWindow, "the text fits the window");
    fuzz::require(fuzz::valid_utf8(text), "the text is UTF-8");
    memory_files::clear();
    return 0;
}
