#include "colour_geometry.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using conemask::colour;
using conemask::decide_sample;
using conemask::find_angle;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

struct geometry_case {
    const char* name;
    colour reference;
    colour pixel;
    float angle;       // exact; NaN means NaN
    float projection;  // exact; NaN means NaN
};

// Bit patterns pin the last bit: any change to the order of operations, a
// fused multiply-add or a wider intermediate shows here. The values were
// computed apart from this code, step by step in numpy float32.
const geometry_case geometry_cases[] = {
    {"black pixel", {60, 120, 40}, {0, 0, 0}, nan, nan},
    {"black reference", {0, 0, 0}, {60, 120, 40}, nan, nan},
    // cos rounds to 1 + 2^-23; the clamp keeps the pixel at angle 0.
    {"grey along grey", {1, 1, 1}, {255, 255, 255}, 0.0F, from_bits(0x437D17F1)},
    {"white along white", {255, 255, 255}, {255, 255, 255}, 0.0F, from_bits(0x437D17F1)},
    // cos rounds to 1 - 2^-23: the angle is exactly 2^-11.
    {"colour along itself", {10, 200, 30}, {10, 200, 30}, from_bits(0x3A000000), from_bits(0x42E80F9A)},
    {"green along green", {0, 255, 0}, {0, 128, 0}, 0.0F, from_bits(0x4292B256)},
    {"orthogonal", {255, 0, 0}, {0, 255, 0}, from_bits(0x3FC90FDB), 0.0F},
    {"opposite", {-1, 0, 0}, {222, 0, 0}, from_bits(0x40490FDB), from_bits(0xC2FE6D4E)},
    {"huge reference", {2147483647, -2147483648, 2147483647}, {255, 0, 255}, from_bits(0x3F1D9013),
     from_bits(0x4328BA9F)},
};

void expect_same_float(float expected, float actual)
{
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
    } else {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(expected), std::bit_cast<std::uint32_t>(actual))
            << "expected " << expected << ", got " << actual;
    }
}

TEST(find_angle, gives_exact_results)
{
    for (const geometry_case& c : geometry_cases) {
        SCOPED_TRACE(c.name);
        float projection = 0.0F;
        const float angle = find_angle(c.reference, c.pixel, projection);
        expect_same_float(c.angle, angle);
        expect_same_float(c.projection, projection);
    }
}

// Without the clamp, rounding lifts the cosine of many greys above 1 and turns
// their angle into NaN.
TEST(find_angle, keeps_every_pixel_along_the_reference)
{
    for (const colour reference : {colour{1, 1, 1}, colour{255, 255, 255}, colour{7, 7, 7}}) {
        for (std::int32_t g = 1; g <= 255; ++g) {
            float projection = 0.0F;
            const float angle = find_angle(reference, colour{g, g, g}, projection);
            EXPECT_LT(angle, 1e-3F) << "grey " << g;  // also false for NaN
            EXPECT_NEAR(projection, g * std::sqrt(3.0) * 255.0 / 445.0, 1e-3) << "grey " << g;
        }
    }
}

TEST(decide_sample, applies_strict_limits_and_truncates_toward_zero)
{
    struct decision_case {
        float angle;
        float projection;
        float max_angle;
        std::int32_t thresh;
        std::int16_t sample;
    };
    const decision_case cases[] = {
        {0.05F, 73.9F, 0.1F, 20, 73},
        {0.1F, 73.9F, 0.1F, 20, 0},      // angle not below the limit
        {0.05F, 20.0F, 0.1F, 20, 0},     // projection not above the threshold
        {0.05F, 20.5F, 0.1F, 20, 20},
        {0.05F, 253.9F, 0.1F, 200, 253}, // thresh held in full, not as 8 bits
        {0.05F, 150.0F, 0.1F, 200, 0},
        {3.1F, -127.5F, 3.2F, -128, -127},
        {nan, 100.0F, 4.0F, 0, 0},
        {0.0F, nan, 4.0F, -200, 0},
        {0.0F, 100.0F, nan, 0, 0},
        {0.0F, 100.0F, 0.0F, 0, 0},
        {0.0F, 100.0F, std::numeric_limits<float>::infinity(), 0, 100},
    };
    for (const decision_case& c : cases) {
        EXPECT_EQ(decide_sample(c.angle, c.projection, c.max_angle, c.thresh), c.sample)
            << c.angle << " " << c.projection << " " << c.max_angle << " " << c.thresh;
    }
}

}  // namespace
