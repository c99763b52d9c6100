#include "scan_queries.h"

#include "accessors.h"

namespace vantoro {

std::optional<PeakList> read_peak_list(const ReaderRecord& rec, std::uint32_t scan_number) {
    const auto offset = scan_entry(rec, &ReaderRecord::scan_offset_cache, scan_number);
    if (!offset) return std::nullopt;
    return read_peak_list(rec.path, rec.version, *offset);
}

TrailerFields trailer_extra(const ReaderRecord& rec, std::uint32_t scan_number) {
    const auto injection_time = scan_entry(rec, &ReaderRecord::injection_time_cache, scan_number);
    const auto master_scan = scan_entry(rec, &ReaderRecord::master_scan_cache, scan_number);
    const auto charge = scan_entry(rec, &ReaderRecord::charge_cache, scan_number);
    const auto monoisotopic_mz = scan_entry(rec, &ReaderRecord::monomz_cache, scan_number);
    if (!injection_time || !master_scan || !charge || !monoisotopic_mz) return {};
    return trailer_extra(rec.path, rec.version, scan_index(scan_number),
                         {*injection_time, *master_scan, *charge, *monoisotopic_mz});
}

}  // namespace vantoro
