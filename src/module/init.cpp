// Module initialisation.
#include <atomic>
#include <cstdint>

#include "arrays.h"
#include "errors.h"
#include "reader_type.h"

namespace vantoro::py {
namespace {

// The first interpreter to import the module owns it: the cached objects
// below are not safe to share with sub-interpreters.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

// Runs at the end of Py_FinalizeEx, when the owning interpreter and every
// object it made are gone: the caches are forgotten, not released, and the
// next interpreter of this process starts from nothing and gets a module of
// its own.
void forget_interpreter_state() {
    module_object = nullptr;
    forget_reader_type();
    forget_array_state();
    forget_panic_exception_type();
    owner_interpreter.store(-1);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantoro", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void setup(PyObject* module) {
    PyObject* type = reader_type();
    if (!type) throw PythonError{};
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    }
    Ref name(PyUnicode_FromString("RawFileReader"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) throw_pending();
    if (PyModule_AddObjectRef(module, "RawFileReader", type) < 0) throw_pending();
}

PyObject* init() {
    return guarded([]() -> PyObject* {
        std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1 && PyErr_Occurred()) throw PythonError{};
        std::int64_t expected = -1;
        if (owner_interpreter.compare_exchange_strong(expected, id)) {
            // The first import since the process started or the last
            // finalization. Exit hooks are consumed as they run, so each
            // owning interpreter registers its own. Should the interpreter's
            // small table of hooks be full, the caches simply stay for the
            // life of the process.
            Py_AtExit(forget_interpreter_state);
        } else if (expected != id) {
            // The owner is the first interpreter that imported the module,
            // usually but not always the main one.
            PyErr_SetString(PyExc_ImportError,
                            "vantoro does not support sub-interpreters: it can only be "
                            "imported once per process, by the first interpreter that imports it");
            throw PythonError{};
        }
        if (module_object) {
            Py_INCREF(module_object);
            return module_object;
        }
        Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
        if (!module) throw PythonError{};
        setup(module.get());
        module_object = module.release();
        Py_INCREF(module_object);  // one reference stays with the cache
        return module_object;
    });
}

}  // namespace
}  // namespace vantoro::py

PyMODINIT_FUNC PyInit_vantoro(void) { return vantoro::py::init(); }
