#include "text_field.h"

#include "../reader/utf8.h"

namespace vantoro::text {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// True when the character starting at s[i] is white space; `next` is then
// the position after it.
bool white_space_at(std::string_view s, std::size_t i, std::size_t& next) {
    next = i;
    const auto cp = utf8::decode_next(utf8::as_bytes(s), next);
    return cp && is_white_space(*cp);
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
    std::size_t next = 0;
    while (!s.empty() && white_space_at(s, 0, next)) s.remove_prefix(next);
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        if (!white_space_at(s, start, next)) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

std::optional<std::string> text_field(std::span<const std::uint8_t> field) {
    if (!utf8::valid(field)) return std::nullopt;
    const std::string_view all(reinterpret_cast<const char*>(field.data()), field.size());
    const std::string_view t = trim_white_space(all);
    if (t.empty()) return std::nullopt;
    return std::string(t);
}

}  // namespace vantoro::text
