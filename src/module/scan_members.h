// Members answered from the reader record: header properties, per-scan
// accessors, the scan listing, and the cache rebuild.
#pragma once

#include "../scans/accessors.h"
#include "../scans/caches.h"
#include "../scans/header.h"
#include "reader_type.h"
#include "results.h"

namespace vantoro::py {

struct VersionProperty {
    static Ref run(const ReaderRecord& r) { return make_uint(r.version); }
};
struct NumScansProperty {
    static Ref run(const ReaderRecord& r) { return make_uint(r.num_scans); }
};
struct CreationDateProperty {
    static Ref run(const ReaderRecord& r) { return make_str(creation_date_text(r.creation_time)); }
};

// The five accessors differ only in name and table.
template <auto Table, const char* Name>
struct ScanAccessor {
    static constexpr Param param{Name, "scan_number"};
    static Ref run(const ReaderRecord& r, std::uint32_t s) { return make_number(scan_value(r, Table, s)); }
};

inline constexpr char kGetRt[] = "get_rt";
inline constexpr char kGetInjectionTime[] = "get_injection_time";
inline constexpr char kGetMasterScan[] = "get_master_scan";
inline constexpr char kGetChargeState[] = "get_charge_state";
inline constexpr char kGetMonoisotopicMz[] = "get_monoisotopic_mz";

using GetRt = ScanAccessor<&ReaderRecord::rt_cache, kGetRt>;
using GetInjectionTime = ScanAccessor<&ReaderRecord::injection_time_cache, kGetInjectionTime>;
using GetMasterScan = ScanAccessor<&ReaderRecord::master_scan_cache, kGetMasterScan>;
using GetChargeState = ScanAccessor<&ReaderRecord::charge_cache, kGetChargeState>;
using GetMonoisotopicMz = ScanAccessor<&ReaderRecord::monomz_cache, kGetMonoisotopicMz>;

struct ListSpectra {
    static Ref run(const ReaderRecord& r) {
        ListBuilder list;
        const std::uint32_t n = r.num_scans;
        for (std::uint32_t s = 1; s <= n && s != 0; ++s) {
            DictBuilder d;
            d.set("scan_number", make_uint(s));
            d.set("rt", make_float(scan_value(r, &ReaderRecord::rt_cache, s)));
            d.set("injection_time", make_float(scan_value(r, &ReaderRecord::injection_time_cache, s)));
            d.set("master_scan", make_int(scan_value(r, &ReaderRecord::master_scan_cache, s)));
            d.set("charge", make_int(scan_value(r, &ReaderRecord::charge_cache, s)));
            d.set("monomz", make_float(scan_value(r, &ReaderRecord::monomz_cache, s)));
            list.append(Ref(d.release()));
        }
        return Ref(list.release());
    }
};

// Takes the exclusive borrow: the tables are replaced as a whole, and only
// after every read has succeeded.
inline PyObject* initialize_caches_entry(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        ExclusiveBorrow borrow(self);
        if (auto err = refill_caches(borrow.record())) throw_io_error(*err);
        return make_none().release();
    });
}

}  // namespace vantoro::py
