// Each core operation on synthetic files, with the answers the Python tests
// expect of the module.
#include <doctest/doctest.h>

#include <cmath>

#include "metadata/instrument_method.h"
#include "metadata/status_log.h"
#include "raw_image.h"
#include "scans/caches.h"
#include "scans/header.h"
#include "scans/opening.h"
#include "scans/scan_queries.h"

using namespace vantoro;
using namespace vantoro::test;
using namespace std::literals;

namespace {

ReaderRecord open_ok(const fs::path& p) {
    auto r = open_reader(utf8(p));
    if (!r) FAIL(r.error().text());
    return std::move(r.value());
}

template <class T>
std::vector<T> filled(std::size_t n, T first, T step = 0) {
    std::vector<T> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = first + step * static_cast<T>(i);
    return v;
}

// Every source position of every layout holds a non-zero value.
RawImage filled_image(std::uint32_t version) {
    RawImage img;
    img.header(version);
    std::uint32_t n = scan_count(version);
    img.rt_series(kRtSmallStart, kRtSmallStride, n, 1000.0);
    img.rt_series(kRtOrbiStart, kRtOrbiStride, n, 2000.0);
    for (std::uint32_t i = 0; i < n; ++i) {
        img.value(kV57RecordStart + kV57Stride * i, 7.5f);
        img.trailer(i + 1, 3.25f, -5, 512.5, 255);
    }
    return img;
}

}  // namespace

TEST_CASE("open_reader: header facts, and the errors of an unreadable file") {
    TempDir dir;
    struct {
        std::uint32_t word36, word12, version, scans;
    } const probes[] = {{57, 99, 57, 48}, {66, 99, 66, 145}, {0x42000000, 7, 7, 100}, {58, 1000, 1000, 100}};
    for (const auto& c : probes) {
        CAPTURE(c.word36);
        RawImage img;
        img.value(36, c.word36).value(12, c.word12);
        auto r = open_ok(img.write(dir / "probe.raw"));
        CHECK(r.version == c.version);
        CHECK(r.num_scans == c.scans);
    }
    RawImage img;
    img.header(57, 132000000000000000);
    CHECK(creation_date_text(open_ok(img.write(dir / "t.raw")).creation_time) == "1555526400");
    CHECK(creation_date_text(18446744073709551615ull) == "1833029933770");
    CHECK(creation_date_text(116444736009999999ull) == "0");

    img.size = 39;
    auto short_file = open_reader(utf8(img.write(dir / "short.raw")));
    REQUIRE_FALSE(short_file.ok());
    CHECK(short_file.error().kind == ErrorKind::UnexpectedEof);
    CHECK(short_file.error().message == "failed to fill whole buffer");

    auto missing = open_reader(utf8(dir / "missing.raw"));
    REQUIRE_FALSE(missing.ok());
    CHECK(missing.error().kind == ErrorKind::NotFound);
    CHECK(missing.error().os_code == 2);
}

TEST_CASE("open_reader: per-scan tables by version and path marker") {
    TempDir dir;
    SUBCASE("orbitrap marker in a directory name") {
        auto r = open_ok(filled_image(66).write(dir / "orbitrap" / "run.raw"));
        CHECK(r.num_scans == 145);
        CHECK(r.rt_cache == filled<double>(145, 2000.0, 1.0));
        CHECK(r.injection_time_cache == filled<double>(145, 3.25));
        CHECK(r.master_scan_cache == filled<std::int32_t>(145, -5));
        CHECK(r.charge_cache == filled<std::int32_t>(145, 255));
        CHECK(r.monomz_cache == filled<double>(145, 512.5));
        CHECK(r.scan_offset_cache == filled<std::uint64_t>(145, kChainBase));  // chain words are 0
    }
    SUBCASE("version 57 small file") {
        auto r = open_ok(filled_image(57).write(dir / "x_small.RAW"));
        CHECK(r.num_scans == 48);
        CHECK(r.rt_cache == filled<double>(48, 1000.0, 1.0));
        CHECK(r.injection_time_cache == filled<double>(48, 7.5));
        CHECK(r.master_scan_cache == filled<std::int32_t>(48, -1));
        CHECK(r.charge_cache == filled<std::int32_t>(48, 0));
        CHECK(r.scan_offset_cache[0] == kSmallScan1);
        CHECK(r.scan_offset_cache[10] == 0);
    }
    SUBCASE("no marker: zero tables") {
        for (const char* name : {"plain.raw", "Orbitrap_small.raw", "SMALL.RAW"}) {
            auto r = open_ok(filled_image(66).write(dir / name));
            CHECK(r.rt_cache == filled<double>(145, 0.0));
            CHECK(r.master_scan_cache == filled<std::int32_t>(145, 0));
        }
    }
    SUBCASE("refilling a deleted file fails and keeps the tables") {
        auto p = filled_image(66).write(dir / "orbitrap.raw");
        auto r = open_ok(p);
        remove_file(p);
        auto err = fill_caches(r);
        REQUIRE(err);
        CHECK(err->kind == ErrorKind::NotFound);
        CHECK(r.rt_cache == filled<double>(145, 2000.0, 1.0));
    }
}

TEST_CASE("read_peak_list in both layouts") {
    TempDir dir;
    auto small = [&](std::uint32_t version, std::vector<std::pair<std::uint64_t, Bytes>> blocks) {
        RawImage img;
        img.header(version);
        img.size = kSmallScan1 + 2000;
        for (auto& [rel, data] : blocks) img.put(kSmallScan1 + rel, std::move(data));
        return open_ok(img.write(dir / "v.small.RAW"));
    };
    auto check_list = [](const std::optional<PeakList>& got, bool wide, std::uint32_t n, double start) {
        REQUIRE(got);
        REQUIRE(got->mz.size() == n);
        REQUIRE(got->intensity.size() == n);
        for (std::uint32_t j = 0; j < n; ++j) {
            double mz = start + 0.25 * j;
            CHECK(got->mz[j] == (wide ? mz : double(float(mz))));
            CHECK(got->intensity[j] == float(10.0 + j));
        }
    };

    check_list(read_peak_list(small(66, {{0, peak_block(true, 20)}}), 1), true, 20, 100.0);
    check_list(read_peak_list(small(66, {{0, peak_block(true, 30)}, {2000, peak_block(true, 60, 200.0)}}), 1),
               true, 60, 200.0);
    CHECK_FALSE(read_peak_list(small(66, {{10000, peak_block(true, 20)}}), 1));
    check_list(read_peak_list(small(57, {{190, peak_block(false, 11, 100.1)}}), 1), false, 11, 100.1);
    check_list(read_peak_list(small(57, {{7, peak_block(false, 101)}}), 1), false, 101, 100.0);
    CHECK_FALSE(read_peak_list(small(57, {{7, peak_block(false, 100)}}), 1));

    auto r = small(66, {{0, peak_block(true, 60)}});
    for (std::uint32_t scan : {0u, 2u, 146u, 4294967295u}) CHECK_FALSE(read_peak_list(r, scan));
    remove_file(from_utf8(r.path));
    CHECK_FALSE(read_peak_list(r, 1));
}

TEST_CASE("peak lists past 4 GiB, through the orbitrap offset chain") {
    TempDir dir;
    constexpr std::uint32_t kWord = 3'000'000'000u;  // scan 3 sits at 3666 + 6e9
    RawImage img;
    img.header(66).offset_chain(2, kWord);
    const std::uint64_t scan3 = kChainBase + 2ull * kWord;
    img.put(scan3, peak_block(true, 60, 321.0));
    auto r = open_ok(img.write(dir / "orbitrap.raw"));
    CHECK(r.scan_offset_cache[2] == scan3);
    auto got = read_peak_list(r, 3);
    REQUIRE(got);
    CHECK(got->mz.size() == 60);
    CHECK(got->mz[59] == 321.0 + 0.25 * 59);
}

TEST_CASE("trailer_extra") {
    TempDir dir;
    const std::vector<std::string> cache_keys = {"Ion Injection Time (ms)", "Master Scan Number", "Charge State",
                                                 "Monoisotopic M/Z", "Precursor Mass"};
    auto keys = [](const TrailerFields& f) {
        std::vector<std::string> out;
        for (const auto& [k, v] : f) out.emplace_back(k);
        return out;
    };
    auto field = [](const TrailerFields& f, std::string_view key) -> const TrailerValue& {
        static const TrailerValue none;
        for (const auto& [k, v] : f)
            if (k == key) return v;
        FAIL_CHECK("no field " << key);
        return none;
    };
    auto padded = [](std::string s, std::size_t n) { return bytes(s.append(n - s.size(), ' ')); };

    RawImage img;
    img.header(66).trailer(7, 0.0f, 6, 745.5, 3);
    const std::uint64_t b = trailer_block(7);
    img.put(b, padded("1e6", 13));  // the field's last byte is the injection time's first
    img.value(b + 16, 0.5f).value(b + 21, std::uint32_t{120000}).value(b + 29, std::uint8_t{1});
    img.put(b + 75, padded("  27.5", 16)).put(b + 100, padded("28", 16)).value(b + 125, 0.7f);
    auto r = open_ok(img.write(dir / "orbitrap_run.raw"));

    auto d = trailer_extra(r, 7);
    auto all = cache_keys;
    for (const char* k : {"Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order", "HCD Energy eV",
                          "Activation Type", "Collision Energy", "Isolation Width", "AGC"})
        all.emplace_back(k);
    CHECK(keys(d) == all);
    CHECK(std::get<std::int64_t>(field(d, "Master Scan Number")) == 6);
    CHECK(std::get<double>(field(d, "Precursor Mass")) == 745.5);
    CHECK(std::get<std::int64_t>(field(d, "Orbitrap Resolution")) == 120000);
    CHECK(std::get<std::int64_t>(field(d, "MS Order")) == 2);
    CHECK(std::get<std::string>(field(d, "HCD Energy eV")) == "28");
    CHECK(std::get<std::string>(field(d, "Activation Type")) == "HigherEnergyCollisionalDissociation");
    CHECK(std::get<double>(field(d, "Collision Energy")) == 27.5);
    CHECK(std::get<double>(field(d, "Isolation Width")) == double(0.7f));
    CHECK(std::get<std::string>(field(d, "AGC")) == "1e6" + std::string(9, ' ') + '\0');

    CHECK(trailer_extra(r, 0).empty());
    CHECK(trailer_extra(r, 146).empty());
    // A block needs 140 bytes in the file; the caches need only 76.
    img.size = b + kTrailerPresent - 1;
    auto cut = open_ok(img.write(dir / "orbitrap_cut.raw"));
    CHECK(keys(trailer_extra(cut, 7)) == cache_keys);
    remove_file(dir / "orbitrap_run.raw");
    CHECK(keys(trailer_extra(r, 7)) == cache_keys);

    RawImage v57;
    v57.header(57).trailer(1, 3.5f, 0, 512.25, 0);
    auto outside = trailer_extra(open_ok(v57.write(dir / "orbitrap_v57.raw")), 1);
    auto expected = cache_keys;
    expected.emplace_back("MS Order");
    CHECK(keys(outside) == expected);
    CHECK(std::get<std::int64_t>(field(outside, "MS Order")) == 1);
}

TEST_CASE("instrument_method") {
    TempDir dir;
    constexpr std::uint64_t kRegion = 4194304;
    const auto method = "<?xml version=\"1.0\"?><InstrumentMethod><CmData>v\xc3\xa9</CmData></InstrumentMethod>"s;
    auto at = [&](std::uint64_t offset, const std::string& text) {
        RawImage img;
        img.header(66).put(offset, bytes(text));
        img.size = std::max(img.size, kRegion + 1000);
        return utf8(img.write(dir / "run.raw"));
    };
    CHECK(instrument_method(at(100, method + "\xff\xfe binary")) == method);
    CHECK(instrument_method(at(kRegion - 5, method)) == method);
    CHECK(instrument_method(at(kRegion - 4, method)).empty());
    CHECK(instrument_method(at(500, "<?xml \xff</CmData>")).empty());
    auto path = at(65534, method);  // across a read-chunk border
    CHECK(instrument_method(path) == method);
    remove_file(from_utf8(path));
    CHECK(instrument_method(path).empty());
}

TEST_CASE("status_log_labels and error_logs") {
    TempDir dir;
    constexpr std::uint64_t kMiB = 1 << 20;
    auto at = [&](std::uint64_t offset, const Bytes& data, std::uint64_t size = 0) {
        RawImage img;
        img.header(66).put(offset, data);
        img.size = std::max(img.size, size);
        return utf8(img.write(dir / "run.raw"));
    };
    using Texts = std::vector<std::string>;

    auto labels = utf16(u"Coulombmeter\0Temp \u00b0C\0Go \U0001F600!\0"sv);
    CHECK(status_log_labels(at(1000, labels)) == Texts{"Coulombmeter", "Temp \xc2\xb0" "C", "Go \xf0\x9f\x98\x80!"});
    CHECK(status_log_labels(at(1001, labels)).empty());  // units start at even offsets
    // An anchor cut by the border of the 1 MiB search chunks.
    CHECK(status_log_labels(at(kMiB - 10, labels, 2 * kMiB)).size() == 3);
    auto warnings = utf16(u"Possible spray instability\0Second\0Possible spray instability\0Second"sv);
    auto path = at(900, warnings);
    CHECK(error_logs(path) == Texts{"Possible spray instability", "Second"});
    CHECK(status_log_labels(path).empty());
    remove_file(from_utf8(path));
    CHECK(error_logs(path).empty());
}
