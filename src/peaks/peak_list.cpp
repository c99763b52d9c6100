#include "peak_list.h"

#include <algorithm>
#include <new>

#include "../format/layout.h"
#include "../reader/open_file.h"

namespace vantoro {

namespace {

using namespace layout::peaks;

bool plausible_mz(double v) { return v > kMzLow && v < kMzHigh; }  // NaN fails both

bool count_in_range(std::uint32_t n, std::uint32_t smallest) { return n >= smallest && n <= kMaxCount; }

// Decodes n records starting at data position d, from the window when it
// holds them, otherwise from one read of the block's extent. Nothing when
// that read fails (the file shrank or failed since it was opened).
template <bool Wide>
std::optional<PeakList> decode(const OpenFile& file, const FetchedRange& window, std::uint64_t d, std::uint32_t n) {
    const std::uint64_t len = (Wide ? kWideRecord : kNarrowRecord) * n;
    const bool in_window = window.holds(d, len);
    // A block past the end of the file is refused before anything is sized for it.
    if (!in_window && !file.contains(d, len)) return std::nullopt;
    Buffer<std::uint8_t> block;
    PeakList out;
    try {
        if (!in_window) block.resize(static_cast<std::size_t>(len));
        out.mz.resize(n);
        out.intensity.resize(n);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    const std::uint8_t* p = nullptr;
    if (in_window) {
        p = window.span(d, len).data();
    } else {
        // Every byte is read or the read fails: nothing unwritten is decoded.
        if (file.read_into(d, block.data(), block.size())) return std::nullopt;
        p = block.data();
    }
    for (std::uint32_t j = 0; j < n; ++j) {
        if constexpr (Wide) {
            out.mz[j] = load_f64(p + kWideRecord * j);
            out.intensity[j] = load_f32(p + kWideRecord * j + kWideIntensity);
        } else {
            out.mz[j] = static_cast<double>(load_f32(p + kNarrowRecord * j));  // exact widening
            out.intensity[j] = load_f32(p + kNarrowRecord * j + kNarrowIntensity);
        }
    }
    return out;
}

// Version 66: every start position of the window is tested; a block of more
// than kStopCount peaks ends the search, smaller ones are each accepted in
// turn (the search goes on inside them) and the last accepted one wins. Only
// the winner is decoded.
std::optional<PeakList> search_wide(const OpenFile& file, std::uint64_t offset) {
    const std::uint64_t file_length = file.length();
    const std::uint64_t end = std::min(offset + kWideWindow, file_length);
    // Enough for the count word, the first and the second m/z of every
    // start position; anything past file_length is never needed.
    auto window = file.read_clipped(offset, kWideWindow + kCountWordSize + kWideRecord + sizeof(double));
    if (!window) return std::nullopt;
    const FetchedRange& w = window.value();

    bool found = false;
    std::uint64_t found_at = 0;
    std::uint32_t found_n = 0;
    for (std::uint64_t p = offset; p < end && p + kCountWordSize + sizeof(double) < file_length; ++p) {
        const std::uint32_t n = w.u32(p);
        if (!count_in_range(n, kWideMinCount)) continue;
        const std::uint64_t d = p + kCountWordSize;
        if (d + kWideRecord * n > file_length) continue;
        const double first = w.f64(d);
        if (!plausible_mz(first)) continue;
        // The smallest count and the extent test keep the second m/z inside
        // the file, and the window reaches that far for every start position.
        const double second = w.f64(d + kWideRecord);
        if (first - kOrderTolerance > second) continue;  // a NaN second passes
        if (n > kStopCount) return decode<true>(file, w, d, n);
        found = true;
        found_at = d;
        found_n = n;
    }
    if (!found) return std::nullopt;
    return decode<true>(file, w, found_at, found_n);
}

// Every other version: three fixed probes, then a byte scan that needs a
// larger count; the first position that passes is decoded.
std::optional<PeakList> search_narrow(const OpenFile& file, std::uint64_t offset) {
    const std::uint64_t file_length = file.length();
    auto window = file.read_clipped(offset, kScanSpan + kCountWordSize + sizeof(float));
    if (!window) return std::nullopt;
    const FetchedRange& w = window.value();

    auto passes = [&](std::uint64_t c, std::uint32_t smallest) -> std::uint32_t {
        const std::uint64_t d = c + kCountWordSize;
        if (d > file_length) return 0;
        const std::uint32_t n = w.u32(c);
        if (!count_in_range(n, smallest)) return 0;
        if (d + kNarrowRecord * n > file_length) return 0;
        if (!plausible_mz(static_cast<double>(w.f32(d)))) return 0;
        return n;
    };

    for (std::uint64_t probe : kProbedCountOffsets) {
        const std::uint64_t c = offset + probe;
        if (std::uint32_t n = passes(c, kProbeMinCount)) return decode<false>(file, w, c + kCountWordSize, n);
    }
    for (std::uint64_t c = offset; c < offset + kScanSpan; ++c) {
        if (c + kCountWordSize > file_length) break;
        if (std::uint32_t n = passes(c, kScanMinCount)) return decode<false>(file, w, c + kCountWordSize, n);
    }
    return std::nullopt;
}

}  // namespace

std::optional<PeakList> read_peak_list(std::string_view path, std::uint32_t version, std::uint64_t scan_offset) {
    auto file = OpenFile::open(path);
    if (!file) return std::nullopt;  // the error's details are not reported
    if (scan_offset >= file->length()) return std::nullopt;
    return version == kWideVersion ? search_wide(*file, scan_offset) : search_narrow(*file, scan_offset);
}

}  // namespace vantoro
