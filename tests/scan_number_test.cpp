// SPDX-License-Identifier: MIT
// scan_float and scan_integer against glibc's sscanf("%f") and strtoll in
// the "C" locale, over a generated corpus: each row below is one family of
// texts, made from a fixed seed, and every text is compared with both.
#include "scan_number.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;
using generator = std::mt19937_64;

std::size_t pick(generator& g, std::size_t below)
{
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(g);
}

int between(generator& g, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(g);
}

bool chance(generator& g, int percent)
{
    return between(g, 1, 100) <= percent;
}

std::string digits(generator& g, std::size_t count, const char* alphabet = "0123456789")
{
    const std::string set(alphabet);
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += set[pick(g, set.size())];
    }
    return text;
}

// What could stand after a number: nothing, or a few characters that a
// scanner might take for more of it.
std::string garbage(generator& g)
{
    static const char* const tails[] = {"", "", "", "x", "e", "E+", "e-x", ".", "..5", "p3", "abc", " 5", "f", "(1)"};
    return tails[pick(g, std::size(tails))];
}

// White space and a sign before `core`, garbage after it.
std::string decorate(generator& g, const std::string& core)
{
    static const char* const fronts[] = {"", "", "", " ", "\t", "\n\v\f\r ", "-", "+", " -", "\t+"};
    return fronts[pick(g, std::size(fronts))] + core + garbage(g);
}

std::string exponent(generator& g, int low, int high, char marker)
{
    const int value = between(g, low, high);
    const char* sign = value < 0 ? "-" : (chance(g, 30) ? "+" : "");
    return std::string(1, chance(g, 50) ? marker : static_cast<char>(marker - 'a' + 'A')) + sign +
           std::to_string(std::abs(value));
}

// Digits with a point somewhere in them, or none.
std::string with_point(generator& g, std::string mantissa)
{
    if (chance(g, 70)) {
        mantissa.insert(pick(g, mantissa.size() + 1), ".");
    }
    return mantissa;
}

void random_decimals(generator& g, texts& out)
{
    for (int i = 0; i < 150000; ++i) {
        std::string core = with_point(g, digits(g, 1 + pick(g, 40)));
        if (chance(g, 70)) {
            core += exponent(g, -70, 60, 'e');
        }
        out.push_back(decorate(g, core));
    }
}

// The exact decimal digits of a double, as d.ddd...e+x with no trailing
// zero in the mantissa: glibc prints every digit exactly.
std::string exact_decimal(double value)
{
    char buffer[256];
    (void)std::snprintf(buffer, sizeof buffer, "%.160e", value);
    std::string text(buffer);
    const std::size_t marker = text.find('e');
    std::size_t last = marker;
    while (text[last - 1] == '0') {
        --last;
    }
    return text.substr(0, last) + text.substr(marker);
}

// Just above and just below an exact decimal: more digits after its last,
// padded to `width` mantissa digits.
void neighbours(const std::string& exact, std::size_t width, texts& out)
{
    const std::size_t marker = exact.find('e');
    std::string mantissa = exact.substr(0, marker);
    const std::string tail = exact.substr(marker);
    out.push_back(exact);
    const std::size_t pad = width > mantissa.size() ? width - mantissa.size() : 1;
    out.push_back(mantissa + std::string(pad, '0') + "1" + tail);
    if (mantissa.back() > '0' && mantissa.back() <= '9') {
        std::string below = mantissa;
        below.back() = static_cast<char>(below.back() - 1);
        out.push_back(below + std::string(pad, '9') + tail);
    }
}

// The midpoint between a finite float and the next one up, exact in a double.
double midpoint_above(float value)
{
    const double next = value == FLT_MAX ? std::ldexp(1.0, 128) : static_cast<double>(std::nextafter(value, INFINITY));
    return (static_cast<double>(value) + next) / 2;
}

// A finite positive float, every one equally likely by its bits: subnormals too.
float any_float(generator& g)
{
    return std::bit_cast<float>(static_cast<std::uint32_t>(pick(g, 0x7F800000U)));
}

// A float's neighbourhood: its shortest forms, and the midpoints to the
// next float up, exact and a hair either side.
void float_neighbourhood(float value, texts& out)
{
    char buffer[64];
    for (const int precision : {6, 8, 9}) {
        (void)std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
        out.emplace_back(buffer);
    }
    neighbours(exact_decimal(midpoint_above(value)), 30, out);
}

void halfway_cases(generator& g, texts& out)
{
    for (int i = 0; i < 40000; ++i) {
        float_neighbourhood(any_float(g), out);
    }
}

void range_edges(generator& g, texts& out)
{
    for (const float value : {FLT_MAX, std::nextafter(FLT_MAX, 0.0F), FLT_MIN, std::nextafter(FLT_MIN, 0.0F),
                              std::nextafter(0.0F, 1.0F), 2 * std::nextafter(0.0F, 1.0F), 1.0F}) {
        float_neighbourhood(value, out);
    }
    // Half the least subnormal, and the edge to infinity, exact and either side.
    neighbours(exact_decimal(std::ldexp(1.0, -150)), 120, out);
    neighbours(exact_decimal(std::ldexp(1.0, 128) - std::ldexp(1.0, 103)), 60, out);
    for (int i = 0; i < 60000; ++i) {
        const bool low = chance(g, 50);
        const std::string core = digits(g, 1 + pick(g, 12)) + "e" + std::to_string(low ? between(g, -58, -36)
                                                                                        : between(g, 30, 40));
        out.push_back(decorate(g, core));
    }
}

void long_mantissas(generator& g, texts& out)
{
    for (int i = 0; i < 4000; ++i) {
        const std::size_t length = 100 + pick(g, 800);
        std::string core = (chance(g, 20) ? "0." + std::string(pick(g, 60), '0') : std::string()) +
                           with_point(g, digits(g, length));
        core += exponent(g, -900, 60, 'e');
        out.push_back(decorate(g, core));
    }
    // Midpoints padded to 800 digits.
    for (int i = 0; i < 2000; ++i) {
        neighbours(exact_decimal(midpoint_above(any_float(g))), 800, out);
    }
}

void hex_floats(generator& g, texts& out)
{
    for (int i = 0; i < 100000; ++i) {
        std::string core = chance(g, 50) ? "0x" : "0X";
        core += with_point(g, digits(g, pick(g, 24), "0123456789abcdefABCDEF"));
        if (chance(g, 80)) {
            core += exponent(g, -190, 150, 'p');
        }
        out.push_back(decorate(g, core));
    }
    char buffer[64];
    for (int i = 0; i < 20000; ++i) {
        // Midpoints between floats, and a hair above them.
        const double midpoint = midpoint_above(any_float(g));
        for (const double value : {midpoint, std::nextafter(midpoint, 0.0), std::nextafter(midpoint, INFINITY)}) {
            (void)std::snprintf(buffer, sizeof buffer, "%a", value);
            out.emplace_back(buffer);
        }
    }
}

// Every spelling of inf, infinity and nan, in every case, whole and cut short.
void words(generator& /*g*/, texts& out)
{
    const char* const fronts[] = {"", "+", "-", " ", "\t-"};
    const char* const tails[] = {"", "x", "i", "in", "inity", "ity", "(", "()", "(1)", "(abc_9)", "0"};
    for (const std::string word : {"inf", "infinity", "nan", "i", "in", "infi", "infin", "infinit", "n", "na"}) {
        for (unsigned cases = 0; cases < (1U << word.size()); ++cases) {
            std::string spelled = word;
            for (std::size_t i = 0; i < word.size(); ++i) {
                if ((cases >> i & 1U) != 0) {
                    spelled[i] = static_cast<char>(spelled[i] - 'a' + 'A');
                }
            }
            for (const char* front : fronts) {
                for (const char* tail : tails) {
                    out.push_back(front + spelled + tail);
                }
            }
        }
    }
}

// Short strings over the characters a number is made of: the grammar's corners.
void grammar(generator& g, texts& out)
{
    for (int i = 0; i < 300000; ++i) {
        out.push_back(digits(g, pick(g, 12), " \t+-.eEpPxX0123456789aAfFiInN(y)"));
    }
}

void integers(generator& g, texts& out)
{
    for (const char* edge : {"9223372036854775807", "9223372036854775808", "-9223372036854775808",
                             "-9223372036854775809", "18446744073709551616", "2147483648", "-2147483649",
                             "4294967295", "4294967296", "00000000000000000000000000042"}) {
        out.emplace_back(edge);
    }
    for (int i = 0; i < 100000; ++i) {
        out.push_back(decorate(g, digits(g, pick(g, 26))));
    }
}

struct family {
    const char* name;
    void (*make)(generator&, texts&);
};

std::string printable(const std::string& text)
{
    std::string shown;
    for (const char c : text) {
        shown += (c >= ' ' && c <= '~') ? std::string(1, c) : "\\x" + std::to_string(static_cast<unsigned char>(c));
    }
    return '"' + shown + '"';
}

void PrintTo(const family& row, std::ostream* out)
{
    *out << row.name;
}

class scan_number_matches_glibc : public testing::TestWithParam<family> {};

TEST_P(scan_number_matches_glibc, for_every_text_of_the_family)
{
    generator g(20261208);
    texts corpus;
    GetParam().make(g, corpus);
    std::size_t mismatches = 0;
    for (const std::string& text : corpus) {
        float expected = 0.0F;
        (void)std::sscanf(text.c_str(), "%f", &expected);  // NOLINT(cert-err34-c): the reference
        const float actual = conemask::scan_float(text);
        const long long expected_integer = std::strtoll(text.c_str(), nullptr, 10);
        const std::int64_t actual_integer = conemask::scan_integer(text);
        if (std::bit_cast<std::uint32_t>(expected) != std::bit_cast<std::uint32_t>(actual) ||
            expected_integer != actual_integer) {
            if (++mismatches <= 10) {
                ADD_FAILURE() << printable(text) << ": glibc " << expected << " (bits "
                              << std::bit_cast<std::uint32_t>(expected) << "), " << expected_integer << "; scan "
                              << actual << " (bits " << std::bit_cast<std::uint32_t>(actual) << "), "
                              << actual_integer;
            }
        }
    }
    EXPECT_EQ(mismatches, 0U) << "of " << corpus.size() << " texts";
    RecordProperty("texts", static_cast<int>(corpus.size()));
    std::printf("%s: %zu texts\n", GetParam().name, corpus.size());
}

INSTANTIATE_TEST_SUITE_P(corpus, scan_number_matches_glibc,
                         testing::Values(family{"random_decimals", random_decimals},
                                         family{"halfway_cases", halfway_cases}, family{"range_edges", range_edges},
                                         family{"long_mantissas", long_mantissas}, family{"hex_floats", hex_floats},
                                         family{"words", words}, family{"grammar", grammar},
                                         family{"integers", integers}),
                         [](const testing::TestParamInfo<family>& row) { return std::string(row.param.name); });

}  // namespace
