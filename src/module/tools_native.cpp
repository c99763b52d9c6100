// vantoro_tools.source._native: the core's whole-file layout verdict and the figures
// it rests on, and its decimal grammar, for the companion package. The module keeps no state: every
// function builds its answer from constants and its arguments, so it is
// initialised in phases and each interpreter gets a module of its own.
#include <cstdint>
#include <new>
#include <string_view>

#include "../format/layout.h"
#include "../metadata/decimal.h"
#include "../scans/verdict.h"
#include "errors.h"

namespace vantoro::py {
namespace {

// The entry points' guard: their only C++ failures are allocation failures
// and Python errors already set; anything else is a bug reported as one.
template <class F>
PyObject* entry(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vantoro_tools.source._native: internal fault");
    }
    return nullptr;
}

PyObject* text(std::string_view s) {
    PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!o) throw PythonError{};
    return o;
}

PyObject* integer(std::uint64_t v) {
    PyObject* o = PyLong_FromUnsignedLongLong(v);
    if (!o) throw PythonError{};
    return o;
}

// A non-negative int of at most `max`: a TypeError, ValueError or
// OverflowError naming the argument otherwise.
std::uint64_t to_unsigned(PyObject* obj, const char* name, std::uint64_t max) {
    if (!PyLong_Check(obj)) {
        Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
        if (!type_name) throw PythonError{};
        PyErr_Format(PyExc_TypeError, "judge() argument '%s' must be int, not %S", name, type_name.get());
        throw PythonError{};
    }
    Ref zero(PyLong_FromLong(0));
    const int negative = zero ? PyObject_RichCompareBool(obj, zero.get(), Py_LT) : -1;
    if (negative < 0) throw PythonError{};
    if (negative) {
        PyErr_Format(PyExc_ValueError, "judge() argument '%s' must not be negative", name);
        throw PythonError{};
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if ((v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || v > max) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "judge() argument '%s' must be at most %llu", name,
                     static_cast<unsigned long long>(max));
        throw PythonError{};
    }
    return v;
}

PyObject* judge(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"path_text", "version", "size", nullptr};
        PyObject *path_obj, *version_obj, *size_obj;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UOO:judge", const_cast<char**>(keywords), &path_obj,
                                         &version_obj, &size_obj))
            throw PythonError{};
        Py_ssize_t length = 0;
        const char* path = PyUnicode_AsUTF8AndSize(path_obj, &length);
        if (!path) throw PythonError{};
        const auto version = static_cast<std::uint32_t>(to_unsigned(version_obj, "version", UINT32_MAX));
        const std::uint64_t size = to_unsigned(size_obj, "size", UINT64_MAX);

        const LayoutVerdict v =
            judge_layout(std::string_view(path, static_cast<std::size_t>(length)), version, size);
        Ref kind(text(kind_name(v.kind)));
        Ref layout = v.layout == LayoutChoice::None ? Ref::borrow(Py_None) : Ref(text(layout_name(v.layout)));
        Ref need(integer(v.need));
        Ref scans(integer(v.num_scans));
        PyObject* out = PyTuple_Pack(4, kind.get(), layout.get(), need.get(), scans.get());
        if (!out) throw PythonError{};
        return out;
    });
}

PyObject* known_versions(PyObject*, PyObject*) {
    return entry([]() -> PyObject* {
        const auto& versions = layout::header::kKnownVersions;
        Ref out(PyTuple_New(static_cast<Py_ssize_t>(versions.size())));
        if (!out) throw PythonError{};
        for (std::size_t i = 0; i < versions.size(); ++i)
            if (PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), integer(versions[i])) < 0)
                throw PythonError{};
        return out.release();
    });
}

// A dict of the given names to values, each value made by `make`.
template <class Pairs, class Make>
PyObject* dict_of(const Pairs& pairs, Make make) {
    Ref out(PyDict_New());
    if (!out) throw PythonError{};
    for (const auto& [name, value] : pairs) {
        Ref key(text(name));
        Ref item(make(value));
        if (PyDict_SetItem(out.get(), key.get(), item.get()) < 0) throw PythonError{};
    }
    return out.release();
}

PyObject* markers(PyObject*, PyObject*) {
    return entry([]() -> PyObject* {
        const std::pair<std::string_view, std::string_view> pairs[] = {
            {layout_name(LayoutChoice::Small), layout::kSmallMarker},
            {layout_name(LayoutChoice::Orbitrap), layout::kOrbitrapMarker},
        };
        return dict_of(pairs, text);
    });
}

PyObject* header_size(PyObject*, PyObject*) {
    return entry([]() -> PyObject* { return integer(layout::header::kSize); });
}

PyObject* figures(PyObject*, PyObject*) {
    return entry([]() -> PyObject* { return dict_of(kVerdictFigures, integer); });
}

PyObject* parse_decimal(PyObject*, PyObject* arg) {
    return entry([&]() -> PyObject* {
        if (!PyUnicode_Check(arg)) {
            PyErr_SetString(PyExc_TypeError, "parse_decimal() argument must be str");
            throw PythonError{};
        }
        Py_ssize_t length = 0;
        const char* s = PyUnicode_AsUTF8AndSize(arg, &length);
        if (!s) {
            // Text UTF-8 cannot hold (a lone surrogate) is no number either.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        const auto v = text::parse_decimal(std::string_view(s, static_cast<std::size_t>(length)));
        if (!v) Py_RETURN_NONE;
        PyObject* out = PyFloat_FromDouble(*v);
        if (!out) throw PythonError{};
        return out;
    });
}

PyMethodDef methods[] = {
    {"judge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(judge)), METH_VARARGS | METH_KEYWORDS,
     "judge($module, /, path_text, version, size)\n--\n\n"
     "The whole-file layout verdict of a file whose path text (or URL), format\n"
     "version and size in bytes are given: (kind, layout, need, num_scans).\n"
     "kind is 'ok', 'unknown_version', 'no_marker' or 'truncated'; layout is\n"
     "'small', 'orbitrap' or None; need is the size that holds every per-scan\n"
     "table the layout reads (0 without one); num_scans is the scan count the\n"
     "reader takes for the version."},
    {"known_versions", known_versions, METH_NOARGS,
     "known_versions($module, /)\n--\n\nThe format versions whose layouts the reader knows."},
    {"markers", markers, METH_NOARGS,
     "markers($module, /)\n--\n\nThe path text that selects each layout, by layout name."},
    {"header_size", header_size, METH_NOARGS,
     "header_size($module, /)\n--\n\nThe bytes of header a file needs for the reader to open it."},
    {"figures", figures, METH_NOARGS,
     "figures($module, /)\n--\n\nThe table positions, strides and extents the verdict is computed from,\n"
     "and the scan count of each version, by name."},
    {"parse_decimal", parse_decimal, METH_O,
     "parse_decimal($module, text, /)\n--\n\n"
     "The number `text` states in the reader's decimal grammar (the rule its numeric\n"
     "trailer fields are read with: ASCII digits, an optional sign, point and exponent,\n"
     "or inf, infinity, nan), or None when it states none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantoro_tools.source._native",
    "The reader core's whole-file layout verdict, for vantoro_tools.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vantoro::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vantoro::py::module_def); }
