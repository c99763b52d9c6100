// The two peak-list members: NumPy arrays over the decoded buffers, or
// Python lists of floats.
#pragma once

#include <utility>

#include "../scans/scan_queries.h"
#include "arrays.h"
#include "reader_type.h"
#include "results.h"

namespace vantoro::py {

struct GetPeaks {
    static constexpr Param param{"get_peaks", "scan_num"};
    static Ref run(const ReaderRecord& r, std::uint32_t scan_num) {
        auto peaks = read_peak_list(r, scan_num);
        // Never None: a scan without a peak list gives one zero in each array.
        PeakList list = peaks ? std::move(*peaks) : PeakList{{0.0}, {0.0f}};
        Ref mz = array_from_buffer(std::move(list.mz));
        Ref intensity = array_from_buffer(std::move(list.intensity));
        return make_pair(std::move(mz), std::move(intensity));
    }
};

// A list of known length, one Python float per value (float32 widened exactly).
template <class T>
Ref float_list(const Buffer<T>& values) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t k = 0; k < values.size(); ++k) {
        Ref item = make_float(static_cast<double>(values[k]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release());  // steals; cannot fail here
    }
    return list;
}

struct NativeGetPeaks {
    static constexpr Param param{"native_get_peaks", "scan_num"};
    static Ref run(const ReaderRecord& r, std::uint32_t scan_num) {
        auto peaks = read_peak_list(r, scan_num);
        if (!peaks) return make_none();
        Ref mz = float_list(peaks->mz);
        Ref intensity = float_list(peaks->intensity);
        peaks.reset();  // the buffers go before the tuple is made
        return make_pair(std::move(mz), std::move(intensity));
    }
};

}  // namespace vantoro::py
