#include "strict_text.h"

#include <charconv>
#include <limits>

namespace vantoro::text {

bool valid_utf8(std::span<const std::uint8_t> b) {
    const std::size_t n = b.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t k, std::uint8_t lo = 0x80, std::uint8_t hi = 0xBF) {
        return k < n && b[k] >= lo && b[k] <= hi;
    };
    while (i < n) {
        const std::uint8_t c = b[i];
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (!cont(i + 1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            // E0 excludes overlong forms, ED excludes the surrogate range.
            const std::uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;
            const std::uint8_t hi = c == 0xED ? 0x9F : 0xBF;
            if (!cont(i + 1, lo, hi) || !cont(i + 2)) return false;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            // F0 excludes overlong forms, F4 stops at U+10FFFF.
            const std::uint8_t lo = c == 0xF0 ? 0x90 : 0x80;
            const std::uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;
            if (!cont(i + 1, lo, hi) || !cont(i + 2) || !cont(i + 3)) return false;
            i += 4;
        } else {
            return false;  // stray continuation byte, C0/C1, F5..FF
        }
    }
    return true;
}

void Utf16Decoder::put(char32_t cp) {
    if (cp < 0x80) {
        out_.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out_.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out_.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out_.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out_.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out_.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void Utf16Decoder::push(std::uint16_t u) {
    if (bad_) return;  // the text is lost already; keep nothing more of it
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (pending_high_) {
        if (!low) {
            bad_ = true;
            out_.clear();
            return;
        }
        put(0x10000 + ((char32_t(pending_high_) - 0xD800) << 10) + (char32_t(u) - 0xDC00));
        pending_high_ = 0;
    } else if (high) {
        pending_high_ = u;
    } else if (low) {
        bad_ = true;
        out_.clear();
    } else {
        put(u);
    }
}

std::optional<std::string> Utf16Decoder::finish() {
    const bool ok = !bad_ && pending_high_ == 0;
    std::optional<std::string> r;
    if (ok) r = std::move(out_);
    out_.clear();
    pending_high_ = 0;
    bad_ = false;
    return r;
}

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Code point starting at s[i] of valid UTF-8, and its byte length.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    const auto b = [&](std::size_t k) { return char32_t(static_cast<unsigned char>(s[i + k])); };
    const char32_t c = b(0);
    if (c < 0x80) { len = 1; return c; }
    if (c < 0xE0) { len = 2; return (c & 0x1F) << 6 | (b(1) & 0x3F); }
    if (c < 0xF0) { len = 3; return (c & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F); }
    len = 4;
    return (c & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) {
    if (s.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[i]) return false;
    }
    return true;
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
    std::size_t len = 0;
    while (!s.empty() && is_white_space(decode_at(s, 0, len))) s.remove_prefix(len);
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        if (!is_white_space(decode_at(s, start, len))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

std::optional<std::string> text_field(std::span<const std::uint8_t> field) {
    if (!valid_utf8(field)) return std::nullopt;
    const std::string_view all(reinterpret_cast<const char*>(field.data()), field.size());
    const std::string_view t = trim_white_space(all);
    if (t.empty()) return std::nullopt;
    return std::string(t);
}

std::optional<double> parse_decimal(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    const auto sign = [&](double v) { return negative ? -v : v; };
    if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity"))
        return sign(std::numeric_limits<double>::infinity());
    if (equals_ignoring_case(s, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());

    // Check the grammar ourselves; the converter below is more permissive.
    const std::size_t n = s.size();
    std::size_t i = 0;
    std::size_t int_digits = 0, frac_digits = 0;
    std::int64_t lead_scale = 0;  // decimal position of the first nonzero digit
    bool seen_nonzero = false;
    while (i < n && is_digit(s[i])) {
        if (seen_nonzero || s[i] != '0') {
            seen_nonzero = true;
            ++lead_scale;
        }
        ++i, ++int_digits;
    }
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) {
            if (!seen_nonzero) {
                if (s[i] != '0') seen_nonzero = true;
                else --lead_scale;
            }
            ++i, ++frac_digits;
        }
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
        const std::size_t exp_start = i;
        while (i < n && is_digit(s[i])) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');  // saturates
            ++i;
        }
        if (i == exp_start) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != n) return std::nullopt;

    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + n, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: round to infinity or zero.
        v = lead_scale + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc{} || ptr != s.data() + n) {
        return std::nullopt;
    }
    return sign(v);
}

}  // namespace vantoro::text
