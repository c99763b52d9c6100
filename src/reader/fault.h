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

}  // namespace vantoro
