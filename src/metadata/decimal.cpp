#include "decimal.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace vantoro::text {

namespace {

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
