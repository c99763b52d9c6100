#include "args.h"

#include <string>

#include "errors.h"

namespace vantoro::py {

namespace {

std::string full_name(const Param& p) { return std::string("RawFileReader.") + p.func + "()"; }

[[noreturn]] void too_many(const Param& p, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd %s given",
                 full_name(p).c_str(), given, given == 1 ? "was" : "were");
    throw PythonError{};
}

[[noreturn]] void missing(const Param& p) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                 full_name(p).c_str(), p.name);
    throw PythonError{};
}

// Takes one keyword argument: it must name the parameter, once.
void take_keyword(const Param& p, PyObject* key, PyObject* value, PyObject*& slot) {
    int same = PyUnicode_Check(key) ? PyUnicode_CompareWithASCIIString(key, p.name) == 0 : 0;
    if (!same) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     full_name(p).c_str(), key);
        throw PythonError{};
    }
    if (slot) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     full_name(p).c_str(), p.name);
        throw PythonError{};
    }
    slot = value;
}

// A conversion failed with a pending exception: an exact TypeError gets the
// argument's name in front, keeping the original cause; others pass as they are.
[[noreturn]] void argument_error(const Param& p) {
    if (!PyErr_Occurred()) throw_pending();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        throw PythonError{};
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), trace(tb);
    Ref text(PyObject_Str(v.get()));
    Ref msg(text ? PyUnicode_FromFormat("argument '%s': %U", p.name, text.get()) : nullptr);
    Ref replaced(msg ? PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr) : nullptr);
    if (!replaced) throw PythonError{};  // the error from building it is pending
    PyException_SetCause(replaced.get(), PyException_GetCause(v.get()));
    PyErr_SetObject(PyExc_TypeError, replaced.get());
    throw PythonError{};
}

}  // namespace

PyObject* bind_fastcall(const Param& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) too_many(p, nargs);
    PyObject* slot = nargs == 1 ? args[0] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            take_keyword(p, PyTuple_GetItem(kwnames, k), args[nargs + k], slot);
    }
    if (!slot) missing(p);
    return slot;
}

PyObject* bind_tuple(const Param& p, PyObject* args, PyObject* kwds) {
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs > 1) too_many(p, nargs);
    PyObject* slot = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (kwds) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) take_keyword(p, key, value, slot);
    }
    if (!slot) missing(p);
    return slot;
}

std::string to_text(const Param& p, PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!s) argument_error(p);
        return std::string(s, static_cast<std::size_t>(n));
    }
    std::string type_name = "<failed to extract type name>";
    Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* q = qualname && PyUnicode_Check(qualname.get()) ? PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) : nullptr;
    if (q)
        type_name = q;
    else
        PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name.c_str());
    argument_error(p);
}

std::uint32_t to_u32(const Param& p, PyObject* obj) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) argument_error(p);
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(p);
    if (v > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_error(p);
    }
    return static_cast<std::uint32_t>(v);
}

}  // namespace vantoro::py
