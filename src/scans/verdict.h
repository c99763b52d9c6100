// Whether the per-scan tables of a file are all in it: the whole-file
// verdict a caller can reach from the path text, the format version and the
// file's size alone, without opening the file (it may be a URL). It judges
// the tables of the same plan the reader reads (format/plan.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "../format/plan.h"

namespace vantoro {

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

bool is_known_version(std::uint32_t version);

// Version first, then the marker, then the size.
LayoutVerdict judge_layout(std::string_view path_text, std::uint32_t version, std::uint64_t file_size);

std::string_view kind_name(VerdictKind kind);      // "ok", "unknown_version", "no_marker", "truncated"
std::string_view layout_name(LayoutChoice layout);  // "small", "orbitrap"; empty for None

}  // namespace vantoro
