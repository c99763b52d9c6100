// Plain Python results. A failure to create an object is an internal fault;
// a failure to insert into a container is the interpreter's error.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors.h"
#include "py.h"

namespace vantoro::py {

inline Ref make_float(double v) { return Ref(checked(PyFloat_FromDouble(v))); }
inline Ref make_int(std::int32_t v) { return Ref(checked(PyLong_FromLong(v))); }
inline Ref make_uint(std::uint64_t v) { return Ref(checked(PyLong_FromUnsignedLongLong(v))); }
inline Ref make_str(std::string_view s) {
    return Ref(checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))));
}
inline Ref make_none() { return Ref::borrow(Py_None); }

// Table values as Python numbers: float for double, int for int32.
inline Ref make_number(double v) { return make_float(v); }
inline Ref make_number(std::int32_t v) { return make_int(v); }

// A list grown item by item.
class ListBuilder {
public:
    ListBuilder() : list_(checked(PyList_New(0))) {}
    void append(const Ref& item) {
        if (PyList_Append(list_.get(), item.get()) < 0) throw_pending();
    }
    PyObject* release() { return list_.release(); }

private:
    Ref list_;
};

// A dict with str keys, in insertion order.
class DictBuilder {
public:
    DictBuilder() : dict_(checked(PyDict_New())) {}
    void set(const char* key, Ref value) {
        Ref k(checked(PyUnicode_FromString(key)));
        if (PyDict_SetItem(dict_.get(), k.get(), value.get()) < 0) throw_pending();
    }
    PyObject* release() { return dict_.release(); }

private:
    Ref dict_;
};

// A pair; both items are consumed.
inline Ref make_pair(Ref a, Ref b) {
    Ref t(checked(PyTuple_New(2)));
    PyTuple_SetItem(t.get(), 0, a.release());
    PyTuple_SetItem(t.get(), 1, b.release());
    return t;
}

}  // namespace vantoro::py
