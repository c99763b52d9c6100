// Fixed-width text fields: strict UTF-8, trimmed of Unicode White_Space.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantoro::text {

// Removes characters with the Unicode White_Space property from both ends
// of valid UTF-8 text. NUL is not white space and stays.
std::string_view trim_white_space(std::string_view utf8);

// A fixed-width text field: the whole field must be valid UTF-8; the result
// is the trimmed text, or nothing when invalid or empty after trimming.
std::optional<std::string> text_field(std::span<const std::uint8_t> field);

}  // namespace vantoro::text
