#include "arrays.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "errors.h"

namespace vantoro::py {

namespace {

// NumPy's npy_intp is the platform's pointer-sized signed integer.
using npy_intp = Py_ssize_t;

// The entries of NumPy's array API table this module uses, with their C
// signatures (the descriptor type is opaque here), taken from the table once.
struct ArrayApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int type_num);
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const npy_intp* dims,
                                const npy_intp* strides, void* data, int flags, PyObject* obj);
    int (*set_base_object)(PyObject* array, PyObject* base);

    // Their slots in the table.
    static constexpr int kArrayTypeSlot = 2;
    static constexpr int kDescrFromTypeSlot = 45;
    static constexpr int kNewFromDescrSlot = 94;
    static constexpr int kSetBaseObjectSlot = 282;

    explicit ArrayApi(void** table)
        : array_type(static_cast<PyTypeObject*>(table[kArrayTypeSlot])),
          descr_from_type(reinterpret_cast<decltype(descr_from_type)>(table[kDescrFromTypeSlot])),
          new_from_descr(reinterpret_cast<decltype(new_from_descr)>(table[kNewFromDescrSlot])),
          set_base_object(reinterpret_cast<decltype(set_base_object)>(table[kSetBaseObjectSlot])) {}
};

constexpr int kNpyFloat = 11;
constexpr int kNpyDouble = 12;
constexpr int kNpyArrayWriteable = 0x0400;

// ---------------------------------------------------------------------------
// PySliceContainer: owns one decoded buffer for as long as an array uses it.

using ReleaseFn = void (*)(void* owner);

struct SliceContainer {
    PyObject_HEAD
    void* data;           // first element, the array's data pointer
    Py_ssize_t length;    // elements in use
    Py_ssize_t capacity;  // elements allocated
    ReleaseFn release;    // frees the storage; null for a container that owns none
    void* owner;          // what `release` frees: the vector that holds the storage
};

template <class V>
void release_vector(void* owner) {
    delete static_cast<V*>(owner);
}

void container_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SliceContainer*>(obj);
    if (self->release) self->release(self->owner);
    self->release = nullptr;
    free_heap_instance(obj);
}

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Utility type that safely keeps a native buffer alive on the Python heap.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},
};

// Made only by this module: Python code cannot create an empty container.
PyType_Spec container_type_def = {"builtins.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, container_slots};

// Created on first use and kept as long as the interpreter that created it.
PyObject* container_type_object = nullptr;

// Borrowed.
PyTypeObject* container_type() {
    if (!container_type_object) {
        container_type_object = PyType_FromSpec(&container_type_def);
        if (!container_type_object)
            fault_from_pending("failed to create type object for PySliceContainer", PendingError::Print);
    }
    return reinterpret_cast<PyTypeObject*>(container_type_object);
}

// ---------------------------------------------------------------------------
// The array API table.

// Caches filled by their first successful lookup, kept as long as the
// interpreter. A failed lookup stores nothing, so the next array creation
// tries again.
std::string core_module_name;  // "numpy._core.multiarray" or "numpy.core.multiarray"
std::optional<ArrayApi> array_api;

// Returns false with the Python error (if any) pending.
bool find_core_module_name() {
    if (!core_module_name.empty()) return true;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    Ref numpy_version(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!numpy_version) return false;
    Ref parsed(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    if (!parsed) return false;
    Ref major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return false;
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_ValueError, "NumPy major version out of range");
        return false;
    }
    if (core_module_name.empty())  // an import may have let another thread in first
        core_module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    return true;
}

const ArrayApi* find_array_api() {
    if (array_api) return &*array_api;
    if (!find_core_module_name()) return nullptr;
    Ref module(PyImport_ImportModule(core_module_name.c_str()));
    if (!module) return nullptr;
    Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (!name) PyErr_Clear();
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (!table) {
        PyErr_Clear();
        return nullptr;
    }
    capsule.release();  // kept alive for the process: the table lives inside it
    if (!array_api) array_api.emplace(static_cast<void**>(table));
    return &*array_api;
}

// ---------------------------------------------------------------------------

template <class T>
Ref make_array(Buffer<T>&& buffer, int type_num) {
    // The vector object moves to the heap so that its storage can outlive
    // this call without a copy; whoever holds `owner` frees it exactly once.
    auto owner = std::make_unique<Buffer<T>>(std::move(buffer));

    PyTypeObject* type = container_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref container(alloc(type, 0));
    if (!container) fault_from_pending("Failed to create slice container", PendingError::Append);  // owner frees the storage
    auto* c = reinterpret_cast<SliceContainer*>(container.get());
    c->data = owner->data();
    c->length = static_cast<Py_ssize_t>(owner->size());
    c->capacity = static_cast<Py_ssize_t>(owner->capacity());
    c->release = &release_vector<Buffer<T>>;
    c->owner = owner.release();  // from here the container frees the storage

    const ArrayApi* api = find_array_api();
    if (!api) fault_from_pending("Failed to access NumPy array API capsule", PendingError::Append);

    PyObject* descr = api->descr_from_type(type_num);
    if (!descr) api_failed();
    const npy_intp dims[1] = {c->length};
    const npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    // The descriptor's reference passes to NumPy, even on failure.
    Ref array(api->new_from_descr(api->array_type, descr, 1, dims, strides, c->data, kNpyArrayWriteable, nullptr));
    if (!array) api_failed();
    // The container's reference passes to the array whatever the outcome. A
    // refused base would leave the array pointing at freed memory, so it
    // must not be returned.
    if (api->set_base_object(array.get(), container.release()) < 0) api_failed();
    return array;
}

}  // namespace

void forget_array_state() noexcept {
    container_type_object = nullptr;
    core_module_name.clear();
    array_api.reset();
}

Ref array_from_buffer(Buffer<double>&& buffer) { return make_array(std::move(buffer), kNpyDouble); }
Ref array_from_buffer(Buffer<float>&& buffer) { return make_array(std::move(buffer), kNpyFloat); }

}  // namespace vantoro::py
