// vantoro_tools.source._native: the core's whole-file layout verdict and the
// table plan it judges, and its decimal grammar, for the companion package.
// Every function builds its answer from constants and its arguments, so the
// module is initialised in phases and each interpreter gets one of its own;
// arguments and results go through the reader module's binding helpers.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "../format/layout.h"
#include "../format/plan.h"
#include "../metadata/decimal.h"
#include "../scans/verdict.h"
#include "args.h"
#include "errors.h"
#include "results.h"

namespace vantoro::py {
namespace {

constexpr const char* kJudgeNames[] = {"path_text", "version", "size"};
constexpr Signature kJudge{"judge", kJudgeNames};
constexpr const char* kPlanNames[] = {"path_text", "version"};
constexpr Signature kPlan{"plan", kPlanNames};

PyObject* judge(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        bind_tuple(kJudge, args, kwargs, bound);
        const std::string path = to_text(kJudge.param(0), bound[0]);
        const std::uint32_t version = to_u32(kJudge.param(1), bound[1]);
        const std::uint64_t size = to_u64(kJudge.param(2), bound[2]);

        const LayoutVerdict v = judge_layout(path, version, size);
        Ref layout = v.layout == LayoutChoice::None ? make_none() : make_str(layout_name(v.layout));
        return make_tuple(make_str(kind_name(v.kind)), std::move(layout), make_uint(v.need), make_uint(v.num_scans))
            .release();
    });
}

PyObject* plan(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        bind_tuple(kPlan, args, kwargs, bound);
        const std::string path = to_text(kPlan.param(0), bound[0]);
        const std::uint32_t version = to_u32(kPlan.param(1), bound[1]);

        return tuple_of(table_plan(path, version), [](const PlannedTable& t) {
                   return make_tuple(make_str(t.name), make_uint(t.series.start), make_uint(t.series.stride),
                                     make_uint(t.extent));
               })
            .release();
    });
}

PyObject* known_versions(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return tuple_of(layout::header::kKnownVersions, make_uint).release(); });
}

PyObject* markers(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        DictBuilder out;
        out.set(layout_name(LayoutChoice::Small), make_str(layout::kSmallMarker));
        out.set(layout_name(LayoutChoice::Orbitrap), make_str(layout::kOrbitrapMarker));
        return out.release();
    });
}

PyObject* header_size(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return make_uint(layout::header::kSize).release(); });
}

PyObject* parse_decimal(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string s;
        try {
            s = to_text({"parse_decimal", "text"}, arg);
        } catch (const PythonError&) {
            // Text UTF-8 cannot hold (a lone surrogate) is no number either.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw;
            PyErr_Clear();
            return make_none().release();
        }
        const auto v = text::parse_decimal(s);
        return (v ? make_float(*v) : make_none()).release();
    });
}

// The panic class the module keeps (errors.h) is forgotten when the
// interpreter that made it ends, as the reader's module forgets its own.
std::atomic<bool> forget_hook_set{false};

void forget_at_exit() {
    forget_panic_exception_type();
    forget_hook_set.store(false);
}

int exec_module(PyObject*) {
    if (!forget_hook_set.exchange(true)) Py_AtExit(forget_at_exit);
    return 0;
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
    {"plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(plan)), METH_VARARGS | METH_KEYWORDS,
     "plan($module, /, path_text, version)\n--\n\n"
     "The per-scan tables the reader reads for a path text (or URL) and format\n"
     "version, the same plan the verdict judges: one (name, start, stride, extent)\n"
     "per table, in a fixed order. Each scan's record lies at start + stride * (n - 1);\n"
     "its values are read when its first `extent` bytes are in the file. Empty\n"
     "without a layout marker."},
    {"parse_decimal", parse_decimal, METH_O,
     "parse_decimal($module, text, /)\n--\n\n"
     "The number `text` states in the reader's decimal grammar (the rule its numeric\n"
     "trailer fields are read with: ASCII digits, an optional sign, point and exponent,\n"
     "or inf, infinity, nan), or None when it states none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantoro_tools.source._native",
    "The reader core's table plan and whole-file layout verdict, for vantoro_tools.",
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
