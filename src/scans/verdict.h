// Whether the per-scan tables of a file are all in it: the whole-file
// verdict a caller can reach from the path text, the format version and the
// file's size alone, without opening the file (it may be a URL).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "../format/layout.h"

namespace vantoro {

// The layout the reader takes for a path: the small-file marker wins over
// the orbitrap marker; without either it reads no tables.
enum class LayoutChoice { None, Small, Orbitrap };

enum class VerdictKind {
    Ok,              // the tables of the chosen layout are all in the file
    UnknownVersion,  // neither version the layouts describe
    NoMarker,        // no layout: every table would be zeros
    Truncated,       // the file ends before the tables do
};

struct LayoutVerdict {
    VerdictKind kind;
    LayoutChoice layout;
    std::uint64_t need;       // file size holding every table the layout reads; 0 without a layout
    std::uint32_t num_scans;  // the scan count the reader takes for the version
};

LayoutChoice choose_layout(std::string_view path_text);

// The file size from which on fill_caches finds every value it reads for
// every scan of the version's count.
std::uint64_t tables_end(std::string_view path_text, std::uint32_t version);

bool is_known_version(std::uint32_t version);

// Version first, then the marker, then the size.
LayoutVerdict judge_layout(std::string_view path_text, std::uint32_t version, std::uint64_t file_size);

std::string_view kind_name(VerdictKind kind);      // "ok", "unknown_version", "no_marker", "truncated"
std::string_view layout_name(LayoutChoice layout);  // "small", "orbitrap"; empty for None

// The positions the verdict is computed from, by name, for callers that
// build or check files against them.
struct NamedFigure {
    std::string_view name;
    std::uint64_t value;
};

inline constexpr std::array<NamedFigure, 15> kVerdictFigures = {{
    {"small_rt_start", layout::kSmallRetentionTimes.start},
    {"small_rt_stride", layout::kSmallRetentionTimes.stride},
    {"orbitrap_rt_start", layout::kOrbitrapRetentionTimes.start},
    {"orbitrap_rt_stride", layout::kOrbitrapRetentionTimes.stride},
    {"rt_extent", layout::kRetentionTimeExtent},
    {"trailer_start", layout::trailer::kRecords.start},
    {"trailer_stride", layout::trailer::kRecords.stride},
    {"trailer_cached_extent", layout::trailer::kCachedExtent},
    {"trailer_present_extent", layout::trailer::kPresentExtent},
    {"v57_record_start", layout::v57_diagnostics::kRecords.start},
    {"v57_record_stride", layout::v57_diagnostics::kRecords.stride},
    {"v57_record_extent", layout::v57_diagnostics::kExtent},
    {"scans_v57", layout::scan_count(layout::header::kVersion57)},
    {"scans_v66", layout::scan_count(layout::header::kVersion66)},
    {"scans_other", layout::scan_count(0)},
}};

}  // namespace vantoro
