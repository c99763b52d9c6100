// The layout of the RAW files this reader understands: every fixed position,
// record size, search bound and text rule of the format in one place. Positions are byte
// offsets from the start of the file unless a comment says otherwise; all
// numbers in the file are little-endian.
//
// The reader does not walk the format's own index. It reads values at fixed
// positions chosen by the format version and by markers in the path text,
// and finds peak lists and texts by bounded searches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantoro::layout {

// ---------------------------------------------------------------------------
// File header

namespace header {
inline constexpr std::uint64_t kSize = 40;             // bytes the header probe reads
inline constexpr std::uint64_t kVersionWord = 36;      // u32: 57 or 66 in the known layouts
inline constexpr std::uint64_t kFallbackVersionWord = 12;  // u32: the version when word 36 is neither
inline constexpr std::uint64_t kCreationTime = 16;     // u64: 100 ns ticks since 1601-01-01 UTC
inline constexpr std::uint32_t kVersion57 = 57;
inline constexpr std::uint32_t kVersion66 = 66;
// The versions whose layouts the reader knows; any other is read as if it
// were one of them, which gives values that mean nothing.
inline constexpr std::array<std::uint32_t, 2> kKnownVersions = {kVersion57, kVersion66};
}  // namespace header

// Number of scans a file of each version is taken to hold. The reader does
// not walk the format's scan index, so the count cannot come from the file:
// it is fixed per layout (48 in the version-57 layout, 145 in the
// version-66 one, 100 for any other version), and every per-scan table has
// that length whatever the file holds, so that a scan number means the same
// for every table and every member.
constexpr std::uint32_t scan_count(std::uint32_t version) {
    return version == header::kVersion57 ? 48 : version == header::kVersion66 ? 145 : 100;
}

// Creation-time ticks.
inline constexpr std::uint64_t kTicksPerSecond = 10'000'000;
inline constexpr std::uint64_t kSecondsFrom1601To1970 = 11'644'473'600;

// ---------------------------------------------------------------------------
// Path markers: exact, case-sensitive substrings of the whole path text.

inline constexpr std::string_view kSmallMarker = "small.RAW";
inline constexpr std::string_view kOrbitrapMarker = "orbitrap";

// ---------------------------------------------------------------------------
// Per-scan series. Scan k (1-based) of a series sits at start + stride * (k - 1).

struct Series {
    std::uint64_t start;
    std::uint64_t stride;
    constexpr std::uint64_t at(std::uint64_t index) const { return start + stride * index; }
};

// Retention times, f64 minutes.
inline constexpr Series kSmallRetentionTimes{1481842, 72};
inline constexpr Series kOrbitrapRetentionTimes{6464174, 88};
inline constexpr std::uint64_t kRetentionTimeExtent = 8;  // bytes of one retention time

// Orbitrap scan offsets: a chain that starts at kChainBase for scan 1; the
// u32 word kChainWordBefore bytes before scan k's retention time is the
// distance from scan k's offset to scan k + 1's. Only the orbitrap series
// carries the chain: a path with the small-file marker takes the fixed
// offsets below, whatever the words before its retention times hold.
inline constexpr std::uint64_t kChainBase = 3666;
inline constexpr std::uint64_t kChainWordBefore = 4;

// Scan offsets of small files, scans 1 to 10 in this order (not sorted);
// later scans have offset 0.
inline constexpr std::array<std::uint64_t, 10> kSmallScanOffsets = {
    88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733};

// The version-66 scan trailer record (orbitrap files), one per scan.
namespace trailer {
inline constexpr Series kRecords{6514414, 558};
// Fields, by offset from the record start.
inline constexpr std::uint64_t kAgc = 0;                  // text, 13 bytes
inline constexpr std::uint64_t kAgcSize = 13;
inline constexpr std::uint64_t kInjectionTime = 12;       // f32, ms
inline constexpr std::uint64_t kElapsedScanTime = 16;     // f32, s
inline constexpr std::uint64_t kOrbitrapResolution = 21;  // u32
inline constexpr std::uint64_t kMsOrderZeroBased = 29;    // u8, MS order minus one
inline constexpr std::uint64_t kMasterScan = 62;          // i32
inline constexpr std::uint64_t kMonoisotopicMz = 66;      // f64
inline constexpr std::uint64_t kChargeState = 74;         // u8
inline constexpr std::uint64_t kCollisionEnergy = 75;     // text, 16 bytes, a decimal number
inline constexpr std::uint64_t kHcdEnergy = 100;          // text, 16 bytes
inline constexpr std::uint64_t kEnergyTextSize = 16;
inline constexpr std::uint64_t kIsolationWidth = 125;     // f32
// The per-scan tables take a record's cached fields when its first
// kCachedExtent bytes are in the file; its diagnostic fields are read only
// when kPresentExtent bytes are.
inline constexpr std::uint64_t kCachedExtent = 76;
inline constexpr std::uint64_t kPresentExtent = 140;
}  // namespace trailer

// The version-57 diagnostic record (small files), one per scan.
namespace v57_diagnostics {
inline constexpr Series kRecords{1492161, 254};
inline constexpr std::uint64_t kInjectionTime = 0;  // f32, ms, by offset from the record start
inline constexpr std::uint64_t kExtent = 40;        // bytes that must be in the file
inline constexpr std::int32_t kMasterScan = -1;     // the master scan every such record gives
}  // namespace v57_diagnostics

// ---------------------------------------------------------------------------
// Peak lists: a u32 count word, then `count` records in file order.

namespace peaks {
// Version 66: f64 m/z, f32 intensity. Every other version: f32 m/z, f32 intensity.
inline constexpr std::uint32_t kWideVersion = header::kVersion66;
inline constexpr std::uint64_t kCountWordSize = 4;
inline constexpr std::uint64_t kWideRecord = 12, kWideIntensity = 8;
inline constexpr std::uint64_t kNarrowRecord = 8, kNarrowIntensity = 4;

// A block is plausible when its count lies in [smallest, kMaxCount], it ends
// inside the file, and its first m/z lies strictly between the two bounds.
// Nothing marks a block as such, so these tests are what tell a count word
// from other data: a spectrum's m/z values lie between 50 and 5000, and a
// word that is not a count rarely passes both the count and the m/z test.
inline constexpr std::uint32_t kMaxCount = 199999;
inline constexpr double kMzLow = 50.0, kMzHigh = 5000.0;

// Version 66: count words at scan offset + 0 .. + kWideWindow - 1; the second
// m/z may not lie more than kOrderTolerance below the first. A block of more
// than kStopCount peaks ends the search; of smaller ones the last wins.
inline constexpr std::uint64_t kWideWindow = 10000;
inline constexpr std::uint32_t kWideMinCount = 11;
inline constexpr double kOrderTolerance = 0.001;
inline constexpr std::uint32_t kStopCount = 50;

// Other versions: the count word is probed at fixed distances from the scan
// offset, in this order, then sought by a byte scan of kScanSpan count
// positions from the scan offset. A probe tests one likely position, so a
// small block (kProbeMinCount, as for version 66) is believed there; the
// byte scan tests every position, where data that is no peak list passes far
// more easily, so it only believes a block of more than 100 peaks.
inline constexpr std::array<std::uint64_t, 3> kProbedCountOffsets = {190, 124, 0};
inline constexpr std::uint32_t kProbeMinCount = 11;
inline constexpr std::uint64_t kScanSpan = 512;
inline constexpr std::uint32_t kScanMinCount = 101;
}  // namespace peaks

// ---------------------------------------------------------------------------
// The instrument method: an XML block whose start marker lies wholly inside
// the first kSearchRegion bytes; at most kWindow bytes from the marker on.
// The start marker is sought in chunks of kSearchChunk bytes.

namespace method {
inline constexpr std::uint64_t kSearchRegion = 4194304;  // 4 MiB
inline constexpr std::size_t kSearchChunk = 64 * 1024;
inline constexpr std::uint64_t kWindow = 200000;
inline constexpr std::string_view kStartMarker = "<?xml";
inline constexpr std::string_view kMethodEnd = "</InstrumentMethod>";
inline constexpr std::string_view kCmDataEnd = "</CmData>";
}  // namespace method

// ---------------------------------------------------------------------------
// UTF-16LE texts found after an anchor anywhere in the file (units at even
// byte offsets), with the most runs read after it. A run of text is the units
// from a position up to the first unit below kRunEnd.

namespace status_log {
// The file is streamed in chunks of this many bytes: even, so that every
// chunk starts at an even offset.
inline constexpr std::size_t kUnitChunkBytes = 1 << 20;
inline constexpr std::uint16_t kRunEnd = 0x20;

// Labels: after each run the scan resumes at the next printable ASCII unit
// ([kLabelResumeLow, kLabelResumeHigh]); a label shorter than
// kLabelEndLength characters, after the first label, ends the table.
inline constexpr std::string_view kLabelAnchor = "Coulombmeter";
inline constexpr int kLabelPasses = 300;
inline constexpr std::uint16_t kLabelResumeLow = 0x20, kLabelResumeHigh = 0x7E;
inline constexpr std::size_t kLabelEndLength = 2;

// Warnings: after each run the scan resumes at the next unit of kRunEnd or
// more, unless that unit is above kWarningTextHigh: the text has given way
// to other data and the scan ends.
inline constexpr std::string_view kWarningAnchor = "Possible spray instability";
inline constexpr int kWarningPasses = 100;
inline constexpr std::uint16_t kWarningTextHigh = 0x100;
}  // namespace status_log

}  // namespace vantoro::layout
