#include "reader_type.h"

#include <iterator>
#include <new>
#include <string>
#include <vector>

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

// One row per method: its name, its one parameter (none for a method
// without arguments), its entry and flags, and the body of its docstring.
// The docstring's text signature, "name($self, parameter)\n--\n\n", is made
// from the row, so that a name is written once.
struct MethodRow {
    const char* name;
    const char* param;  // nullptr: no arguments
    PyCFunction entry;
    int flags;
    const char* doc;
};

// A fast-call member's name and parameter are those its binding messages use.
template <class M>
constexpr MethodRow fast_method(const char* doc) {
    return {M::param.func, M::param.name, as_cfunction(fastcall_entry<M>), METH_FASTCALL | METH_KEYWORDS, doc};
}

constexpr MethodRow no_args_method(const char* name, PyCFunction entry, const char* doc) {
    return {name, nullptr, entry, METH_NOARGS, doc};
}

const MethodRow method_rows[] = {
    no_args_method("initialize_caches", as_cfunction(initialize_caches_entry),
                   "Internal method to populate RT, scan offset, and diagnostic caches."),
    fast_method<GetRt>("Returns the retention time (in minutes) for the specified scan number."),
    fast_method<GetInjectionTime>("Returns the ion injection time (in milliseconds) for the specified scan number."),
    fast_method<GetMasterScan>("Returns the master scan number for the given MSn scan."),
    fast_method<GetChargeState>("Returns the precursor charge state for the given scan."),
    fast_method<GetMonoisotopicMz>("Returns the precursor monoisotopic m/z for the given scan."),
    fast_method<GetTrailerExtra>(
        "Recovers diagnostic metadata from the scan trailer.\n"
        "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."),
    fast_method<GetInstrumentMethod>(
        "Returns the instrument method report for the given index.\n"
        "In modern XML-based files, this typically contains the full CmData block."),
    no_args_method("get_status_log_labels", as_cfunction(record_entry<GetStatusLogLabels, PyObject*>),
                   "Returns a list of labels for all parameters monitored in the instrument status log."),
    no_args_method("get_error_logs", as_cfunction(record_entry<GetErrorLogs, PyObject*>),
                   "Returns a list of hardware and software warning messages captured during acquisition."),
    fast_method<GetPeaks>(
        "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
        "Returns a tuple of (m/z_array, intensity_array)."),
    fast_method<NativeGetPeaks>("Internal native implementation for spectral peak extraction."),
    no_args_method("list_spectra", as_cfunction(record_entry<ListSpectra, PyObject*>),
                   "Returns a list of all scan summaries in the file.\n"
                   "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."),
};

// The method table made from the rows, with its docstrings; built once and
// kept for the process, since a type object refers to it without copying.
struct MethodTable {
    std::vector<std::string> docs;
    std::vector<PyMethodDef> defs;

    MethodTable() {
        for (const MethodRow& row : method_rows)
            docs.push_back(std::string(row.name) + "($self" + (row.param ? std::string(", ") + row.param : "") +
                           ")\n--\n\n" + row.doc);
        for (std::size_t k = 0; k < std::size(method_rows); ++k)
            defs.push_back({method_rows[k].name, method_rows[k].entry, method_rows[k].flags, docs[k].c_str()});
        defs.push_back({nullptr, nullptr, 0, nullptr});
    }
};

PyMethodDef* methods() {
    static MethodTable* const table = new MethodTable;  // never freed: types made later still use it
    return table->defs.data();
}

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
    {Py_tp_methods, nullptr},  // methods(), set when the type is made
    {Py_tp_getset, getsets},
    {0, nullptr},
};

// No base-type flag (no subclasses), no GC, no __dict__, no weak references.
PyType_Spec reader_type_def = {"builtins.RawFileReader", static_cast<int>(sizeof(ReaderObject)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

// Created by the first import of each interpreter; forgotten when it ends.
PyObject* reader_type_object = nullptr;

}  // namespace

PyObject* reader_type() {
    if (!reader_type_object) {
        for (PyType_Slot& slot : slots)
            if (slot.slot == Py_tp_methods) slot.pfunc = methods();
        reader_type_object = PyType_FromSpec(&reader_type_def);
    }
    return reader_type_object;
}

void forget_reader_type() noexcept { reader_type_object = nullptr; }

}  // namespace vantoro::py
