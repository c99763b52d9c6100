// Internal faults: a broken invariant inside an operation. They travel as one
// C++ exception type and the module layer turns them into PanicException.
#pragma once

#include <cstdint>
#include <string>

namespace vantoro {

struct Fault {
    std::string text;
};

[[noreturn]] inline void fault(std::string text) { throw Fault{std::move(text)}; }

[[noreturn]] inline void fault_index(std::uint64_t len, std::uint64_t index) {
    fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

// The fault for a range [start, end) that does not fit a buffer of `len`
// bytes: a reversed range, a start past the end, or an end past the end.
[[noreturn]] inline void fault_range(std::uint64_t start, std::uint64_t end, std::uint64_t len) {
    if (start > end)
        fault("slice index starts at " + std::to_string(start) + " but ends at " +
              std::to_string(end));
    if (start > len)
        fault("range start index " + std::to_string(start) + " out of range for slice of length " +
              std::to_string(len));
    fault("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(len));
}

// Bounds-checked table lookup that faults instead of reading past the end.
template <class Vec>
auto checked_at(const Vec& v, std::uint64_t i) -> decltype(v[0]) {
    if (i >= v.size()) fault_index(v.size(), i);
    return v[i];
}

}  // namespace vantoro
