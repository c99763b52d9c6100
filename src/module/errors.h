// Turning failures into Python exceptions.
#pragma once

#include <new>
#include <string>

#include "../reader/fault.h"
#include "../reader/io_error.h"
#include "py.h"

namespace vantoro::py {

// Thrown once a Python exception has been set; the entry point returns NULL.
struct PythonError {};

// Makes sure an exception is pending (SystemError if the interpreter set
// none) and unwinds to the entry point.
[[noreturn]] void throw_pending();

// How a pending Python error goes with the internal fault it causes: printed
// to stderr ahead of the fault, or appended to the fault's text.
enum class PendingError { Print, Append };

// Ends in an internal fault with `text`, taking the pending Python error (if
// any) as `how` says. The one way a Python error becomes a fault.
[[noreturn]] void fault_from_pending(const std::string& text, PendingError how);

// A Python object the operation needs could not be made.
[[noreturn]] inline void api_failed() { fault_from_pending("Python API call failed", PendingError::Print); }

// Checks a new reference returned by the C API.
inline PyObject* checked(PyObject* o) {
    if (!o) api_failed();
    return o;
}

// Sets the OSError subclass chosen by the error's kind, with its text.
void set_io_error(const IoError& err);
[[noreturn]] inline void throw_io_error(const IoError& err) {
    set_io_error(err);
    throw PythonError{};
}

// Writes the report to stderr and sets PanicException(text).
void set_panic(const std::string& text);

// The PanicException class, created on first use (new reference or NULL).
PyObject* panic_exception_type();

// Runs one entry point: no C++ exception leaves it. Anything escaping the
// handlers below ends the process through noexcept, never silently.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const Fault& f) {
        set_panic(f.text);
    } catch (const std::bad_alloc&) {
        set_panic("memory allocation failed");
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
    return nullptr;
}

}  // namespace vantoro::py
