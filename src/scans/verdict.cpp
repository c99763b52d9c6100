#include "verdict.h"

#include <algorithm>

#include "../format/selection.h"

namespace vantoro {

namespace {

// The end of the first `extent` bytes of the last of `count` records.
std::uint64_t series_end(const layout::Series& s, std::uint32_t count, std::uint64_t extent) {
    return s.at(count - 1) + extent;
}

}  // namespace

LayoutChoice choose_layout(std::string_view path_text) {
    if (has_small_marker(path_text)) return LayoutChoice::Small;
    if (has_orbitrap_marker(path_text)) return LayoutChoice::Orbitrap;
    return LayoutChoice::None;
}

// What the per-scan questions read: the retention times of the chosen layout
// (their chain words lie before them); with the orbitrap marker, whichever
// layout won, the trailer records (the cached fields, and for version 66 the
// whole block get_trailer_extra reads, without which a scan loses its MS
// order and energies); otherwise, for a small version-57 file, its
// diagnostic records.
std::uint64_t tables_end(std::string_view path_text, std::uint32_t version) {
    const LayoutChoice layout = choose_layout(path_text);
    if (layout == LayoutChoice::None) return 0;
    const std::uint32_t n = layout::scan_count(version);
    const layout::Series& times =
        layout == LayoutChoice::Small ? layout::kSmallRetentionTimes : layout::kOrbitrapRetentionTimes;
    std::uint64_t end = series_end(times, n, layout::kRetentionTimeExtent);
    if (has_orbitrap_marker(path_text)) {
        namespace t = layout::trailer;
        const std::uint64_t extent = version == layout::header::kVersion66 ? t::kPresentExtent : t::kCachedExtent;
        end = std::max(end, series_end(t::kRecords, n, extent));
    } else if (version == layout::header::kVersion57) {
        namespace d = layout::v57_diagnostics;
        end = std::max(end, series_end(d::kRecords, n, d::kExtent));
    }
    return end;
}

bool is_known_version(std::uint32_t version) {
    return std::find(layout::header::kKnownVersions.begin(), layout::header::kKnownVersions.end(), version) !=
           layout::header::kKnownVersions.end();
}

LayoutVerdict judge_layout(std::string_view path_text, std::uint32_t version, std::uint64_t file_size) {
    LayoutVerdict v{VerdictKind::Ok, choose_layout(path_text), tables_end(path_text, version),
                    layout::scan_count(version)};
    if (!is_known_version(version))
        v.kind = VerdictKind::UnknownVersion;
    else if (v.layout == LayoutChoice::None)
        v.kind = VerdictKind::NoMarker;
    else if (file_size < v.need)
        v.kind = VerdictKind::Truncated;
    return v;
}

std::string_view kind_name(VerdictKind kind) {
    switch (kind) {
        case VerdictKind::Ok: return "ok";
        case VerdictKind::UnknownVersion: return "unknown_version";
        case VerdictKind::NoMarker: return "no_marker";
        case VerdictKind::Truncated: return "truncated";
    }
    return "";
}

std::string_view layout_name(LayoutChoice layout) {
    switch (layout) {
        case LayoutChoice::Small: return "small";
        case LayoutChoice::Orbitrap: return "orbitrap";
        case LayoutChoice::None: break;
    }
    return "";
}

}  // namespace vantoro
