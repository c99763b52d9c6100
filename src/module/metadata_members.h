// Members that recover text from the file: trailer fields, the instrument
// method, the status-log labels and the warning messages.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../metadata/instrument_method.h"
#include "../metadata/status_log.h"
#include "../scans/scan_queries.h"
#include "reader_type.h"
#include "results.h"

namespace vantoro::py {

namespace detail {

// Trailer integers are signed 32-bit cache values or unsigned 32-bit words.
inline Ref make_trailer_int(std::int64_t v) {
    return v < 0 ? make_int(static_cast<std::int32_t>(v)) : make_uint(static_cast<std::uint64_t>(v));
}

inline Ref make_str_list(const std::vector<std::string>& texts) {
    ListBuilder list;
    for (const auto& t : texts) list.append(make_str(t));
    return Ref(list.release());
}

// Runs the Python handlers of signals that arrived since the last check;
// true when one raised, its exception then pending.
inline bool pending_signal_raised() { return PyErr_CheckSignals() < 0; }

// The list, or the handler's exception for a scan that a signal ended.
inline Ref texts_or_pending(const std::optional<std::vector<std::string>>& texts) {
    if (!texts) throw_pending();
    return make_str_list(*texts);
}

}  // namespace detail

struct GetTrailerExtra {
    static constexpr Param param{"get_trailer_extra", "scan_number"};
    static Ref run(const ReaderRecord& r, std::uint32_t scan_number) {
        DictBuilder d;
        for (auto& [key, value] : trailer_extra(r, scan_number)) {
            if (auto* f = std::get_if<double>(&value))
                d.set(key, make_float(*f));
            else if (auto* n = std::get_if<std::int64_t>(&value))
                d.set(key, detail::make_trailer_int(*n));
            else
                d.set(key, make_str(std::get<std::string>(value)));
        }
        return Ref(d.release());
    }
};

struct GetInstrumentMethod {
    static constexpr Param param{"get_instrument_method", "_index"};
    // Every index gives the same text; the argument is only validated.
    static Ref run(const ReaderRecord& r, std::uint32_t) { return make_str(instrument_method(r.path)); }
};

// The two scans may run through the whole file. Before each chunk they ask
// whether a signal has arrived and run its Python handler; when the handler
// raises (KeyboardInterrupt for Ctrl-C), the scan ends and the call ends
// with that exception.
struct GetStatusLogLabels {
    static Ref run(const ReaderRecord& r) {
        return detail::texts_or_pending(status_log_labels(r.path, detail::pending_signal_raised));
    }
};

struct GetErrorLogs {
    static Ref run(const ReaderRecord& r) {
        return detail::texts_or_pending(error_logs(r.path, detail::pending_signal_raised));
    }
};

}  // namespace vantoro::py
