// What every fuzz target checks beyond the sanitizers: a broken expectation
// ends the run with a message, which libFuzzer reports as a crash and keeps
// the input for.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "reader/utf8.h"

namespace vantoro::fuzz {

inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "expectation failed: %s\n", what);
        std::abort();
    }
}

inline bool valid_utf8(std::string_view s) {
    return utf8::valid(utf8::as_bytes(s));
}

// Equal contents bit for bit, so that NaN entries compare equal to themselves.
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace vantoro::fuzz
