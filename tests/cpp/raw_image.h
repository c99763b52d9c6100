// Synthetic RAW-like files for the C++ tests: byte regions placed at
// absolute offsets of a sparse file, as tests/builders.py builds them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "support.h"

namespace vantoro::test {

// Fixed positions of the two layouts the reader knows.
inline constexpr std::uint64_t kRtSmallStart = 1481842, kRtSmallStride = 72;
inline constexpr std::uint64_t kRtOrbiStart = 6464174, kRtOrbiStride = 88;
inline constexpr std::uint64_t kChainBase = 3666;
inline constexpr std::uint64_t kTrailerStart = 6514414, kTrailerStride = 558, kTrailerPresent = 140;
inline constexpr std::uint64_t kV57RecordStart = 1492161, kV57Stride = 254;  // version-57 diagnostic records
inline constexpr std::uint64_t kSmallScan1 = 88820;  // scan 1's offset in every "small.RAW" file

inline std::uint32_t scan_count(std::uint32_t version) {
    return version == 57 ? 48 : version == 66 ? 145 : 100;
}
inline std::uint64_t trailer_block(std::uint32_t scan) { return kTrailerStart + kTrailerStride * (scan - 1); }

using Bytes = std::vector<std::uint8_t>;

template <class T>
void append(Bytes& out, T v) {
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));  // the tests run on little-endian machines only
    out.insert(out.end(), b, b + sizeof(T));
}
inline Bytes bytes(std::string_view s) { return {s.begin(), s.end()}; }
// UTF-16LE bytes of text given as code units.
inline Bytes utf16(std::u16string_view units) {
    Bytes out;
    for (char16_t u : units) append<std::uint16_t>(out, u);
    return out;
}
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Count word, then records of m/z (f64 when wide, else f32) and f32 intensity:
// m/z start + step * j, intensity 10 + j.
inline Bytes peak_block(bool wide, std::uint32_t n, double start = 100.0, double step = 0.25) {
    Bytes out;
    append(out, n);
    for (std::uint32_t j = 0; j < n; ++j) {
        if (wide)
            append(out, start + step * j);
        else
            append(out, static_cast<float>(start + step * j));
        append(out, static_cast<float>(10.0 + j));
    }
    return out;
}

class RawImage {
public:
    std::uint64_t size = 40;
    Regions regions;

    RawImage& put(std::uint64_t offset, Bytes data) {
        size = std::max(size, offset + data.size());
        regions[offset] = std::move(data);
        return *this;
    }
    template <class T>
    RawImage& value(std::uint64_t offset, T v) {
        Bytes b;
        append(b, v);
        return put(offset, std::move(b));
    }

    // Version words at 36 (57/66) or 12 (anything else), creation time at 16.
    RawImage& header(std::uint32_t version, std::uint64_t creation_time = 0) {
        bool known = version == 57 || version == 66;
        return value<std::uint32_t>(12, known ? 0 : version)
            .value<std::uint64_t>(16, creation_time)
            .value<std::uint32_t>(36, known ? version : 0);
    }
    RawImage& rt_series(std::uint64_t start, std::uint64_t stride, std::uint32_t n, double first) {
        for (std::uint32_t i = 0; i < n; ++i) value(start + stride * i, first + i);
        return *this;
    }
    // Scan k+1's offset is scan k's plus word k, stored just before scan k's
    // orbitrap retention time.
    RawImage& offset_chain(std::uint32_t n, std::uint32_t word) {
        for (std::uint32_t i = 0; i < n; ++i) value(kRtOrbiStart + kRtOrbiStride * i - 4, word);
        return *this;
    }
    // The cached fields of a scan's trailer block; its first `extent` bytes
    // become part of the file.
    RawImage& trailer(std::uint32_t scan, float injection_time, std::int32_t master, double monomz,
                      std::uint8_t charge, std::uint64_t extent = kTrailerPresent) {
        std::uint64_t b = trailer_block(scan);
        size = std::max(size, b + extent);
        return value(b + 12, injection_time).value(b + 62, master).value(b + 66, monomz).value(b + 74, charge);
    }

    fs::path write(const fs::path& p) const {
        make_directories(p.parent_path());
        write_sparse(p, size, regions);
        return p;
    }
};

}  // namespace vantoro::test
