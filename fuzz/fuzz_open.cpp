// The header probe and the cache fill, for every combination of markers and
// version the input picks: construction, then a rebuild of the tables.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "checks.h"
#include "image_input.h"
#include "scans/record.h"
#include "scans/caches.h"
#include "scans/opening.h"

using namespace vantoro;

namespace {

bool same_tables(const ReaderRecord& a, const ReaderRecord& b) {
    return a.num_scans == b.num_scans && fuzz::same_bits(a.rt_cache, b.rt_cache) &&
           fuzz::same_bits(a.scan_offset_cache, b.scan_offset_cache) &&
           fuzz::same_bits(a.injection_time_cache, b.injection_time_cache) &&
           fuzz::same_bits(a.master_scan_cache, b.master_scan_cache) &&
           fuzz::same_bits(a.charge_cache, b.charge_cache) && fuzz::same_bits(a.monomz_cache, b.monomz_cache);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    fuzz::File f = fuzz::decode_file(in);
    memory_files::put(f.path, f.image);

    auto rec = open_reader(f.path);
    if (rec) {
        const ReaderRecord& r = rec.value();
        const std::uint32_t n = layout::scan_count(r.version);
        fuzz::require(r.num_scans == n, "scan count follows the version");
        for (std::size_t len : {r.rt_cache.size(), r.scan_offset_cache.size(), r.injection_time_cache.size(),
                                r.master_scan_cache.size(), r.charge_cache.size(), r.monomz_cache.size()})
            fuzz::require(len == n, "every table holds num_scans entries");
        for (std::int32_t c : r.charge_cache) fuzz::require(c >= 0 && c <= 255, "charge is one byte");

        // The same file again gives the same tables; a failed rebuild leaves them.
        ReaderRecord again = r;
        const Status err = refill_caches(again);
        fuzz::require(same_tables(again, r), "a rebuild from the same file changes nothing");
        fuzz::require(!err || f.image.read_error || f.image.readable < f.image.length,
                      "a rebuild fails only on a file that cannot be read");

        // The path now names something whose reads fail as a directory's do:
        // the rebuild reports that and leaves the tables.
        memory_files::Image gone = f.image;
        gone.read_error = EISDIR;
        memory_files::put(f.path, std::move(gone));
        const Status dir_err = refill_caches(again);
        fuzz::require(dir_err && dir_err->kind == ErrorKind::IsADirectory, "a directory fails the rebuild");
        fuzz::require(same_tables(again, r), "a failed rebuild changes nothing");
    }
    memory_files::clear();
    return 0;
}
