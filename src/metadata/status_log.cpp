#include "status_log.h"

#include <algorithm>

#include "../format/layout.h"
#include "utf16_scan.h"

namespace vantoro {

namespace {

using namespace layout::status_log;

bool printable_ascii(std::uint16_t u) { return u >= 0x20 && u <= 0x7E; }

// Labels: every run from the anchor on, resuming at the next printable ASCII
// unit. A one-character label after the first marks the end of the table.
Result<std::vector<std::string>> scan_labels(const OpenFile& file, std::uint64_t p) {
    UnitCursor cur(file);
    std::vector<std::string> out;
    std::uint64_t pos = p;
    for (int passes = 0; passes < kLabelPasses && pos < cur.units(); ++passes) {
        std::optional<std::string> text;
        std::uint64_t q = read_run(cur, pos, text) + 1;
        if (text) out.push_back(std::move(*text));
        // Tested before resuming, so the scan stops at the end of the table.
        if (out.size() >= 2 && out.back().size() < 2) break;
        for (std::optional<std::uint16_t> u; (u = cur.at(q)) && !printable_ascii(*u);) ++q;
        pos = q;  // at or past the end when no unit qualified
    }
    if (cur.error()) return *cur.error();
    return out;
}

// Warnings: distinct runs, resuming at the next unit of 0x20 or more unless
// that unit lies above 0x100 (the text has given way to other data).
Result<std::vector<std::string>> scan_warnings(const OpenFile& file, std::uint64_t p) {
    UnitCursor cur(file);
    std::vector<std::string> out;
    std::uint64_t pos = p;
    for (int pass = 1; pos < cur.units(); ++pass) {
        std::optional<std::string> text;
        std::uint64_t q = read_run(cur, pos, text) + 1;
        if (text && std::find(out.begin(), out.end(), *text) == out.end()) out.push_back(std::move(*text));
        std::optional<std::uint16_t> u;
        while ((u = cur.at(q)) && *u < 0x20) ++q;
        if (!u || *u > 0x100 || pass == kWarningPasses) break;
        pos = q;
    }
    if (cur.error()) return *cur.error();
    return out;
}

template <class Loop>
std::vector<std::string> anchored_scan(std::string_view path, std::string_view anchor, Loop loop) {
    auto file = OpenFile::open(path);
    if (!file) return {};
    const Match anchor_at = find_utf16_anchor(*file, anchor);
    if (!anchor_at.found()) return {};
    auto texts = loop(*file, *anchor_at.offset);
    if (!texts) return {};
    return std::move(texts.value());
}

}  // namespace

std::vector<std::string> status_log_labels(std::string_view path) {
    return anchored_scan(path, kLabelAnchor, scan_labels);
}

std::vector<std::string> error_logs(std::string_view path) {
    return anchored_scan(path, kWarningAnchor, scan_warnings);
}

}  // namespace vantoro
