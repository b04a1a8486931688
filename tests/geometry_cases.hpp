// SPDX-License-Identifier: MIT
// Pixels whose angle and projection are known to the last bit, shared by the
// tests of the definition and of its batch form.
#pragma once

#include "conemask/colour_geometry.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace conemask_test {

using conemask::colour;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

inline float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

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
inline const geometry_case geometry_cases[] = {
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

inline void expect_same_float(float expected, float actual)
{
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
    } else {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(expected), std::bit_cast<std::uint32_t>(actual))
            << "expected " << expected << ", got " << actual;
    }
}

}  // namespace conemask_test
