#include "utf8.h"

namespace vantoro::utf8 {

std::optional<char32_t> decode_next(std::span<const std::uint8_t> bytes, std::size_t& i) {
    const std::size_t n = bytes.size();
    if (i >= n) return std::nullopt;
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) return char32_t{bytes[i++]};
    // The sequence length, the lead byte's payload, and the range the second
    // byte must lie in: E0 and F0 exclude overlong forms, ED the surrogates,
    // F4 everything above U+10FFFF.
    std::size_t len;
    char32_t cp;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return std::nullopt;  // stray continuation byte, C0/C1, F5..FF
    }
    if (n - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        const std::uint8_t b = bytes[i + k];
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return std::nullopt;
        cp = cp << 6 | (b & 0x3F);
    }
    i += len;
    return cp;
}

bool valid(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();)
        if (!decode_next(bytes, i)) return false;
    return true;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace vantoro::utf8
