// Trailer fields of one scan (the input picks it) of a reader constructed
// from the image, under every marker and version combination.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "checks.h"
#include "image_input.h"
#include "scans/scan_queries.h"
#include "scans/opening.h"

using namespace vantoro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint32_t scan = in.u8();
    fuzz::File f = fuzz::decode_file(in);
    memory_files::put(f.path, f.image);

    if (auto rec = open_reader(f.path)) {
        const TrailerFields fields = trailer_extra(*rec, scan);
        fuzz::require(fields.empty() == (scan == 0 || scan > rec->num_scans), "fields exactly for the scans there are");
        for (const auto& [key, value] : fields) {
            if (auto* s = std::get_if<std::string>(&value))
                fuzz::require(!s->empty() && fuzz::valid_utf8(*s), "text fields are non-empty UTF-8");
        }
        fuzz::require(trailer_extra(*rec, rec->num_scans + 1).empty(), "no fields past the last scan");
    }
    memory_files::clear();
    return 0;
}
