// The table plan: what it says for each marker and version, and that the
// reader reads the planned tables and nothing else of either layout.
#include <doctest/doctest.h>

#include <string>
#include <utility>
#include <vector>

#include "format/plan.h"
#include "metadata/trailer.h"
#include "raw_image.h"
#include "scans/opening.h"

using namespace vantoro;
using namespace vantoro::test;

namespace {

// The plan is a constant expression of its path text and version.
constexpr TablePlan kOrbitrap66 = table_plan("/d/orbitrap/run.raw", 66);
static_assert(kOrbitrap66.layout == LayoutChoice::Orbitrap && kOrbitrap66.size() == 3);
static_assert(kOrbitrap66.find(TableId::TrailerRecords)->extent == 140);
static_assert(table_plan("/d/run.raw", 66).size() == 0 && table_plan("/d/run.raw", 66).tables_end() == 0);
static_assert(table_plan("orbitrap_small.RAW", 57).layout == LayoutChoice::Small);

// Values derived from their position, so that a table read from the wrong
// place reads other values.
float f32_at(std::uint64_t at) { return static_cast<float>(at % 100000) + 0.5f; }

// The trailer record fields of scan index i that only the trailer lookup reads.
void put_record_fields(RawImage& img, std::uint32_t i) {
    img.value(trailer_block(i + 1) + 16, f32_at(trailer_block(i + 1)));  // elapsed scan time
    img.value<std::uint32_t>(trailer_block(i + 1) + 21, 60000 + i);    // orbitrap resolution
}

void put_trailer_values(RawImage& img, std::uint32_t i, std::uint64_t extent) {
    img.trailer(i + 1, f32_at(trailer_block(i + 1)), -5 - static_cast<std::int32_t>(i), 512.5 + i, 9, extent);
}

// Fills one planned table's records for n scans.
void fill(RawImage& img, const PlannedTable& t, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t at = t.series.at(i);
        switch (t.id) {
            case TableId::RetentionTimes:
                img.value(at, static_cast<double>(at));
                if (t.chain) img.value<std::uint32_t>(at - 4, 100);
                break;
            case TableId::TrailerValues: put_trailer_values(img, i, t.extent); break;
            case TableId::TrailerRecords: put_record_fields(img, i); break;
            case TableId::V57Diagnostics: img.value(at, f32_at(at)); break;
        }
    }
}

// Every table of either layout, from the test's own figures.
RawImage every_table(std::uint32_t version) {
    RawImage img;
    img.header(version);
    const std::uint32_t n = scan_count(version);
    img.offset_chain(n, 100);
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint64_t at : {kRtSmallStart + kRtSmallStride * i, kRtOrbiStart + kRtOrbiStride * i})
            img.value(at, static_cast<double>(at));
        img.value(kV57RecordStart + kV57Stride * i, f32_at(kV57RecordStart + kV57Stride * i));
        put_trailer_values(img, i, kTrailerPresent);
        put_record_fields(img, i);
    }
    img.size += 4096;
    return img;
}

// What the reader gives for every scan: its tables and trailer fields.
using Field = std::pair<std::string, TrailerValue>;
struct Reads {
    ScanTables tables;
    std::vector<std::vector<Field>> trailers;
    bool operator==(const Reads& o) const {
        const ScanTables& a = tables;
        const ScanTables& b = o.tables;
        return a.rt_cache == b.rt_cache && a.scan_offset_cache == b.scan_offset_cache &&
               a.injection_time_cache == b.injection_time_cache && a.master_scan_cache == b.master_scan_cache &&
               a.charge_cache == b.charge_cache && a.monomz_cache == b.monomz_cache && trailers == o.trailers;
    }
};

Reads read_all(const RawImage& img, const fs::path& p, std::uint32_t version) {
    auto rec = open_reader(utf8(img.write(p)));
    REQUIRE(rec);
    Reads out{static_cast<ScanTables&>(*rec), {}};
    for (std::uint64_t i = 0; i < rec->num_scans; ++i) {
        std::vector<Field> fields;
        for (auto& [key, value] : trailer_extra(utf8(p), version, i, TableFields{})) fields.emplace_back(key, value);
        out.trailers.push_back(std::move(fields));
    }
    return out;
}

}  // namespace

TEST_CASE("table_plan: the reader reads the planned tables and nothing else") {
    TempDir dir;
    for (const char* name : {"run.small.RAW", "orbitrap/run.raw", "orbitrap_small.RAW", "plain.raw"}) {
        for (std::uint32_t version : {57u, 66u, 12u}) {
            CAPTURE(name);
            CAPTURE(version);
            const fs::path path = dir / name;
            const TablePlan plan = table_plan(utf8(path), version);
            const RawImage all = every_table(version);
            RawImage planned;
            planned.header(version);
            for (const PlannedTable& t : plan) fill(planned, t, plan.num_scans);
            planned.size = all.size;
            const Reads whole = read_all(all, path, version);
            CHECK(read_all(planned, path, version) == whole);

            for (const PlannedTable& left_out : plan) {
                CAPTURE(left_out.name);
                RawImage without;
                without.header(version);
                for (const PlannedTable& t : plan)
                    if (t.id != left_out.id) fill(without, t, plan.num_scans);
                without.size = all.size;
                CHECK_FALSE(read_all(without, path, version) == whole);
            }
        }
    }
}

TEST_CASE("table_plan: tables, layouts and scan counts by marker and version") {
    struct Case {
        const char* path;
        std::uint32_t version;
        LayoutChoice layout;
        std::vector<TableId> tables;
    } const cases[] = {
        {"s3://b/orbitrap/x.raw", 66, LayoutChoice::Orbitrap,
         {TableId::RetentionTimes, TableId::TrailerValues, TableId::TrailerRecords}},
        {"/d/x_orbitrap.raw", 57, LayoutChoice::Orbitrap, {TableId::RetentionTimes, TableId::TrailerValues}},
        {"/d/x.small.RAW", 57, LayoutChoice::Small, {TableId::RetentionTimes, TableId::V57Diagnostics}},
        {"/d/x.small.RAW", 66, LayoutChoice::Small, {TableId::RetentionTimes}},
        {"/d/x.small.RAW", 12, LayoutChoice::Small, {TableId::RetentionTimes}},
        {"/orbitrap/x.small.RAW", 66, LayoutChoice::Small,
         {TableId::RetentionTimes, TableId::TrailerValues, TableId::TrailerRecords}},
        {"/d/Orbitrap.small.raw", 66, LayoutChoice::None, {}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.path);
        CAPTURE(c.version);
        const TablePlan plan = table_plan(c.path, c.version);
        CHECK(plan.layout == c.layout);
        CHECK(plan.num_scans == scan_count(c.version));
        CHECK(plan.fixed_offsets == (c.layout == LayoutChoice::Small));
        std::vector<TableId> ids;
        for (const PlannedTable& t : plan) ids.push_back(t.id);
        CHECK(ids == c.tables);
        if (const PlannedTable* times = plan.find(TableId::RetentionTimes)) {
            CHECK(times->series.start == (c.layout == LayoutChoice::Small ? kRtSmallStart : kRtOrbiStart));
            CHECK(times->chain == (c.layout == LayoutChoice::Orbitrap));
        }
    }
}
