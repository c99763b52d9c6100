#include "opening.h"

#include <cstring>

#include "../scans/caches.h"
#include "bytes.h"
#include "file_view.h"

namespace vantoro {

Result<ReaderRecord> open_reader(std::string path) {
    auto view = FileView::open(path);
    if (!view) return view.error();

    // Words at 36, 12 and 16 all lie in the first 40 bytes; one exact read
    // fails with the same end-of-file error as the three separate reads.
    unsigned char head[40];
    if (auto err = view->read_into(0, head, sizeof head)) return *err;
    std::uint32_t word36 = load_u32(head + 36);
    ReaderRecord rec;
    rec.version = (word36 == 57 || word36 == 66) ? word36 : load_u32(head + 12);
    rec.creation_time = load_u64(head + 16);
    rec.path = std::move(path);

    if (auto err = fill_caches(rec)) return *err;
    return rec;
}

std::string creation_date_text(std::uint64_t creation_time) {
    constexpr std::uint64_t kTicksPerSecond = 10'000'000;
    constexpr std::uint64_t kEpochDelta = 11'644'473'600;  // 1601-01-01 to 1970-01-01
    std::uint64_t s = creation_time / kTicksPerSecond;
    return std::to_string(s >= kEpochDelta ? s - kEpochDelta : 0);
}

}  // namespace vantoro
