// SPDX-License-Identifier: MIT
#include "conemask/colour_geometry.hpp"
#include "geometry_cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

using conemask_test::expect_same_float;
using conemask_test::from_bits;
using conemask_test::geometry_case;
using conemask_test::geometry_cases;
using conemask_test::nan;
using conemask::colour;
using conemask::decide_sample;
using conemask::find_angle;

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
        {0.05F, 253.9F, 0.1F, 200, 253}, // thresh held in full, not as 8 bits
        {3.1F, -127.5F, 3.2F, -128, -127},
        {nan, 100.0F, 4.0F, 0, 0},
        {0.0F, nan, 4.0F, -200, 0},
        {0.0F, 100.0F, nan, 0, 0},
        {0.0F, 100.0F, std::numeric_limits<float>::infinity(), 0, 100},
    };
    for (const decision_case& c : cases) {
        EXPECT_EQ(decide_sample(c.angle, c.projection, c.max_angle, c.thresh), c.sample)
            << c.angle << " " << c.projection << " " << c.max_angle << " " << c.thresh;
    }
}

using conemask::min_cos;

float previous_float(float value) { return std::nextafter(value, -std::numeric_limits<float>::infinity()); }

bool passes_angle(float max_angle, float cos_angle) { return max_angle > conemask::angle_from_cos(cos_angle); }

// The cut-off decides the angle test exactly as the arc cosine does, on
// either side of it, and for cosines rounded past +-1.
void expect_cut_off_agrees(float max_angle)
{
    const float cut = min_cos(max_angle);
    if (std::isfinite(cut)) {
        ASSERT_GE(cut, -1.0F);
        ASSERT_LE(cut, 1.0F);
        EXPECT_TRUE(passes_angle(max_angle, cut)) << max_angle;
        EXPECT_FALSE(passes_angle(max_angle, previous_float(cut))) << max_angle;
    }
    for (const float c : {-1.5F, -1.0F, -0.3F, 0.0F, 0.7F, 1.0F, 1.0000001F, 2.0F, cut, previous_float(cut)}) {
        EXPECT_EQ(c >= cut, passes_angle(max_angle, c)) << "limit " << max_angle << " cosine " << c;
    }
}

TEST(min_cos, agrees_with_the_arc_cosine)
{
    constexpr float pi = 3.14159265358979F;  // rounds a hair above pi
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct cut_case {
        float max_angle;
        float cut;  // NaN: nothing passes
    };
    const cut_case cases[] = {
        {0.0F, nan},
        {-1.0F, nan},
        {nan, nan},
        {-inf, nan},
        {std::numeric_limits<float>::denorm_min(), 1.0F},
        {pi, std::nextafter(-1.0F, 0.0F)},  // the angle of -1 is pi rounded, not below it
        {std::nextafter(pi, 4.0F), -inf},
        {3.2F, -inf},
        {inf, -inf},
    };
    for (const cut_case& c : cases) {
        expect_same_float(c.cut, min_cos(c.max_angle));
        expect_cut_off_agrees(c.max_angle);
    }
    std::mt19937 random(11);
    std::uniform_real_distribution<float> angle(0.0F, 3.3F);
    for (int i = 0; i < 5000; ++i) {
        expect_cut_off_agrees(angle(random));
    }
}

}  // namespace
