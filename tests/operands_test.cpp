// SPDX-License-Identifier: MIT
#include "conemask/operands.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace {

using conemask::file_name;

TEST(convert_integer, is_lenient_and_keeps_the_low_32_bits)
{
    struct integer_case {
        std::string text;
        std::int32_t value;
    };
    const integer_case cases[] = {
        {"60", 60},
        {"  -7", -7},
        {"+15", 15},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"200", 200},
        {"4294967297", 1},                  // 2^32 + 1
        {"2147483648", -2147483648},        // 2^31
        {"99999999999999999999", -1},       // clamps to 2^63 - 1
        {"-99999999999999999999", 0},       // clamps to -2^63
        {std::string(99, '9'), -1},         // the longest that fits
    };
    for (const integer_case& c : cases) {
        std::int32_t value = 12345;
        EXPECT_TRUE(conemask::convert_integer(c.text.c_str(), value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(convert_angle, scans_like_percent_f)
{
    struct angle_case {
        const char* text;
        float value;
    };
    const angle_case cases[] = {
        {"0.1", 0.1F},
        {" 3.2rad", 3.2F},
        {"abc", 0.0F},
        {"1e-45", 1e-45F},
        {"0x1p-2", 0.25F},
        {"inf", std::numeric_limits<float>::infinity()},
        {"1e39", std::numeric_limits<float>::infinity()},
        {"100ergs", 100.0F},
        {"infI4", 0.0F},  // a broken "infinity" does not scan at all
        {".e1", 0.0F},
    };
    for (const angle_case& c : cases) {
        float value = 7.0F;
        EXPECT_TRUE(conemask::convert_angle(c.text, value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    float value = 7.0F;
    EXPECT_TRUE(conemask::convert_angle("nan", value));
    EXPECT_TRUE(std::isnan(value));
}

TEST(operands, refuse_text_longer_than_their_buffer)
{
    const std::string too_long(100, '1');
    std::int32_t integer = 5;
    float angle = 5.0F;
    EXPECT_FALSE(conemask::convert_integer(too_long.c_str(), integer));
    EXPECT_FALSE(conemask::convert_angle(too_long.c_str(), angle));
    EXPECT_EQ(integer, 5);
    EXPECT_EQ(angle, 5.0F);

    file_name base{};
    EXPECT_FALSE(conemask::copy_base_name(std::string(296, 'b').c_str(), base));
    ASSERT_TRUE(conemask::copy_base_name(std::string(295, 'b').c_str(), base));
    const file_name longest = conemask::derive_file_name(base, ".raw");
    EXPECT_EQ(std::string(longest.data()), std::string(295, 'b') + ".raw");
}

}  // namespace
