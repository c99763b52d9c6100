// The data behind one RawFileReader. It holds no open file: every operation
// that needs file bytes opens a FileView by `path` and drops it on return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantoro {

struct ReaderRecord {
    std::string path;  // UTF-8, exactly as the caller passed it
    std::vector<double> rt_cache;
    std::vector<std::uint64_t> scan_offset_cache;
    std::vector<double> injection_time_cache;
    std::vector<std::int32_t> master_scan_cache;
    std::vector<std::int32_t> charge_cache;
    std::vector<double> monomz_cache;
    std::uint64_t creation_time = 0;  // raw header word at offset 16
    std::uint32_t version = 0;
    std::uint32_t num_scans = 0;
};

// Path markers that select the fixed-position layouts: exact, case-sensitive
// substrings of the whole path text, directories included.
inline bool has_small_marker(std::string_view path) {
    return path.find("small.RAW") != std::string_view::npos;
}
inline bool has_orbitrap_marker(std::string_view path) {
    return path.find("orbitrap") != std::string_view::npos;
}

// 1-based scan number to table index; scan 0 maps past every table.
inline std::uint64_t scan_index(std::uint32_t scan_number) {
    return static_cast<std::uint64_t>(scan_number) - 1;
}

}  // namespace vantoro
