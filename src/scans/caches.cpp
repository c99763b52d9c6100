#include "caches.h"

#include <array>

#include "../reader/file_view.h"

namespace vantoro {

namespace {

// Fixed positions of the two layouts this reader knows.
constexpr std::uint64_t kRtSmallStart = 1481842, kRtSmallStride = 72;
constexpr std::uint64_t kRtOrbiStart = 6464174, kRtOrbiStride = 88;
constexpr std::uint64_t kChainBase = 3666;
constexpr std::uint64_t kTrailerEnd0 = 6514490, kTrailerStride = 558;  // 76 bytes into each block
constexpr std::uint64_t kV57End0 = 1492201, kV57Stride = 254;
constexpr std::array<std::uint64_t, 10> kSmallOffsets = {88820,  118112, 105244, 109492, 117780,
                                                         124332, 129828, 135892, 295708, 146733};

// One read covering [first, last_end) of a strided series, clipped to the file.
Result<Bytes> fetch(const FileView& v, std::uint64_t first, std::uint64_t last_end) {
    return v.read_clipped(first, last_end - first);
}

}  // namespace

std::uint32_t scan_count_for_version(std::uint32_t version) {
    return version == 57 ? 48 : version == 66 ? 145 : 100;
}

Status fill_caches(ReaderRecord& rec) {
    auto view = FileView::open(rec.path);
    if (!view) return view.error();
    const std::uint64_t L = view->length();
    const std::uint32_t n = scan_count_for_version(rec.version);
    const bool small = has_small_marker(rec.path);
    const bool orbi = has_orbitrap_marker(rec.path);

    std::vector<double> rt(n, 0.0), inj(n, 0.0), monomz(n, 0.0);
    std::vector<std::uint64_t> offsets(n, 0);
    std::vector<std::int32_t> master(n, 0), charge(n, 0);

    if (small) {
        for (std::size_t k = 0; k < kSmallOffsets.size() && k < n; ++k) offsets[k] = kSmallOffsets[k];
    }

    // Retention times; the orbitrap series also carries the offset chain in
    // the word just before each retention time.
    if (small || orbi) {
        const std::uint64_t start = small ? kRtSmallStart : kRtOrbiStart;
        const std::uint64_t stride = small ? kRtSmallStride : kRtOrbiStride;
        auto b = fetch(*view, start - 4, start + stride * (n - 1) + 8);
        if (!b) return b.error();
        std::uint64_t base = kChainBase;
        bool chain = !small;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t p = start + stride * i;
            if (p + 8 <= L) rt[i] = b->f64(p);
            if (chain) {
                // A chain that runs off the end of the file stops there;
                // later scans keep the default offset 0.
                offsets[i] = base;
                if (p <= L)
                    base += b->u32(p - 4);
                else
                    chain = false;
            }
        }
    }

    if (orbi) {
        auto b = fetch(*view, kTrailerEnd0 - 64, kTrailerEnd0 + kTrailerStride * (n - 1));
        if (!b) return b.error();
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t e = kTrailerEnd0 + kTrailerStride * i;
            if (e > L) continue;
            inj[i] = b->f32(e - 64);
            master[i] = b->i32(e - 14);
            monomz[i] = b->f64(e - 10);
            charge[i] = b->u8(e - 2);
        }
    } else if (rec.version == 57 && small) {
        auto b = fetch(*view, kV57End0 - 40, kV57End0 + kV57Stride * (n - 1));
        if (!b) return b.error();
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t e = kV57End0 + kV57Stride * i;
            if (e > L) continue;
            inj[i] = b->f32(e - 40);
            master[i] = -1;
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

}  // namespace vantoro
