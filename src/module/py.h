// The one place that includes Python.h. Everything is built against the
// stable ABI of CPython 3.10 so one binary serves every later interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantoro::py {

// Owns one strong reference; the only place that counts references by hand.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}  // steals p
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// The tail of every dealloc: frees an instance of a heap type, then drops the
// reference each instance holds on its type.
inline void free_heap_instance(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace vantoro::py
