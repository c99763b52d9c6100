#include "status_log.h"

#include <algorithm>
#include <utility>

#include "../format/layout.h"
#include "utf16_scan.h"

namespace vantoro {

namespace {

using namespace layout::status_log;

bool printable_ascii(std::uint16_t u) { return u >= kLabelResumeLow && u <= kLabelResumeHigh; }

// Labels: every run from the anchor on, resuming at the next printable ASCII
// unit. A one-character label after the first marks the end of the table.
std::vector<std::string> scan_labels(UnitCursor& cur, std::uint64_t anchor_at) {
    std::vector<std::string> out;
    std::uint64_t pos = anchor_at;
    for (int passes = 0; passes < kLabelPasses && pos < cur.units(); ++passes) {
        std::optional<std::string> text;
        std::uint64_t next = read_run(cur, pos, text) + 1;
        if (text) out.push_back(std::move(*text));
        // Tested before resuming, so the scan stops at the end of the table.
        if (out.size() >= 2 && out.back().size() < kLabelEndLength) break;
        for (std::optional<std::uint16_t> u; (u = cur.at(next)) && !printable_ascii(*u);) ++next;
        pos = next;  // at or past the end when no unit qualified
    }
    return out;
}

// Warnings: distinct runs, resuming at the next unit that can start a run
// unless that unit lies above kWarningTextHigh.
std::vector<std::string> scan_warnings(UnitCursor& cur, std::uint64_t anchor_at) {
    std::vector<std::string> out;
    std::uint64_t pos = anchor_at;
    for (int pass = 1; pos < cur.units(); ++pass) {
        std::optional<std::string> text;
        std::uint64_t next = read_run(cur, pos, text) + 1;
        if (text && std::find(out.begin(), out.end(), *text) == out.end()) out.push_back(std::move(*text));
        std::optional<std::uint16_t> u;
        while ((u = cur.at(next)) && *u < kRunEnd) ++next;
        if (!u || *u > kWarningTextHigh || pass == kWarningPasses) break;
        pos = next;
    }
    return out;
}

// A read error anywhere gives the empty list; the stop check gives nothing.
template <class Loop>
std::optional<std::vector<std::string>> anchored_scan(std::string_view path, std::string_view anchor,
                                                      const StopCheck& stop, Loop loop) {
    using Texts = std::vector<std::string>;
    auto file = OpenFile::open(path);
    if (!file) return Texts();
    const Match anchor_at = find_utf16_anchor(*file, anchor, stop);
    if (anchor_at.stopped) return std::nullopt;
    if (!anchor_at.found()) return Texts();
    UnitCursor cur(*file, stop);
    Texts texts = loop(cur, *anchor_at.offset);
    if (cur.stopped()) return std::nullopt;
    if (cur.error()) return Texts();
    return texts;
}

}  // namespace

std::optional<std::vector<std::string>> status_log_labels(std::string_view path, const StopCheck& stop) {
    return anchored_scan(path, kLabelAnchor, stop, scan_labels);
}

std::optional<std::vector<std::string>> error_logs(std::string_view path, const StopCheck& stop) {
    return anchored_scan(path, kWarningAnchor, stop, scan_warnings);
}

// Without a stop check a scan always runs to its end and gives a list.
std::vector<std::string> status_log_labels(std::string_view path) {
    return std::move(*status_log_labels(path, StopCheck()));
}

std::vector<std::string> error_logs(std::string_view path) { return std::move(*error_logs(path, StopCheck())); }

}  // namespace vantoro
