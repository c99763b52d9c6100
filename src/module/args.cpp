#include "args.h"

#include <span>
#include <string>

#include "errors.h"

namespace vantoro::py {

namespace {

// The parameters being bound, and the callable messages name.
struct Binding {
    const char* owner;  // "RawFileReader." for the reader's methods, "" for a module's functions
    const char* func;
    std::span<const char* const> names;

    std::string full_name() const { return std::string(owner) + func + "()"; }
};

[[noreturn]] void too_many(const Binding& b, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", b.full_name().c_str(),
                 static_cast<Py_ssize_t>(b.names.size()), given, given == 1 ? "was" : "were");
    throw PythonError{};
}

// Names every parameter left without an argument: 'a', 'a' and 'b', 'a', 'b', and 'c'.
[[noreturn]] void missing(const Binding& b, PyObject* const* slots) {
    std::string list;
    std::size_t count = 0, total = 0;
    for (std::size_t i = 0; i < b.names.size(); ++i) total += slots[i] ? 0 : 1;
    for (std::size_t i = 0; i < b.names.size(); ++i) {
        if (slots[i]) continue;
        if (count > 0) list += total > 2 ? (count + 1 == total ? ", and " : ", ") : " and ";
        list += std::string("'") + b.names[i] + "'";
        ++count;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", b.full_name().c_str(), total,
                 total == 1 ? "" : "s", list.c_str());
    throw PythonError{};
}

// Takes one keyword argument: it must name a parameter, once.
void take_keyword(const Binding& b, PyObject* key, PyObject* value, PyObject** slots) {
    for (std::size_t i = 0; i < b.names.size(); ++i) {
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, b.names[i]) != 0) continue;
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", b.full_name().c_str(),
                         b.names[i]);
            throw PythonError{};
        }
        slots[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", b.full_name().c_str(), key);
    throw PythonError{};
}

// Binds a tuple of positional arguments and a dict of keyword arguments.
void bind(const Binding& b, PyObject* args, PyObject* kwds, PyObject** slots) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs > static_cast<Py_ssize_t>(b.names.size())) too_many(b, nargs);
    for (std::size_t i = 0; i < b.names.size(); ++i)
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwds) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) take_keyword(b, key, value, slots);
    }
    for (std::size_t i = 0; i < b.names.size(); ++i)
        if (!slots[i]) missing(b, slots);
}

Binding method_binding(const Param& p) { return {"RawFileReader.", p.func, std::span<const char* const>(&p.name, 1)}; }

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
    const Binding b = method_binding(p);
    if (nargs > 1) too_many(b, nargs);
    PyObject* slot = nargs == 1 ? args[0] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) take_keyword(b, PyTuple_GetItem(kwnames, k), args[nargs + k], &slot);
    }
    if (!slot) missing(b, &slot);
    return slot;
}

PyObject* bind_tuple(const Param& p, PyObject* args, PyObject* kwds) {
    PyObject* slot = nullptr;
    bind(method_binding(p), args, kwds, &slot);
    return slot;
}

void bind_tuple(const Signature& s, PyObject* args, PyObject* kwds, PyObject** out) {
    bind({"", s.func, s.names}, args, kwds, out);
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

std::uint64_t to_u64(const Param& p, PyObject* obj) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) argument_error(p);
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(p);
    return v;
}

std::uint32_t to_u32(const Param& p, PyObject* obj) {
    const std::uint64_t v = to_u64(p, obj);
    if (v > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_error(p);
    }
    return static_cast<std::uint32_t>(v);
}

}  // namespace vantoro::py
