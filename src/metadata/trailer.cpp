#include "trailer.h"

#include "../format/layout.h"
#include "../format/plan.h"
#include "../reader/open_file.h"
#include "decimal.h"
#include "text_field.h"

namespace vantoro {

namespace {

std::optional<std::string> field_text(const FetchedRange& r, std::uint64_t pos, std::uint64_t n) {
    return text::text_field(r.span(pos, n));
}

void add_table_fields(TrailerFields& out, const TableFields& tables) {
    out.emplace_back("Ion Injection Time (ms)", tables.injection_time);
    out.emplace_back("Master Scan Number", std::int64_t{tables.master_scan});
    out.emplace_back("Charge State", std::int64_t{tables.charge});
    out.emplace_back("Monoisotopic M/Z", tables.monoisotopic_mz);
    out.emplace_back("Precursor Mass", tables.monoisotopic_mz);
}

static_assert(plan_tables::kTrailerRecords.first == 0 &&
                  layout::trailer::kIsolationWidth + sizeof(float) <= plan_tables::kTrailerRecords.extent,
              "the trailer lookup reads every field from the record's start");

// The fields of the trailer record that starts at `start`, fetched whole in `r`.
void add_record_fields(TrailerFields& out, const FetchedRange& r, std::uint64_t start) {
    namespace t = layout::trailer;
    out.emplace_back("Elapsed Scan Time (sec)", double{r.f32(start + t::kElapsedScanTime)});
    out.emplace_back("Orbitrap Resolution", std::int64_t{r.u32(start + t::kOrbitrapResolution)});
    out.emplace_back("MS Order", std::int64_t{r.u8(start + t::kMsOrderZeroBased)} + 1);
    if (auto hcd = field_text(r, start + t::kHcdEnergy, t::kEnergyTextSize)) {
        out.emplace_back("HCD Energy eV", std::move(*hcd));
        out.emplace_back("Activation Type", std::string("HigherEnergyCollisionalDissociation"));
    }
    if (auto ce = field_text(r, start + t::kCollisionEnergy, t::kEnergyTextSize)) {
        if (auto v = text::parse_decimal(*ce)) out.emplace_back("Collision Energy", *v);
    }
    const float isolation = r.f32(start + t::kIsolationWidth);
    if (isolation > 0.0f) out.emplace_back("Isolation Width", double{isolation});
    if (auto agc = field_text(r, start + t::kAgc, t::kAgcSize)) out.emplace_back("AGC", std::move(*agc));
}

}  // namespace

TrailerFields trailer_extra(std::string_view path, std::uint32_t version, std::uint64_t scan_index,
                            const TableFields& tables) {
    TrailerFields out;
    add_table_fields(out, tables);
    const TablePlan plan = table_plan(path, version);
    const PlannedTable* records = plan.find(TableId::TrailerRecords);
    if (!records) {
        out.emplace_back("MS Order", std::int64_t{1});
        return out;
    }

    // From here on a file that cannot be read, or is too short, just leaves
    // the record's fields out.
    auto file = OpenFile::open(path);
    if (!file) return out;
    const std::uint64_t start = records->series.at(scan_index);
    if (start + records->extent > file->length()) return out;
    auto fetched = file->read(start, records->extent);
    if (!fetched) return out;
    add_record_fields(out, fetched.value(), start);
    return out;
}

}  // namespace vantoro
