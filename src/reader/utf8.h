// Strict UTF-8, the one decoder of the whole core: path text on its way to
// the Win32 calls, and text taken from files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantoro::utf8 {

// The code point whose encoding starts at bytes[i], advancing i past it; or
// nothing, leaving i as it was, when no well-formed sequence starts there:
// no overlong forms, no surrogates, nothing above U+10FFFF, no stray or
// missing continuation bytes.
std::optional<char32_t> decode_next(std::span<const std::uint8_t> bytes, std::size_t& i);

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// True when the bytes are well-formed UTF-8 from start to end.
bool valid(std::span<const std::uint8_t> bytes);

// Appends the UTF-8 encoding of a code point (not a surrogate, at most U+10FFFF).
void append(std::string& out, char32_t cp);

}  // namespace vantoro::utf8
