#include "trailer.h"

#include "../reader/fault.h"
#include "../reader/file_view.h"
#include "text_rules.h"

namespace vantoro {

namespace {

constexpr std::uint64_t kTrailerStart = 6514414, kTrailerStride = 558;
// A block counts as present only with this many bytes in the file, although
// its last field read ends at 129.
constexpr std::uint64_t kTrailerPresent = 140;

std::optional<std::string> field_text(const Bytes& b, std::uint64_t pos, std::uint64_t n) {
    return text::text_field(b.span(pos, n));
}

}  // namespace

TrailerFields trailer_extra(const ReaderRecord& rec, std::uint32_t scan_number) {
    TrailerFields out;
    const std::uint64_t i = scan_index(scan_number);
    if (i >= rec.num_scans) return out;

    out.emplace_back("Ion Injection Time (ms)", checked_at(rec.injection_time_cache, i));
    out.emplace_back("Master Scan Number", std::int64_t{checked_at(rec.master_scan_cache, i)});
    out.emplace_back("Charge State", std::int64_t{checked_at(rec.charge_cache, i)});
    const double monomz = checked_at(rec.monomz_cache, i);
    out.emplace_back("Monoisotopic M/Z", monomz);
    out.emplace_back("Precursor Mass", monomz);

    if (rec.version != 66 || !has_orbitrap_marker(rec.path)) {
        out.emplace_back("MS Order", std::int64_t{1});
        return out;
    }

    // From here on a file that cannot be read, or is too short, just leaves
    // the block's fields out.
    auto view = FileView::open(rec.path);
    if (!view) return out;
    const std::uint64_t b = kTrailerStart + i * kTrailerStride;
    if (b + kTrailerPresent > view->length()) return out;
    auto block = view->read(b, kTrailerPresent);
    if (!block) return out;
    const Bytes& t = block.value();

    out.emplace_back("Elapsed Scan Time (sec)", double{t.f32(b + 16)});
    out.emplace_back("Orbitrap Resolution", std::int64_t{t.u32(b + 21)});
    out.emplace_back("MS Order", std::int64_t{t.u8(b + 29)} + 1);
    if (auto hcd = field_text(t, b + 100, 16)) {
        out.emplace_back("HCD Energy eV", std::move(*hcd));
        out.emplace_back("Activation Type", std::string("HigherEnergyCollisionalDissociation"));
    }
    if (auto ce = field_text(t, b + 75, 16)) {
        if (auto v = text::parse_decimal(*ce)) out.emplace_back("Collision Energy", *v);
    }
    const float isolation = t.f32(b + 125);
    if (isolation > 0.0f) out.emplace_back("Isolation Width", double{isolation});
    if (auto agc = field_text(t, b + 0, 13)) out.emplace_back("AGC", std::move(*agc));
    return out;
}

}  // namespace vantoro
