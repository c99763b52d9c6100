// The whole-file layout verdict, and its `need` against what opening a file
// actually reads.
#include <doctest/doctest.h>

#include "metadata/trailer.h"
#include "raw_image.h"
#include "scans/opening.h"
#include "scans/verdict.h"

using namespace vantoro;
using namespace vantoro::test;

namespace {

// Non-zero values at every position any layout reads, for every scan.
RawImage every_table(std::uint32_t version) {
    RawImage img;
    img.header(version);
    const std::uint32_t n = scan_count(version);
    img.rt_series(kRtSmallStart, kRtSmallStride, n, 1000.0);
    img.rt_series(kRtOrbiStart, kRtOrbiStride, n, 2000.0);
    for (std::uint32_t i = 0; i < n; ++i) {
        img.value(kV57RecordStart + kV57Stride * i, 7.5f);
        img.trailer(i + 1, 3.25f, -5, 512.5, 9);
    }
    img.size += 4096;  // past everything, so `need` cannot be the file's end by accident
    return img;
}

ReaderRecord open_ok(const fs::path& p) {
    auto r = open_reader(utf8(p));
    if (!r) FAIL(r.error().text());
    return std::move(r.value());
}

bool same_tables(const ReaderRecord& a, const ReaderRecord& b) {
    return a.rt_cache == b.rt_cache && a.scan_offset_cache == b.scan_offset_cache &&
           a.injection_time_cache == b.injection_time_cache && a.master_scan_cache == b.master_scan_cache &&
           a.charge_cache == b.charge_cache && a.monomz_cache == b.monomz_cache;
}

// The tables, and how many trailer fields the last scan has.
struct Reads {
    ReaderRecord record;
    std::size_t last_trailer_fields;
};

Reads read_all(const fs::path& p, std::uint32_t version) {
    ReaderRecord r = open_ok(p);
    const std::size_t fields = trailer_extra(utf8(p), version, r.rt_cache.size() - 1, TableFields{}).size();
    return {std::move(r), fields};
}

bool same_reads(const Reads& a, const Reads& b) {
    return same_tables(a.record, b.record) && a.last_trailer_fields == b.last_trailer_fields;
}

}  // namespace

TEST_CASE("judge_layout: need is the size from which the tables are read whole") {
    TempDir dir;
    for (const char* name : {"run.small.RAW", "orbitrap/run.raw", "orbitrap_small.RAW"}) {
        for (std::uint32_t version : {57u, 66u, 12u}) {
            CAPTURE(name);
            CAPTURE(version);
            RawImage img = every_table(version);
            const auto path = dir / name;
            const Reads whole = read_all(img.write(path), version);
            const std::uint64_t need = judge_layout(utf8(path), version, img.size).need;
            REQUIRE(need < img.size);
            img.size = need;
            CHECK(same_reads(read_all(img.write(path), version), whole));
            img.size = need - 1;
            CHECK_FALSE(same_reads(read_all(img.write(path), version), whole));
        }
    }
}

TEST_CASE("judge_layout: kinds, layouts and figures") {
    struct Case {
        const char* path;
        std::uint32_t version;
        LayoutChoice layout;
        std::uint64_t need;
        std::uint32_t scans;
    } const cases[] = {
        {"/d/orbitrap/x.raw", 66, LayoutChoice::Orbitrap, 6514414 + 558 * 144 + 140, 145},
        {"/d/orbitrap/x.raw", 57, LayoutChoice::Orbitrap, 6514414 + 558 * 47 + 76, 48},
        {"/d/x.small.RAW", 57, LayoutChoice::Small, 1492161 + 254 * 47 + 40, 48},
        {"/d/x.small.RAW", 66, LayoutChoice::Small, 1481842 + 72 * 144 + 8, 145},
        {"s3://b/orbitrap-small.RAW", 57, LayoutChoice::Small, 6514414 + 558 * 47 + 76, 48},
    };
    for (const auto& c : cases) {
        CAPTURE(c.path);
        CAPTURE(c.version);
        const LayoutVerdict at = judge_layout(c.path, c.version, c.need);
        CHECK(at.kind == VerdictKind::Ok);
        CHECK(at.layout == c.layout);
        CHECK(at.need == c.need);
        CHECK(at.num_scans == c.scans);
        CHECK(judge_layout(c.path, c.version, c.need - 1).kind == VerdictKind::Truncated);
        CHECK(judge_layout(c.path, c.version, UINT64_MAX).kind == VerdictKind::Ok);
    }

    const LayoutVerdict plain = judge_layout("/d/Orbitrap_SMALL.raw", 66, UINT64_MAX);
    CHECK(plain.kind == VerdictKind::NoMarker);
    CHECK(plain.layout == LayoutChoice::None);
    CHECK(plain.need == 0);

    // The version is judged first, yet the layout and need stay those the
    // reader would use for that version.
    const LayoutVerdict odd = judge_layout("orbitrap.raw", 12, 0);
    CHECK(odd.kind == VerdictKind::UnknownVersion);
    CHECK(odd.layout == LayoutChoice::Orbitrap);
    CHECK(odd.num_scans == 100);
    CHECK(odd.need == 6514414 + 558 * 99 + 76);
    CHECK(judge_layout("plain.raw", 0, 0).kind == VerdictKind::UnknownVersion);

    CHECK(kind_name(VerdictKind::Truncated) == "truncated");
    CHECK(kind_name(VerdictKind::UnknownVersion) == "unknown_version");
    CHECK(layout_name(LayoutChoice::Small) == "small");
    CHECK(layout_name(LayoutChoice::None).empty());
}
