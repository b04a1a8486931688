// SPDX-License-Identifier: MIT
#include "conemask/operands.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace {

using conemask::file_name;

struct integer_case {
    const char* name;
    std::string text;
    std::int32_t value;
};

class convert_integer_row : public testing::TestWithParam<integer_case> {};

TEST_P(convert_integer_row, is_lenient_and_keeps_the_low_32_bits)
{
    std::int32_t value = 12345;
    EXPECT_TRUE(conemask::convert_integer(GetParam().text.c_str(), value));
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    texts, convert_integer_row,
    testing::Values(integer_case{"plain", "60", 60}, integer_case{"blanks_and_minus", "  -7", -7},
                    integer_case{"plus", "+15", 15}, integer_case{"trailing_text", "12abc", 12},
                    integer_case{"no_digits", "abc", 0}, integer_case{"empty", "", 0},
                    integer_case{"two_hundred", "200", 200},
                    integer_case{"two_to_the_32_plus_1", "4294967297", 1},
                    integer_case{"two_to_the_31", "2147483648", -2147483648},
                    integer_case{"clamped_to_2_63_minus_1", "99999999999999999999", -1},
                    integer_case{"clamped_to_minus_2_63", "-99999999999999999999", 0},
                    integer_case{"longest_that_fits", std::string(99, '9'), -1}),
    [](const testing::TestParamInfo<integer_case>& row) { return std::string(row.param.name); });

struct angle_case {
    const char* name;
    const char* text;
    float value;
};

class convert_angle_row : public testing::TestWithParam<angle_case> {};

TEST_P(convert_angle_row, scans_like_percent_f)
{
    float value = 7.0F;
    EXPECT_TRUE(conemask::convert_angle(GetParam().text, value));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(GetParam().value)) << value;
}

constexpr float infinity = std::numeric_limits<float>::infinity();
const float quiet_nan = std::bit_cast<float>(0x7FC00000U);

INSTANTIATE_TEST_SUITE_P(
    texts, convert_angle_row,
    testing::Values(angle_case{"decimal", "0.1", 0.1F}, angle_case{"blank_and_unit", " 3.2rad", 3.2F},
                    angle_case{"no_number", "abc", 0.0F}, angle_case{"least_subnormal", "1e-45", 1e-45F},
                    angle_case{"hex", "0x1p-2", 0.25F}, angle_case{"inf", "inf", infinity},
                    angle_case{"overflow", "1e39", infinity}, angle_case{"trailing_text", "100ergs", 100.0F},
                    // A broken "infinity" does not scan at all.
                    angle_case{"broken_infinity", "infI4", 0.0F}, angle_case{"point_then_marker", ".e1", 0.0F},
                    angle_case{"nan", "nan", quiet_nan}, angle_case{"nan_payload_not_read", "nan(5)", quiet_nan},
                    angle_case{"negative_nan", "-nan", -quiet_nan},
                    // scanf fails "-0x" whole, so the sign is lost; "-0x." reads "-0".
                    angle_case{"sign_and_prefix_only", "-0x", 0.0F},
                    angle_case{"sign_prefix_and_point", "-0x.", -0.0F},
                    angle_case{"marker_without_digits", "2.5e+", 2.5F},
                    angle_case{"halfway_rounds_to_even", "1.000000059604644775390625", 1.0F},
                    angle_case{"past_halfway_rounds_up", "1.0000000596046447753906251", 1.00000012F},
                    angle_case{"half_least_subnormal_rounds_to_0", "0x1p-150", 0.0F}),
    [](const testing::TestParamInfo<angle_case>& row) { return std::string(row.param.name); });

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
