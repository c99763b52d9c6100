// The RawFileReader type: instance layout, borrows, and the entry points
// through which every member call passes.
#pragma once

#include <atomic>
#include <cstdint>

#include "../scans/record.h"
#include "args.h"
#include "errors.h"
#include "py.h"

namespace vantoro::py {

struct ReaderObject {
    PyObject_HEAD
    ReaderRecord record;
    std::atomic<std::uintptr_t> borrow;  // 0 free, n shared, all-ones exclusive
};

// Why borrows: every call holds the interpreter lock, yet a call can run
// Python code while it uses the record. Converting an argument calls the
// object's __index__, and the status-log scans run the handlers of signals
// that arrive; that code may call a member of the same reader. Queries only
// read the record, so they may nest (shared); initialize_caches replaces its
// tables, so it is refused while any call uses the record, and every call is
// refused while it runs (exclusive).

inline constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self);
    ~SharedBorrow() { obj_->borrow.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const ReaderRecord& record() const { return obj_->record; }

private:
    ReaderObject* obj_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self);
    ~ExclusiveBorrow() { obj_->borrow.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ReaderRecord& record() const { return obj_->record; }

private:
    ReaderObject* obj_;
};

// Entry points. A member is described by a struct M with
//   static constexpr Param param;                        (fast-call members)
//   static Ref run(const ReaderRecord&, std::uint32_t);  or
//   static Ref run(const ReaderRecord&);
// Order: bind, borrow, convert, run, release, as every member does.
template <class M>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* arg = bind_fastcall(M::param, args, nargs, kwnames);
        SharedBorrow borrow(self);
        const std::uint32_t value = to_u32(M::param, arg);
        return M::run(borrow.record(), value).release();
    });
}

// Members without an argument: METH_NOARGS methods (Unused = PyObject*)
// and property getters (Unused = void*).
template <class M, class Unused>
PyObject* record_entry(PyObject* self, Unused) noexcept {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        return M::run(borrow.record()).release();
    });
}

// The type object, created on first use (borrowed; lives as long as the
// interpreter that created it).
PyObject* reader_type();

// Drops the cached type object without touching it: called once the
// interpreter that owned it has been finalized.
void forget_reader_type() noexcept;

}  // namespace vantoro::py
