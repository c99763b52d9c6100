// Which per-scan tables the reader reads for a path text and a format
// version, and where: the one decision the caches, the trailer lookup and
// the whole-file verdict all take, so that none of them can read a file
// differently from the others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "layout.h"
#include "selection.h"

namespace vantoro {

// The layout a path selects: the small-file marker wins over the orbitrap
// marker; without either the reader reads no tables.
enum class LayoutChoice { None, Small, Orbitrap };

constexpr LayoutChoice choose_layout(std::string_view path_text) {
    if (has_small_marker(path_text)) return LayoutChoice::Small;
    if (has_orbitrap_marker(path_text)) return LayoutChoice::Orbitrap;
    return LayoutChoice::None;
}

// The tables, in the order a plan lists them (and the caches read them).
enum class TableId : std::uint8_t {
    RetentionTimes,  // f64 per scan; with the orbitrap series, the offset chain in the words before
    TrailerValues,   // the trailer record fields the per-scan tables keep
    TrailerRecords,  // the whole trailer record the trailer lookup reads for one scan
    V57Diagnostics,  // the injection time of small version-57 files
};

// One table: a record per scan at series.at(index). The reader fetches the
// bytes [first, extent) of each record (first may lie before its start) and
// takes a record's values when its first `extent` bytes are in the file.
struct PlannedTable {
    TableId id;
    std::string_view name;
    layout::Series series;
    std::int64_t first;
    std::uint64_t extent;
    bool chain;  // the u32 kChainWordBefore bytes before each record links the scan offsets

    // The file size from which the records of `count` scans are all whole.
    constexpr std::uint64_t end(std::uint32_t count) const { return series.at(count - 1) + extent; }
};

inline constexpr std::size_t kMaxTables = 3;

struct TablePlan {
    LayoutChoice layout = LayoutChoice::None;
    std::uint32_t num_scans = 0;
    bool fixed_offsets = false;  // the first scans take layout::kSmallScanOffsets
    std::array<PlannedTable, kMaxTables> slots{};
    std::size_t count = 0;

    constexpr const PlannedTable* begin() const { return slots.data(); }
    constexpr const PlannedTable* end() const { return slots.data() + count; }
    constexpr std::size_t size() const { return count; }
    constexpr const PlannedTable* find(TableId id) const {
        for (const PlannedTable& t : *this)
            if (t.id == id) return &t;
        return nullptr;
    }
    // The file size from which every table is read whole; 0 without a layout.
    constexpr std::uint64_t tables_end() const {
        std::uint64_t out = 0;
        for (const PlannedTable& t : *this) out = t.end(num_scans) > out ? t.end(num_scans) : out;
        return out;
    }
    constexpr void add(const PlannedTable& t) { slots[count++] = t; }
};

namespace plan_tables {
// Retention times are fetched from the chain word before them in both series.
inline constexpr std::int64_t kTimesFirst = -static_cast<std::int64_t>(layout::kChainWordBefore);
inline constexpr PlannedTable kSmallTimes{TableId::RetentionTimes, "retention_times", layout::kSmallRetentionTimes,
                                          kTimesFirst, layout::kRetentionTimeExtent, false};
inline constexpr PlannedTable kOrbitrapTimes{TableId::RetentionTimes, "retention_times",
                                             layout::kOrbitrapRetentionTimes, kTimesFirst,
                                             layout::kRetentionTimeExtent, true};
inline constexpr PlannedTable kTrailerValues{TableId::TrailerValues, "trailer_values", layout::trailer::kRecords,
                                             layout::trailer::kInjectionTime, layout::trailer::kCachedExtent, false};
inline constexpr PlannedTable kTrailerRecords{TableId::TrailerRecords, "trailer_records", layout::trailer::kRecords,
                                              0, layout::trailer::kPresentExtent, false};
inline constexpr PlannedTable kV57Diagnostics{TableId::V57Diagnostics, "v57_diagnostics",
                                              layout::v57_diagnostics::kRecords,
                                              layout::v57_diagnostics::kInjectionTime,
                                              layout::v57_diagnostics::kExtent, false};
}  // namespace plan_tables

// The tables of a path text and version: the retention times of the chosen
// layout; with the orbitrap marker, whichever layout won, the trailer
// values, and for version 66 the whole records the trailer lookup reads;
// otherwise, for a small version-57 file, its diagnostic records. Only the
// orbitrap series carries the offset chain; a small file's offsets are the
// fixed ones, whatever the words before its retention times hold.
constexpr TablePlan table_plan(std::string_view path_text, std::uint32_t version) {
    namespace t = plan_tables;
    TablePlan p;
    p.layout = choose_layout(path_text);
    p.num_scans = layout::scan_count(version);
    if (p.layout == LayoutChoice::None) return p;
    p.fixed_offsets = p.layout == LayoutChoice::Small;
    p.add(p.layout == LayoutChoice::Small ? t::kSmallTimes : t::kOrbitrapTimes);
    if (has_orbitrap_marker(path_text)) {
        p.add(t::kTrailerValues);
        if (version == layout::header::kVersion66) p.add(t::kTrailerRecords);
    } else if (version == layout::header::kVersion57) {
        p.add(t::kV57Diagnostics);
    }
    return p;
}

}  // namespace vantoro
