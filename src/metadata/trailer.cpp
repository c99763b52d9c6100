#include "trailer.h"

#include "../format/layout.h"
#include "../reader/fault.h"
#include "../reader/open_file.h"
#include "../scans/selection.h"
#include "strict_text.h"

namespace vantoro {

namespace {

std::optional<std::string> field_text(const FetchedRange& r, std::uint64_t pos, std::uint64_t n) {
    return text::text_field(r.span(pos, n));
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

    if (rec.version != layout::header::kVersion66 || !has_orbitrap_marker(rec.path)) {
        out.emplace_back("MS Order", std::int64_t{1});
        return out;
    }

    // From here on a file that cannot be read, or is too short, just leaves
    // the record's fields out.
    namespace t = layout::trailer;
    auto file = OpenFile::open(rec.path);
    if (!file) return out;
    const std::uint64_t b = t::kRecords.at(i);
    if (b + t::kPresentExtent > file->length()) return out;
    auto fetched = file->read(b, t::kPresentExtent);
    if (!fetched) return out;
    const FetchedRange& r = fetched.value();

    out.emplace_back("Elapsed Scan Time (sec)", double{r.f32(b + t::kElapsedScanTime)});
    out.emplace_back("Orbitrap Resolution", std::int64_t{r.u32(b + t::kOrbitrapResolution)});
    out.emplace_back("MS Order", std::int64_t{r.u8(b + t::kMsOrderLess1)} + 1);
    if (auto hcd = field_text(r, b + t::kHcdEnergy, t::kEnergyTextSize)) {
        out.emplace_back("HCD Energy eV", std::move(*hcd));
        out.emplace_back("Activation Type", std::string("HigherEnergyCollisionalDissociation"));
    }
    if (auto ce = field_text(r, b + t::kCollisionEnergy, t::kEnergyTextSize)) {
        if (auto v = text::parse_decimal(*ce)) out.emplace_back("Collision Energy", *v);
    }
    const float isolation = r.f32(b + t::kIsolationWidth);
    if (isolation > 0.0f) out.emplace_back("Isolation Width", double{isolation});
    if (auto agc = field_text(r, b + t::kAgc, t::kAgcSize)) out.emplace_back("AGC", std::move(*agc));
    return out;
}

}  // namespace vantoro
