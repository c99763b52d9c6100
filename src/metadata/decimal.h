// The decimal number grammar of numeric text fields.
#pragma once

#include <optional>
#include <string_view>

namespace vantoro::text {

// Parses the whole text as a decimal number, rounded to the nearest double:
//   [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?
//   [+-]? (inf | infinity | nan)   in any letter case
// Anything else (spaces, separators, hexadecimal) is not a number.
std::optional<double> parse_decimal(std::string_view s);

}  // namespace vantoro::text
