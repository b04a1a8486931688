// SPDX-License-Identifier: MIT
// Fuzzes the operand conversions with arbitrary text and checks each held
// value against the conversion rules, written here a second way: integers
// digit by digit and through glibc's strtoll, the angle through glibc's
// sscanf "%f" (bit for bit), names as strings. The sanitizers catch any read
// or write past a buffer.
//
// Input: operand texts separated by NUL bytes.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "conemask/operands.hpp"
#include "scan_number.hpp"

namespace {

constexpr std::size_t max_numeric_length = conemask::numeric_operand_capacity - 1;

// Leading white space, an optional sign, the longest run of digits; clamped
// to 64 bits, then cut to the low 32.
std::int32_t integer_rule(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr unsigned __int128 limit = std::numeric_limits<std::int64_t>::max();
    unsigned __int128 magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
        if (magnitude > limit + 1) {
            magnitude = limit + 1;
        }
    }
    std::int64_t value = 0;
    if (negative) {
        value = magnitude > limit ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
    } else {
        value = magnitude > limit ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(magnitude);
    }
    return static_cast<std::int32_t>(value);
}

float angle_rule(const std::string& text)
{
    float value = 0.0F;
    // What does not scan leaves the value at 0.
    (void)std::sscanf(text.c_str(), "%f", &value);
    return value;
}

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

void check_operand(const std::string& text)
{
    const bool fits = text.size() <= max_numeric_length;
    std::int32_t integer = 0;
    check(conemask::convert_integer(text.c_str(), integer) == fits);
    check(!fits || integer == integer_rule(text));

    float angle = 0.0F;
    check(conemask::convert_angle(text.c_str(), angle) == fits);
    const float expected = angle_rule(text);
    check(!fits || std::bit_cast<std::uint32_t>(angle) == std::bit_cast<std::uint32_t>(expected));
    // The scanner itself, at any length.
    check(std::bit_cast<std::uint32_t>(conemask::scan_float(text)) == std::bit_cast<std::uint32_t>(expected));
    check(conemask::scan_integer(text) == std::strtoll(text.c_str(), nullptr, 10));

    conemask::file_name base{};
    const bool base_fits = text.size() <= conemask::max_base_name_length;
    check(conemask::copy_base_name(text.c_str(), base) == base_fits);
    if (base_fits) {
        check(std::string(conemask::derive_file_name(base, ".rgb").data()) == text + ".rgb");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int operand = 0; operand < 8 && start <= input.size(); ++operand) {
        std::size_t end = input.find('\0', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        check_operand(input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
