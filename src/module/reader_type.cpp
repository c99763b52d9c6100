#include "reader_type.h"

#include <new>

#include "../scans/opening.h"
#include "metadata_members.h"
#include "peak_members.h"
#include "scan_members.h"

namespace vantoro::py {

SharedBorrow::SharedBorrow(PyObject* self) : obj_(reinterpret_cast<ReaderObject*>(self)) {
    std::uintptr_t cur = obj_->borrow.load(std::memory_order_relaxed);
    do {
        if (cur == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw PythonError{};
        }
    } while (!obj_->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
}

ExclusiveBorrow::ExclusiveBorrow(PyObject* self) : obj_(reinterpret_cast<ReaderObject*>(self)) {
    std::uintptr_t expected = 0;
    if (!obj_->borrow.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw PythonError{};
    }
}

namespace {

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr Param param{"__new__", "path"};
        PyObject* arg = bind_tuple(param, args, kwds);
        auto rec = open_reader(to_text(param, arg));
        if (!rec) throw_io_error(rec.error());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (!obj) throw_pending();
        auto* self = reinterpret_cast<ReaderObject*>(obj);
        new (&self->record) ReaderRecord(std::move(rec.value()));
        new (&self->borrow) std::atomic<std::uintptr_t>(0);
        return obj;
    });
}

void reader_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<ReaderObject*>(obj);
    self->record.~ReaderRecord();
    free_heap_instance(obj);
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"initialize_caches", as_cfunction(initialize_caches_entry), METH_NOARGS,
     "initialize_caches($self)\n--\n\n"
     "Internal method to populate RT, scan offset, and diagnostic caches."},
    {"get_rt", as_cfunction(fastcall_entry<GetRt>), kFast,
     "get_rt($self, scan_number)\n--\n\n"
     "Returns the retention time (in minutes) for the specified scan number."},
    {"get_injection_time", as_cfunction(fastcall_entry<GetInjectionTime>), kFast,
     "get_injection_time($self, scan_number)\n--\n\n"
     "Returns the ion injection time (in milliseconds) for the specified scan number."},
    {"get_master_scan", as_cfunction(fastcall_entry<GetMasterScan>), kFast,
     "get_master_scan($self, scan_number)\n--\n\n"
     "Returns the master scan number for the given MSn scan."},
    {"get_charge_state", as_cfunction(fastcall_entry<GetChargeState>), kFast,
     "get_charge_state($self, scan_number)\n--\n\n"
     "Returns the precursor charge state for the given scan."},
    {"get_monoisotopic_mz", as_cfunction(fastcall_entry<GetMonoisotopicMz>), kFast,
     "get_monoisotopic_mz($self, scan_number)\n--\n\n"
     "Returns the precursor monoisotopic m/z for the given scan."},
    {"get_trailer_extra", as_cfunction(fastcall_entry<GetTrailerExtra>), kFast,
     "get_trailer_extra($self, scan_number)\n--\n\n"
     "Recovers diagnostic metadata from the scan trailer.\n"
     "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."},
    {"get_instrument_method", as_cfunction(fastcall_entry<GetInstrumentMethod>), kFast,
     "get_instrument_method($self, _index)\n--\n\n"
     "Returns the instrument method report for the given index.\n"
     "In modern XML-based files, this typically contains the full CmData block."},
    {"get_status_log_labels", as_cfunction(record_entry<GetStatusLogLabels, PyObject*>), METH_NOARGS,
     "get_status_log_labels($self)\n--\n\n"
     "Returns a list of labels for all parameters monitored in the instrument status log."},
    {"get_error_logs", as_cfunction(record_entry<GetErrorLogs, PyObject*>), METH_NOARGS,
     "get_error_logs($self)\n--\n\n"
     "Returns a list of hardware and software warning messages captured during acquisition."},
    {"get_peaks", as_cfunction(fastcall_entry<GetPeaks>), kFast,
     "get_peaks($self, scan_num)\n--\n\n"
     "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
     "Returns a tuple of (m/z_array, intensity_array)."},
    {"native_get_peaks", as_cfunction(fastcall_entry<NativeGetPeaks>), kFast,
     "native_get_peaks($self, scan_num)\n--\n\n"
     "Internal native implementation for spectral peak extraction."},
    {"list_spectra", as_cfunction(record_entry<ListSpectra, PyObject*>), METH_NOARGS,
     "list_spectra($self)\n--\n\n"
     "Returns a list of all scan summaries in the file.\n"
     "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"creation_date", record_entry<CreationDateProperty, void*>, nullptr,
     "Returns the file creation date as a formatted UTC timestamp string.", nullptr},
    {"version", record_entry<VersionProperty, void*>, nullptr,
     "Returns the Thermo RAW file version (e.g., 57 or 66).", nullptr},
    {"num_scans", record_entry<NumScansProperty, void*>, nullptr,
     "Returns the total number of scans available in the file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("RawFileReader(path)\n--\n\n"
                                  "High-performance native reader for Thermo Fisher .raw files.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {0, nullptr},
};

// No base-type flag (no subclasses), no GC, no __dict__, no weak references.
PyType_Spec reader_type_def = {"builtins.RawFileReader", static_cast<int>(sizeof(ReaderObject)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* reader_type() {
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&reader_type_def);
    return type;
}

}  // namespace vantoro::py
