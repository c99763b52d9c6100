// The peak-list search in both record layouts (version 66 and any other),
// from a scan offset the input picks; the image's positions can be given
// relative to that offset.
#include <cstddef>
#include <cstdint>

#include "checks.h"
#include "image_input.h"
#include "scans/scan_queries.h"

using namespace vantoro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint64_t offset = fuzz::position(in);
    fuzz::File f = fuzz::decode_file(in, offset);
    memory_files::put(f.path, f.image);

    ReaderRecord rec;
    rec.path = f.path;
    rec.version = f.version;
    rec.num_scans = 1;
    rec.scan_offset_cache = {offset};
    fuzz::require(!read_peak_list(rec, 0) && !read_peak_list(rec, 2), "a scan without an offset has no peak list");
    if (auto peaks = read_peak_list(rec, 1)) {
        namespace p = layout::peaks;
        const std::size_t n = peaks->mz.size();
        fuzz::require(n == peaks->intensity.size(), "as many intensities as m/z values");
        fuzz::require(n >= p::kWideMinCount && n >= p::kProbeMinCount && n <= p::kMaxCount,
                      "a found list has a plausible count");
        fuzz::require(peaks->mz[0] > p::kMzLow && peaks->mz[0] < p::kMzHigh, "a found list starts with a plausible m/z");
        const std::uint64_t record = f.version == p::kWideVersion ? p::kWideRecord : p::kNarrowRecord;
        fuzz::require(offset + p::kCountWordSize + record * n <= f.image.length, "a found list lies inside the file");
    }
    memory_files::clear();
    return 0;
}
