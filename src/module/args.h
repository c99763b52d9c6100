// Binding and converting the arguments of the callables: the reader's
// methods take one each, the companion module's functions a few.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "py.h"

namespace vantoro::py {

struct Param {
    const char* func;  // "get_rt"; messages name it "RawFileReader.get_rt()"
    const char* name;  // "scan_number"
};

// A function of several parameters, all required, that may be passed by
// position or keyword; messages name it "judge()".
struct Signature {
    const char* func;                     // "judge"
    std::span<const char* const> names;  // "path_text", "version", "size"

    Param param(std::size_t i) const { return {func, names[i]}; }
};

// Each returns the bound argument (borrowed) or throws PythonError with the
// TypeError already set.
PyObject* bind_fastcall(const Param& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bind_tuple(const Param& p, PyObject* args, PyObject* kwds);

// Binds the arguments to `out`, one borrowed reference per name, or throws
// PythonError with the TypeError set.
void bind_tuple(const Signature& s, PyObject* args, PyObject* kwds, PyObject** out);

// Conversions; a failure is reported against the parameter's name.
std::string to_text(const Param& p, PyObject* obj);
std::uint32_t to_u32(const Param& p, PyObject* obj);
std::uint64_t to_u64(const Param& p, PyObject* obj);

}  // namespace vantoro::py
