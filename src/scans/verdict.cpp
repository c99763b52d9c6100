#include "verdict.h"

#include <algorithm>

namespace vantoro {

bool is_known_version(std::uint32_t version) {
    return std::find(layout::header::kKnownVersions.begin(), layout::header::kKnownVersions.end(), version) !=
           layout::header::kKnownVersions.end();
}

LayoutVerdict judge_layout(std::string_view path_text, std::uint32_t version, std::uint64_t file_size) {
    const TablePlan plan = table_plan(path_text, version);
    LayoutVerdict v{VerdictKind::Ok, plan.layout, plan.tables_end(), plan.num_scans};
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
