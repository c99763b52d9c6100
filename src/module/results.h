// Plain Python results. A failure to create an object is an internal fault;
// a failure to insert into a container is the interpreter's error.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>

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
    void set(std::string_view key, Ref value) {
        Ref k(make_str(key));
        if (PyDict_SetItem(dict_.get(), k.get(), value.get()) < 0) throw_pending();
    }
    PyObject* release() { return dict_.release(); }

private:
    Ref dict_;
};

// A tuple of the given items, all consumed.
template <class... Items>
Ref make_tuple(Items... items) {
    Ref t(checked(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items)))));
    Py_ssize_t i = 0;
    (PyTuple_SetItem(t.get(), i++, items.release()), ...);
    return t;
}

inline Ref make_pair(Ref a, Ref b) { return make_tuple(std::move(a), std::move(b)); }

// A tuple of make(item) for each item of a sized range.
template <class Range, class Make>
Ref tuple_of(const Range& items, Make make) {
    Ref t(checked(PyTuple_New(static_cast<Py_ssize_t>(std::size(items)))));
    Py_ssize_t i = 0;
    for (const auto& item : items) PyTuple_SetItem(t.get(), i++, make(item).release());
    return t;
}

}  // namespace vantoro::py
