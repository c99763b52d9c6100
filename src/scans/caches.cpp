#include "caches.h"

#include "../format/layout.h"
#include "../reader/open_file.h"
#include "header.h"
#include "selection.h"

namespace vantoro {

namespace {

// One read covering bytes [from, to) of each of the first `count` records
// of a series, offsets taken from a record's start (`from` may lie before
// it); clipped to the file.
Result<FetchedRange> fetch_series(const OpenFile& file, const layout::Series& s, std::uint32_t count,
                                  std::int64_t from, std::uint64_t to) {
    const std::uint64_t first = s.start + static_cast<std::uint64_t>(from);
    return file.read_clipped(first, s.at(count - 1) + to - first);
}

}  // namespace

Status fill_caches(ReaderRecord& rec, const OpenFile& file) {
    const std::uint64_t L = file.length();
    const std::uint32_t n = layout::scan_count(rec.version);
    const bool small = has_small_marker(rec.path);
    const bool orbi = has_orbitrap_marker(rec.path);

    std::vector<double> rt(n, 0.0), inj(n, 0.0), monomz(n, 0.0);
    std::vector<std::uint64_t> offsets(n, 0);
    std::vector<std::int32_t> master(n, 0), charge(n, 0);

    if (small) {
        for (std::size_t k = 0; k < layout::kSmallScanOffsets.size() && k < n; ++k)
            offsets[k] = layout::kSmallScanOffsets[k];
    }

    // Retention times; the orbitrap series also carries the offset chain in
    // the word just before each retention time.
    if (small || orbi) {
        const layout::Series& times = small ? layout::kSmallRetentionTimes : layout::kOrbitrapRetentionTimes;
        auto b = fetch_series(file, times, n, -std::int64_t{layout::kChainWordBefore}, sizeof(double));
        if (!b) return b.error();
        std::uint64_t base = layout::kChainBase;
        bool chain = !small;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t p = times.at(i);
            if (p + sizeof(double) <= L) rt[i] = b->f64(p);
            if (chain) {
                // A chain that runs off the end of the file stops there;
                // later scans keep offset 0.
                offsets[i] = base;
                if (p <= L)
                    base += b->u32(p - layout::kChainWordBefore);
                else
                    chain = false;
            }
        }
    }

    if (orbi) {
        namespace t = layout::trailer;
        auto b = fetch_series(file, t::kRecords, n, t::kInjectionTime, t::kCachedExtent);
        if (!b) return b.error();
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t r = t::kRecords.at(i);
            if (r + t::kCachedExtent > L) continue;
            inj[i] = b->f32(r + t::kInjectionTime);
            master[i] = b->i32(r + t::kMasterScan);
            monomz[i] = b->f64(r + t::kMonoisotopicMz);
            charge[i] = b->u8(r + t::kChargeState);
        }
    } else if (rec.version == layout::header::kVersion57 && small) {
        namespace d = layout::v57_diagnostics;
        auto b = fetch_series(file, d::kRecords, n, d::kInjectionTime, d::kExtent);
        if (!b) return b.error();
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t r = d::kRecords.at(i);
            if (r + d::kExtent > L) continue;
            inj[i] = b->f32(r + d::kInjectionTime);
            master[i] = d::kMasterScan;
        }
    }

    // Nothing can fail past this point, so a failed run leaves the record whole.
    rec.num_scans = n;
    rec.rt_cache = std::move(rt);
    rec.scan_offset_cache = std::move(offsets);
    rec.injection_time_cache = std::move(inj);
    rec.master_scan_cache = std::move(master);
    rec.charge_cache = std::move(charge);
    rec.monomz_cache = std::move(monomz);
    return std::nullopt;
}

Status fill_caches(ReaderRecord& rec) {
    auto file = OpenFile::open(rec.path);
    if (!file) return file.error();
    return fill_caches(rec, *file);
}

Status refill_caches(ReaderRecord& rec) {
    auto file = OpenFile::open(rec.path);
    if (!file) return file.error();
    // Every value read below is clipped to the reported length, so a path
    // that no longer names a regular file would never reach a read and
    // would quietly give zeros. The header read the constructor makes goes
    // to the file whatever its length: a directory or a FIFO fails there
    // with the same error the constructor gets. A regular file that is
    // merely shorter than the header gets to the end of it first, which is
    // no error here: its values past the end are 0.
    if (auto probed = probe_header(*file); !probed && probed.error().kind != ErrorKind::UnexpectedEof)
        return probed.error();
    return fill_caches(rec, *file);
}

}  // namespace vantoro
