// A range of file bytes fetched into memory, addressed by absolute file
// offset, with bounds-checked little-endian accessors.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "fault.h"

namespace vantoro {

// Little-endian loads from raw memory whose bounds the caller has checked.
inline std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline std::uint64_t load_u64(const std::uint8_t* p) {
    return std::uint64_t(load_u32(p)) | std::uint64_t(load_u32(p + 4)) << 32;
}
inline float load_f32(const std::uint8_t* p) { return std::bit_cast<float>(load_u32(p)); }
inline double load_f64(const std::uint8_t* p) { return std::bit_cast<double>(load_u64(p)); }

class FetchedRange {
public:
    FetchedRange() = default;
    FetchedRange(std::uint64_t base, std::vector<std::uint8_t> data) : base_(base), data_(std::move(data)) {}

    std::size_t size() const { return data_.size(); }
    // True when [pos, pos + n) lies inside this range.
    bool holds(std::uint64_t pos, std::uint64_t n) const {
        return pos >= base_ && pos - base_ <= data_.size() && n <= data_.size() - (pos - base_);
    }
    const std::uint8_t* data() const { return data_.data(); }

    std::span<const std::uint8_t> span(std::uint64_t pos, std::uint64_t n) const {
        return {at(pos, n), static_cast<std::size_t>(n)};
    }

    std::uint8_t u8(std::uint64_t pos) const { return *at(pos, 1); }
    std::uint32_t u32(std::uint64_t pos) const { return load_u32(at(pos, 4)); }
    std::int32_t i32(std::uint64_t pos) const { return static_cast<std::int32_t>(u32(pos)); }
    std::uint64_t u64(std::uint64_t pos) const { return load_u64(at(pos, 8)); }
    float f32(std::uint64_t pos) const { return load_f32(at(pos, 4)); }
    double f64(std::uint64_t pos) const { return load_f64(at(pos, 8)); }

private:
    const std::uint8_t* at(std::uint64_t pos, std::uint64_t n) const {
        if (!holds(pos, n)) {
            std::uint64_t start = pos - base_;  // wraps for pos < base_: reported as a start fault
            fault_range(start, start + n, data_.size());
        }
        return data_.data() + (pos - base_);
    }

    std::uint64_t base_ = 0;
    std::vector<std::uint8_t> data_;
};

}  // namespace vantoro
