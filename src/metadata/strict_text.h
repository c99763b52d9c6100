// Small text rules shared by the metadata readers: strict UTF-8 validation,
// strict UTF-16 decoding, trimming of Unicode White_Space, and the decimal
// number grammar of numeric text fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantoro::text {

// True when every byte belongs to a well-formed UTF-8 sequence: no overlong
// forms, no surrogates, nothing above U+10FFFF, no sequence cut off at the end.
bool valid_utf8(std::span<const std::uint8_t> bytes);

// Decodes UTF-16 code units incrementally into UTF-8. An unpaired surrogate
// anywhere poisons the whole text; nothing is ever replaced.
class Utf16Decoder {
public:
    void push(std::uint16_t unit);
    // The decoded text, or nothing if the units were not well-formed UTF-16.
    std::optional<std::string> finish();

private:
    void put(char32_t cp);
    std::string out_;
    std::uint16_t pending_high_ = 0;  // a high surrogate waiting for its low half
    bool bad_ = false;
};

// Removes characters with the Unicode White_Space property from both ends
// of valid UTF-8 text. NUL is not white space and stays.
std::string_view trim_white_space(std::string_view utf8);

// A fixed-width text field: the whole field must be valid UTF-8; the result
// is the trimmed text, or nothing when invalid or empty after trimming.
std::optional<std::string> text_field(std::span<const std::uint8_t> field);

// Parses the whole text as a decimal number, rounded to the nearest double:
//   [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?
//   [+-]? (inf | infinity | nan)   in any letter case
// Anything else (spaces, separators, hexadecimal) is not a number.
std::optional<double> parse_decimal(std::string_view s);

}  // namespace vantoro::text
