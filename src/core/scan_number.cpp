// SPDX-License-Identifier: MIT
#include "scan_number.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "natural.hpp"

namespace conemask {

using detail::natural;

namespace {

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A digit's value in base 16, or -1.
int hex_value(char c)
{
    if (is_digit(c)) {
        return c - '0';
    }
    const char l = lower(c);
    return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// Whether `text` starts with `word` (lower case), in any case.
bool starts_with_word(std::string_view text, std::string_view word)
{
    return text.size() >= word.size() &&
           std::equal(word.begin(), word.end(), text.begin(), [](char w, char t) { return w == lower(t); });
}

// The float of these bits. (Emscripten's library has no std::bit_cast.)
float float_from_bits(std::uint32_t bits)
{
    float value = 0.0F;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr std::uint32_t float_bits(bool negative, std::uint32_t magnitude)
{
    return (negative ? 0x80000000U : 0U) | magnitude;
}
constexpr std::uint32_t infinity_bits = 0x7F800000U;
constexpr std::uint32_t quiet_nan_bits = 0x7FC00000U;
constexpr std::uint32_t hidden_bit = 1U << 23U;
constexpr std::int64_t lowest_scale = -149;  // of the least subnormal, 2^-149

// Returns q and leaves r in n, where n = q d + r and 0 <= r < d, for a
// quotient q below 2^26.
std::uint32_t divide(natural& n, const natural& d)
{
    std::uint32_t q = 0;
    for (int bit = 25; bit >= 0; --bit) {
        natural shifted = d;
        shifted.shift_left(static_cast<std::size_t>(bit));
        if (compare(n, shifted) >= 0) {
            n.subtract(shifted);
            q |= 1U << static_cast<unsigned>(bit);
        }
    }
    return q;
}

// The float nearest n / d (ties to even), n > 0, d > 0, for a quotient
// below 2^129 that is not below 2^-151: the callers exit early outside.
std::uint32_t nearest_float(const natural& n, const natural& d)
{
    // Below, a quotient of 24 bits: q = n / (d 2^scale) in [2^23, 2^24),
    // or fewer bits for a subnormal, where scale stops at 2^-149.
    auto scale = std::max(static_cast<std::int64_t>(n.bit_length()) - static_cast<std::int64_t>(d.bit_length()) - 24,
                          lowest_scale);
    for (;;) {
        natural scaled_n = n;
        natural scaled_d = d;
        if (scale >= 0) {
            scaled_d.shift_left(static_cast<std::size_t>(scale));
        } else {
            scaled_n.shift_left(static_cast<std::size_t>(-scale));
        }
        std::uint32_t q = divide(scaled_n, scaled_d);  // scaled_n is now the remainder
        if (q >= 2 * hidden_bit) {
            ++scale;  // the estimate from the lengths was one short
            continue;
        }
        scaled_n.shift_left(1);
        const int half = compare(scaled_n, scaled_d);
        if (half > 0 || (half == 0 && (q & 1U) != 0)) {
            ++q;
            if (q == 2 * hidden_bit) {
                q = hidden_bit;
                ++scale;
            }
        }
        if (q < hidden_bit) {
            return q;  // subnormal: scale is 2^-149, and the exponent field 0
        }
        const std::int64_t biased_exponent = scale + 150;
        if (biased_exponent >= 255) {
            return infinity_bits;
        }
        return static_cast<std::uint32_t>(biased_exponent) << 23U | (q - hidden_bit);
    }
}

// Digits beyond this many significant ones only count as "some nonzero digit
// follows": every float, and every midpoint between two floats, has fewer
// significant digits (at most 113 decimal, 7 hexadecimal), so no rounding
// decision changes.
constexpr std::size_t kept_digits = 800;
// Exponents are clamped far beyond any that could give a finite nonzero float.
constexpr std::int64_t exponent_clamp = 100000;

// A number as glibc's strtof reads the whole of `token`, which holds only
// what sscanf's "%f" collected: [sign] digits [. digits] [e [sign] digits],
// or after "0x" hexadecimal digits and a "p" exponent. The marker, sign or
// digits may be missing. Returns false where no digit is read.
bool read_number(std::string_view token, std::uint32_t& bits)
{
    std::size_t i = 0;
    const bool negative = token[0] == '-';
    if (token[0] == '-' || token[0] == '+') {
        ++i;
    }
    const bool hex = token.size() >= i + 2 && token[i] == '0' && lower(token[i + 1]) == 'x';
    if (hex) {
        i += 2;
    }
    const std::uint32_t base = hex ? 16 : 10;
    natural mantissa;
    std::size_t significant = 0;
    bool sticky = false;
    bool any_digit = false;
    bool after_point = false;
    std::int64_t scale = 0;  // in digits of the base
    for (; i < token.size(); ++i) {
        const int digit = hex ? hex_value(token[i]) : (is_digit(token[i]) ? token[i] - '0' : -1);
        if (digit < 0) {
            if (token[i] == '.' && !after_point) {
                after_point = true;
                continue;
            }
            break;
        }
        any_digit = true;
        if (significant == 0 && digit == 0) {
            scale -= after_point ? 1 : 0;
        } else if (significant < kept_digits) {
            mantissa.multiply_add(base, static_cast<std::uint32_t>(digit));
            ++significant;
            scale -= after_point ? 1 : 0;
        } else {
            sticky = sticky || digit != 0;
            scale += after_point ? 0 : 1;
        }
    }
    if (!any_digit) {
        // "0x" with no digit after it reads as the 0 before it.
        bits = float_bits(negative, 0);
        return hex;
    }
    if (sticky) {
        mantissa.multiply_add(base, 1);
        --scale;
    }
    std::int64_t exponent = 0;
    if (i + 1 < token.size() && lower(token[i]) == (hex ? 'p' : 'e')) {
        std::size_t j = i + 1;
        const bool negative_exponent = token[j] == '-';
        j += token[j] == '-' || token[j] == '+' ? 1U : 0U;
        for (; j < token.size() && is_digit(token[j]); ++j) {
            exponent = std::min(exponent * 10 + (token[j] - '0'), exponent_clamp);
        }
        exponent = negative_exponent ? -exponent : exponent;
    }
    if (mantissa.is_zero()) {
        bits = float_bits(negative, 0);
        return true;
    }
    natural numerator = mantissa;
    natural denominator(1);
    if (hex) {
        // In bits: the value lies in [2^(top - 1), 2^top).
        const std::int64_t power = 4 * scale + exponent;
        const std::int64_t top = static_cast<std::int64_t>(mantissa.bit_length()) + power;
        if (top > 128 || top <= -150) {
            bits = float_bits(negative, top > 128 ? infinity_bits : 0);
            return true;
        }
        (power >= 0 ? numerator : denominator).shift_left(static_cast<std::size_t>(power >= 0 ? power : -power));
    } else {
        // In decimal digits: the value lies in [10^(top - 1), 10^top), and
        // float's range is within [1e-46, 1e39).
        const std::int64_t power = scale + exponent;
        const std::int64_t top = static_cast<std::int64_t>(significant + (sticky ? 1 : 0)) + power;
        if (top > 39 || top <= -46) {
            bits = float_bits(negative, top > 39 ? infinity_bits : 0);
            return true;
        }
        (power >= 0 ? numerator : denominator).multiply_by_power_of_ten(power >= 0 ? power : -power);
    }
    bits = float_bits(negative, nearest_float(numerator, denominator));
    return true;
}

// What sscanf's "%f" collects of a number starting at text[start] (after the
// white space, at its sign), as glibc's scanf does: digits, one point, one
// exponent marker after a digit, a sign just after the marker; after a
// leading "0x", hexadecimal digits until the marker "p".
std::size_t collect_number(std::string_view text, std::size_t start)
{
    std::size_t i = start;
    if (text[i] == '+' || text[i] == '-') {
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == '0') {
        ++i;
        if (i < text.size() && lower(text[i]) == 'x') {
            hex = true;
            ++i;
        }
    }
    // The '0' before a possible "x" does not count as a digit here.
    const char marker = hex ? 'p' : 'e';
    bool got_digit = false;
    bool got_point = false;
    bool got_marker = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (is_digit(c) || (!got_marker && hex && hex_value(c) >= 0)) {
            got_digit = true;
        } else if (got_marker && lower(text[i - 1]) == marker && (c == '+' || c == '-')) {
            continue;
        } else if (got_digit && !got_marker && lower(c) == marker) {
            got_marker = got_point = true;
        } else if (!got_point && c == '.') {
            got_point = true;
        } else {
            break;
        }
    }
    return i;
}

}  // namespace

float scan_float(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    const std::size_t start = i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    if (i == text.size()) {
        return 0.0F;
    }
    // scanf reads "nan", "inf" and "infinity" whole or fails: "infi" fails.
    const std::string_view rest = text.substr(i);
    if (lower(rest[0]) == 'n') {
        return starts_with_word(rest, "nan") ? float_from_bits(float_bits(negative, quiet_nan_bits)) : 0.0F;
    }
    if (lower(rest[0]) == 'i') {
        if (!starts_with_word(rest, "inf") || (rest.size() > 3 && lower(rest[3]) == 'i' &&
                                               !starts_with_word(rest, "infinity"))) {
            return 0.0F;
        }
        return float_from_bits(float_bits(negative, infinity_bits));
    }
    const std::size_t end = collect_number(text, start);
    const bool hex_prefix_only = end - i == 2 && text[i] == '0' && lower(text[i + 1]) == 'x';
    std::uint32_t bits = 0;
    if (end == i || hex_prefix_only || !read_number(text.substr(start, end - start), bits)) {
        return 0.0F;
    }
    return float_from_bits(bits);
}

std::int64_t scan_integer(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    // The magnitude, clamped to one past the largest: -2^63 is its negation.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        magnitude = magnitude > (largest + 1 - digit) / 10 ? largest + 1 : magnitude * 10 + digit;
    }
    if (negative) {
        return magnitude > largest ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
    }
    return magnitude > largest ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(magnitude);
}

}  // namespace conemask
