#include "caches.h"

#include "../format/layout.h"
#include "../format/plan.h"
#include "../reader/open_file.h"
#include "header.h"

namespace vantoro {

namespace {

// One read covering bytes [first, extent) of each of the first `count`
// records of a table; clipped to the file.
Result<FetchedRange> fetch_table(const OpenFile& file, const PlannedTable& table, std::uint32_t count) {
    const std::uint64_t from = table.series.start + static_cast<std::uint64_t>(table.first);
    return file.read_clipped(from, table.end(count) - from);
}

// Tables of n scans, 0 throughout.
ScanTables zero_tables(std::uint32_t n) {
    return {std::vector<double>(n, 0.0), std::vector<std::uint64_t>(n, 0), std::vector<double>(n, 0.0),
            std::vector<std::int32_t>(n, 0), std::vector<std::int32_t>(n, 0), std::vector<double>(n, 0.0)};
}

// Small files: the fixed offsets of their first scans.
void put_small_offsets(ScanTables& t) {
    for (std::size_t k = 0; k < layout::kSmallScanOffsets.size() && k < t.scan_offset_cache.size(); ++k)
        t.scan_offset_cache[k] = layout::kSmallScanOffsets[k];
}

static_assert(layout::kRetentionTimeExtent == sizeof(double), "retention times are read as f64");
static_assert(plan_tables::kTimesFirst <= -std::int64_t{sizeof(std::uint32_t)}, "the chain word is fetched");

// Retention times from the planned series; when it carries the chain, the
// scan offsets too, from the word just before each retention time.
Status read_times(ScanTables& t, const OpenFile& file, const PlannedTable& times) {
    const std::uint64_t file_length = file.length();
    const auto n = static_cast<std::uint32_t>(t.rt_cache.size());
    auto fetched = fetch_table(file, times, n);
    if (!fetched) return fetched.error();
    bool chain = times.chain;
    std::uint64_t next_offset = layout::kChainBase;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t rt_at = times.series.at(i);
        if (rt_at + times.extent <= file_length) t.rt_cache[i] = fetched->f64(rt_at);
        if (chain) {
            // A chain that runs off the end of the file stops there;
            // later scans keep offset 0.
            t.scan_offset_cache[i] = next_offset;
            if (rt_at <= file_length)
                next_offset += fetched->u32(rt_at - layout::kChainWordBefore);
            else
                chain = false;
        }
    }
    return std::nullopt;
}

// Calls read(range, i, start) for the record of each scan i of the tables
// whose first `extent` bytes are in the file, all fetched in one read.
template <class Read>
Status for_each_record(const ScanTables& t, const OpenFile& file, const PlannedTable& table, Read read) {
    const auto n = static_cast<std::uint32_t>(t.rt_cache.size());
    auto fetched = fetch_table(file, table, n);
    if (!fetched) return fetched.error();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t start = table.series.at(i);
        if (start + table.extent <= file.length()) read(*fetched, i, start);
    }
    return std::nullopt;
}

// Orbitrap files: the cached fields of each scan's trailer record.
Status read_trailer_values(ScanTables& t, const OpenFile& file, const PlannedTable& table) {
    namespace tr = layout::trailer;
    return for_each_record(t, file, table, [&](const FetchedRange& b, std::uint32_t i, std::uint64_t r) {
        t.injection_time_cache[i] = b.f32(r + tr::kInjectionTime);
        t.master_scan_cache[i] = b.i32(r + tr::kMasterScan);
        t.monomz_cache[i] = b.f64(r + tr::kMonoisotopicMz);
        t.charge_cache[i] = b.u8(r + tr::kChargeState);
    });
}

// Small version-57 files: the injection time of each scan's diagnostic
// record, and the master scan every such record gives.
Status read_v57_values(ScanTables& t, const OpenFile& file, const PlannedTable& table) {
    namespace d = layout::v57_diagnostics;
    return for_each_record(t, file, table, [&](const FetchedRange& b, std::uint32_t i, std::uint64_t r) {
        t.injection_time_cache[i] = b.f32(r + d::kInjectionTime);
        t.master_scan_cache[i] = d::kMasterScan;
    });
}

// Fills the tables from one planned table.
Status read_table(ScanTables& t, const OpenFile& file, const PlannedTable& table) {
    switch (table.id) {
        case TableId::RetentionTimes: return read_times(t, file, table);
        case TableId::TrailerValues: return read_trailer_values(t, file, table);
        case TableId::V57Diagnostics: return read_v57_values(t, file, table);
        case TableId::TrailerRecords: break;  // read one scan at a time by the trailer lookup
    }
    return std::nullopt;
}

}  // namespace

Status fill_caches(ReaderRecord& rec, const OpenFile& file) {
    const TablePlan plan = table_plan(rec.path, rec.version);
    ScanTables t = zero_tables(plan.num_scans);
    if (plan.fixed_offsets) put_small_offsets(t);
    for (const PlannedTable& table : plan)
        if (auto err = read_table(t, file, table)) return err;

    // Nothing can fail past this point, so a failed run leaves the record whole.
    rec.num_scans = plan.num_scans;
    static_cast<ScanTables&>(rec) = std::move(t);
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
