// The strict text rules: UTF-8 validation, UTF-16 decoding, White_Space
// trimming, fixed-width text fields and the decimal grammar. The first input
// byte picks the rule; the rest is its text. Where the C library offers the
// same rule it serves as the reference.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "image_input.h"
#include "metadata/decimal.h"
#include "metadata/text_field.h"
#include "metadata/utf16_text.h"
#include "reader/utf8.h"

using namespace vantoro;

namespace {

// UTF-16 units of valid UTF-8 text, for the round trip check.
std::vector<std::uint16_t> to_utf16(std::string_view s) {
    std::vector<std::uint16_t> out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = [&](std::size_t k) { return char32_t(static_cast<unsigned char>(s[i + k])); };
        char32_t cp;
        if (b(0) < 0x80) cp = b(0), i += 1;
        else if (b(0) < 0xE0) cp = (b(0) & 0x1F) << 6 | (b(1) & 0x3F), i += 2;
        else if (b(0) < 0xF0) cp = (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F), i += 3;
        else cp = (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F), i += 4;
        if (cp >= 0x10000) {
            out.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    return out;
}

bool well_formed_utf16(const std::vector<std::uint16_t>& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint16_t u = units[i];
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

void check_utf16(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint16_t> units;
    text::Utf16Decoder dec;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<std::uint16_t>(bytes[i] | bytes[i + 1] << 8));
        dec.push(units.back());
    }
    const auto text = dec.finish();
    fuzz::require(text.has_value() == well_formed_utf16(units), "decodes exactly the well-formed texts");
    if (text) {
        fuzz::require(fuzz::valid_utf8(*text), "decoded text is UTF-8");
        fuzz::require(to_utf16(*text) == units, "decoded text encodes back to its units");
    }
}

void check_fields(const std::vector<std::uint8_t>& bytes) {
    const std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const bool valid = utf8::valid(bytes);
    if (valid) {
        const std::string_view t = text::trim_white_space(s);
        fuzz::require(t.data() >= s.data() && t.data() + t.size() <= s.data() + s.size(), "trimming keeps a part");
        fuzz::require(fuzz::valid_utf8(t), "trimmed text is UTF-8");
        fuzz::require(text::trim_white_space(t) == t, "trimming twice changes nothing");
    }
    const auto field = text::text_field(bytes);
    fuzz::require(!field || (valid && !field->empty() && *field == text::trim_white_space(s)),
                  "a field is its trimmed text, when valid and not blank");
}

// Within the characters of the decimal grammar, the C library's strtod
// accepts the same texts and rounds them the same way.
void check_decimal(const std::vector<std::uint8_t>& bytes) {
    const std::string s(bytes.begin(), bytes.end());
    const auto v = text::parse_decimal(s);
    if (s.find_first_not_of("0123456789.eE+-") != std::string::npos) return;
    char* end = nullptr;
    errno = 0;
    const double ref = std::strtod(s.c_str(), &end);
    const bool ref_accepts = !s.empty() && end == s.c_str() + s.size();
    fuzz::require(v.has_value() == ref_accepts, "accepts what strtod reads whole");
    if (v) fuzz::require(std::memcmp(&*v, &ref, sizeof ref) == 0, "the same double as strtod");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t rule = in.u8();
    const std::vector<std::uint8_t> bytes = in.rest();
    switch (rule % 3) {
        case 0: check_utf16(bytes); break;
        case 1: check_fields(bytes); break;
        default: check_decimal(bytes); break;
    }
    return 0;
}
