#include "peak_list.h"

#include <algorithm>
#include <new>

#include "../reader/file_view.h"

namespace vantoro {

namespace {

// Version 66 stores 12-byte records (float64 m/z, float32 intensity); every
// other version 8-byte records (float32 m/z, float32 intensity).
constexpr std::uint32_t kWideVersion = 66;
constexpr std::uint64_t kWideRecord = 12, kNarrowRecord = 8;

constexpr std::uint64_t kWindow = 10000;     // version-66 start positions offset .. offset + 9999
constexpr std::uint32_t kMinCount = 11;      // version 66 and probes A to C
constexpr std::uint32_t kMinScanCount = 101; // byte scan of the other versions
constexpr std::uint32_t kMaxCount = 199999;
constexpr double kMzLow = 50.0, kMzHigh = 5000.0;  // both exclusive
constexpr double kOrderTolerance = 0.001;
constexpr std::uint32_t kStopCount = 50;     // a larger block ends the search at once
constexpr std::uint64_t kProbes[] = {190, 124, 0};
constexpr std::uint64_t kScanSpan = 512;

bool plausible_mz(double v) { return v > kMzLow && v < kMzHigh; }  // NaN fails both

bool count_in_range(std::uint32_t n, std::uint32_t smallest) { return n >= smallest && n <= kMaxCount; }

// Decodes n records starting at data position d, from the window when it
// holds them, otherwise from one read of the block's extent. Nothing when
// that read fails (the file shrank or failed since it was opened).
template <bool Wide>
std::optional<PeakList> decode(const FileView& view, const Bytes& window, std::uint64_t d, std::uint32_t n) {
    const std::uint64_t len = (Wide ? kWideRecord : kNarrowRecord) * n;
    Bytes fetched;
    const Bytes* src = &window;
    if (!window.holds(d, len)) {
        auto b = view.read(d, len);
        if (!b) return std::nullopt;
        fetched = std::move(b.value());
        src = &fetched;
    }
    const std::uint8_t* p = src->span(d, len).data();

    PeakList out;
    try {
        out.mz.resize(n);
        out.intensity.resize(n);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    for (std::uint32_t j = 0; j < n; ++j) {
        if constexpr (Wide) {
            out.mz[j] = load_f64(p + kWideRecord * j);
            out.intensity[j] = load_f32(p + kWideRecord * j + 8);
        } else {
            out.mz[j] = static_cast<double>(load_f32(p + kNarrowRecord * j));  // exact widening
            out.intensity[j] = load_f32(p + kNarrowRecord * j + 4);
        }
    }
    return out;
}

// Version 66: every start position of the window is tested; a block of more
// than 50 peaks ends the search, smaller ones are each accepted in turn
// (the search goes on inside them) and the last accepted one wins. Decoding
// is deferred to the winner, which gives the same result as decoding each.
std::optional<PeakList> search_wide(const FileView& view, std::uint64_t offset) {
    const std::uint64_t L = view.length();
    const std::uint64_t end = std::min(offset + kWindow, L);
    // Enough for the count word, the first and the second m/z of every
    // start position; anything past L is never needed.
    auto window = view.read_clipped(offset, kWindow + 24);
    if (!window) return std::nullopt;
    const Bytes& w = window.value();

    bool found = false;
    std::uint64_t found_at = 0;
    std::uint32_t found_n = 0;
    for (std::uint64_t p = offset; p < end && p + 12 < L; ++p) {
        const std::uint32_t n = w.u32(p);
        if (!count_in_range(n, kMinCount)) continue;
        if (p + 4 + kWideRecord * n > L) continue;
        const double first = w.f64(p + 4);
        if (!plausible_mz(first)) continue;
        // n >= 11 and the extent test keep p + 24 inside the file, and the
        // window reaches that far for every start position.
        const double second = w.f64(p + 16);
        if (first - kOrderTolerance > second) continue;  // a NaN second passes
        if (n > kStopCount) return decode<true>(view, w, p + 4, n);
        found = true;
        found_at = p;
        found_n = n;
    }
    if (!found) return std::nullopt;
    return decode<true>(view, w, found_at + 4, found_n);
}

// Every other version: three fixed probes, then a byte scan that needs a
// larger count; the first position that passes is decoded.
std::optional<PeakList> search_narrow(const FileView& view, std::uint64_t offset) {
    const std::uint64_t L = view.length();
    auto window = view.read_clipped(offset, kScanSpan + 8);
    if (!window) return std::nullopt;
    const Bytes& w = window.value();

    auto passes = [&](std::uint64_t c, std::uint32_t smallest) -> std::uint32_t {
        const std::uint64_t d = c + 4;
        if (d > L) return 0;
        const std::uint32_t n = w.u32(c);
        if (!count_in_range(n, smallest)) return 0;
        if (d + kNarrowRecord * n > L) return 0;
        if (!plausible_mz(static_cast<double>(w.f32(d)))) return 0;
        return n;
    };

    for (std::uint64_t probe : kProbes) {
        const std::uint64_t c = offset + probe;
        if (std::uint32_t n = passes(c, kMinCount)) return decode<false>(view, w, c + 4, n);
    }
    for (std::uint64_t c = offset; c < offset + kScanSpan; ++c) {
        if (c + 4 > L) break;
        if (std::uint32_t n = passes(c, kMinScanCount)) return decode<false>(view, w, c + 4, n);
    }
    return std::nullopt;
}

}  // namespace

std::optional<PeakList> read_peak_list(const ReaderRecord& reader, std::uint32_t scan_num) {
    const std::uint64_t i = scan_index(scan_num);
    if (i >= reader.num_scans || i >= reader.scan_offset_cache.size()) return std::nullopt;
    const std::uint64_t offset = reader.scan_offset_cache[i];

    auto view = FileView::open(reader.path);
    if (!view) return std::nullopt;  // the error's details are not reported
    if (offset >= view->length()) return std::nullopt;
    return reader.version == kWideVersion ? search_wide(*view, offset) : search_narrow(*view, offset);
}

}  // namespace vantoro
