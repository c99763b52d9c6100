// The data behind one RawFileReader: the header facts and the per-scan
// tables. It holds no open file: every operation that needs file bytes opens
// the file by `path` and closes it on return.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantoro {

// The per-scan tables; entry i belongs to scan i + 1.
struct ScanTables {
    std::vector<double> rt_cache;
    std::vector<std::uint64_t> scan_offset_cache;
    std::vector<double> injection_time_cache;
    std::vector<std::int32_t> master_scan_cache;
    std::vector<std::int32_t> charge_cache;
    std::vector<double> monomz_cache;
};

// Each table holds num_scans entries.
struct ReaderRecord : ScanTables {
    std::string path;  // UTF-8, exactly as the caller passed it
    std::uint64_t creation_time = 0;  // raw header word
    std::uint32_t version = 0;
    std::uint32_t num_scans = 0;
};

}  // namespace vantoro
