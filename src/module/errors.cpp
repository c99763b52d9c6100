#include "errors.h"

#include <cstdint>
#include <cstdio>

namespace vantoro::py {

namespace {

PyObject* exception_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound: return PyExc_FileNotFoundError;
        case ErrorKind::PermissionDenied: return PyExc_PermissionError;
        case ErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case ErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
        case ErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case ErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
        case ErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case ErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case ErrorKind::TimedOut: return PyExc_TimeoutError;
        case ErrorKind::Interrupted: return PyExc_InterruptedError;
        default: return PyExc_OSError;
    }
}

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it usually\n"
    "propagates all the way up and ends the interpreter instead of being caught by\n"
    "an ordinary `except Exception` handler.";

}  // namespace

void throw_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PythonError{};
}

namespace {

// Takes the pending Python error as "TypeName: message" text.
std::string take_pending_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    std::string out;
    if (t) {
        Ref name(PyObject_GetAttrString(t.get(), "__name__"));
        const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
        out = s ? s : "<unknown error>";
    }
    if (v) {
        Ref text(PyObject_Str(v.get()));
        const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (s && *s) out += std::string(": ") + s;
    }
    PyErr_Clear();  // nothing raised while describing the error may linger
    return out;
}

}  // namespace

void fault_from_pending(const std::string& text, PendingError how) {
    if (!PyErr_Occurred()) throw Fault{text};
    if (how == PendingError::Print) {
        PyErr_Print();
        throw Fault{text};
    }
    const std::string err = take_pending_error();
    throw Fault{err.empty() ? text : text + ": " + err};
}

void set_io_error(const IoError& err) {
    Ref text(PyUnicode_FromStringAndSize(err.text().data(), static_cast<Py_ssize_t>(err.text().size())));
    if (!text) return;  // the interpreter's own error stands
    // A str value (not a tuple) makes exactly one constructor argument, so
    // errno, strerror and filename stay None.
    PyErr_SetObject(exception_for(err.kind), text.get());
}

namespace {
// Created on first use; lives as long as the interpreter that created it.
PyObject* panic_type = nullptr;
}  // namespace

PyObject* panic_exception_type() {
    // Only the main interpreter's class is kept: a class belongs to the
    // interpreter that made it, and a sub-interpreter (the companion's
    // module may run in several) gets one of its own at each fault.
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id != 0)
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (!panic_type)
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    Py_XINCREF(panic_type);
    return panic_type;
}

void forget_panic_exception_type() noexcept { panic_type = nullptr; }

void set_panic(const std::string& text) {
    std::fprintf(stderr, "vantoro: internal fault: %s\n", text.c_str());
    std::fflush(stderr);
    Ref msg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref type(panic_exception_type());
    if (!msg || !type) return;  // leave the interpreter's error in place
    PyErr_SetObject(type.get(), msg.get());
}

}  // namespace vantoro::py
