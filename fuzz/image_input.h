// Fuzz inputs that describe a file image compactly, so that the fuzzer can
// put bytes at the layout's fixed positions (megabytes into a file) with a
// few input bytes. fuzz/make_seeds.py writes the same encoding.
//
// A file, all numbers little-endian:
//   flags      u8   bit 0: path holds the small-file marker
//                   bit 1: path holds the orbitrap marker
//                   bits 2-3: header written first: 0 version 57, 1 version 66,
//                             2 the version word below at offset 12, 3 none
//                   bit 4: every read fails as a directory's does (EISDIR)
//                   bit 5: reads stop short of the reported length (a file
//                          that shrank after it was opened), at `readable`
//   version    u32  the version word for header choice 2
//   length     pos  the length the file reports
//   readable   pos  where reads stop, for flag bit 5
//   regions, to the end of the input: pos, size u16, then size bytes
//                   (fewer when the input ends first)
// A pos is 4 bytes: kind u8, k u8, delta i16; the position is the anchor
// that kind and k name, plus delta (0 if that falls below 0). See position().
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/layout.h"
#include "reader/memory_files.h"

namespace vantoro::fuzz {

// Reads the input front to back; past its end every number is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool empty() const { return p_ == end_; }
    std::uint8_t u8() { return empty() ? 0 : *p_++; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | std::uint32_t(u16()) << 16); }
    // Up to n bytes; fewer when the input ends first.
    std::vector<std::uint8_t> bytes(std::size_t n) {
        const std::size_t take = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
        std::vector<std::uint8_t> out(p_, p_ + take);
        p_ += take;
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(static_cast<std::size_t>(end_ - p_)); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Anchors a pos can name. `scan_base` is a target's own anchor (the offset
// of the scan whose peak list it searches).
inline std::uint64_t position(Input& in, std::uint64_t scan_base = 0) {
    const std::uint8_t kind = in.u8();
    const std::uint64_t k = in.u8();
    const std::int64_t delta = in.i16();
    std::uint64_t anchor = 0;
    switch (kind % 9) {
        case 0: anchor = k << 16; break;  // anywhere in the first 16 MiB
        case 1: anchor = layout::kSmallRetentionTimes.at(k); break;
        case 2: anchor = layout::kOrbitrapRetentionTimes.at(k); break;
        case 3: anchor = layout::trailer::kRecords.at(k); break;
        case 4: anchor = layout::v57_diagnostics::kRecords.at(k); break;
        case 5: anchor = layout::kSmallScanOffsets[k % layout::kSmallScanOffsets.size()]; break;
        case 6: anchor = layout::kChainBase + (k << 10); break;
        case 7: anchor = layout::method::kSearchRegion + (k << 8); break;
        default: anchor = scan_base + (k << 10); break;
    }
    return delta < 0 && anchor < static_cast<std::uint64_t>(-delta) ? 0 : anchor + delta;
}

struct File {
    std::string path;
    memory_files::Image image;
    std::uint32_t version = 0;  // the version the header names (choice 3: the version word)
};

// Decodes one file from the input, which it reads to the end. Its length is
// capped at `max_length`, for targets that read a whole file.
inline File decode_file(Input& in, std::uint64_t scan_base = 0,
                        std::uint64_t max_length = std::uint64_t{1} << 32) {
    File f;
    const std::uint8_t flags = in.u8();
    const std::uint32_t version_word = in.u32();
    f.path = std::string("fuzz/") + (flags & 1 ? "run_small.RAW" : "run") + (flags & 2 ? "_orbitrap" : "") + ".raw";
    f.image.length = std::min(position(in, scan_base), max_length);
    const std::uint64_t readable = position(in, scan_base);
    if (flags & 0x10) f.image.read_error = EISDIR;
    if (flags & 0x20) f.image.readable = readable;

    namespace h = layout::header;
    const unsigned header_choice = (flags >> 2) & 3;
    f.version = header_choice == 0 ? h::kVersion57 : header_choice == 1 ? h::kVersion66 : version_word;
    if (header_choice != 3) {
        std::vector<std::uint8_t> head(h::kSize, 0);
        auto put_u32 = [&](std::uint64_t at, std::uint32_t v) {
            for (int b = 0; b < 4; ++b) head[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
        };
        if (header_choice == 2)
            put_u32(h::kFallbackVersionWord, version_word);
        else
            put_u32(h::kVersionWord, header_choice == 0 ? h::kVersion57 : h::kVersion66);
        f.image.regions.emplace_back(0, std::move(head));
    }
    while (!in.empty()) {
        const std::uint64_t at = position(in, scan_base);
        const std::uint16_t size = in.u16();
        f.image.regions.emplace_back(at, in.bytes(size));
    }
    return f;
}

}  // namespace vantoro::fuzz
