// Binding and converting the one argument that each callable takes.
#pragma once

#include <cstdint>
#include <string>

#include "py.h"

namespace vantoro::py {

struct Param {
    const char* func;  // "get_rt"; messages name it "RawFileReader.get_rt()"
    const char* name;  // "scan_number"
};

// Each returns the bound argument (borrowed) or throws PythonError with the
// TypeError already set.
PyObject* bind_fastcall(const Param& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bind_tuple(const Param& p, PyObject* args, PyObject* kwds);

// Conversions; a failure is reported against the parameter's name.
std::string to_text(const Param& p, PyObject* obj);
std::uint32_t to_u32(const Param& p, PyObject* obj);

}  // namespace vantoro::py
