// SPDX-License-Identifier: MIT
// Long: sweeps over every float that two of the kernels' shortcuts rest on.
// Run on demand: ctest -L long.
//
// The angle test compares a pixel's cosine with a cut-off instead of taking
// its arc cosine, which is sound only if the angle never increases as the
// cosine grows, in this build, with this library's arc cosine.
//
// The kernels scale the projection with one multiplication where find_angle
// multiplies and divides; the two must round to the same float everywhere.

#include "classify_loop.hpp"
#include "conemask/colour_geometry.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Walks the floats of one sign in ascending order of value, from bit pattern
// `first` to `last` (stepping down through the bit patterns of negatives),
// and returns the number of steps at which the angle grew.
std::uint64_t count_increases(std::uint32_t first, std::uint32_t last)
{
    const bool negative = first > last;
    std::uint64_t increases = 0;
    float previous_angle = conemask::angle_from_cos(std::bit_cast<float>(first));
    for (std::uint32_t bits = first; bits != last;) {
        bits = negative ? bits - 1 : bits + 1;
        const float angle = conemask::angle_from_cos(std::bit_cast<float>(bits));
        increases += angle > previous_angle ? 1 : 0;
        previous_angle = angle;
    }
    return increases;
}

TEST(angle_from_cos, never_increases_over_every_float_from_minus_one_to_one)
{
    // Two halves on two threads; they meet at 0.
    std::uint64_t negative_increases = 0;
    std::uint64_t positive_increases = 0;
    std::thread negative([&] {
        negative_increases = count_increases(std::bit_cast<std::uint32_t>(-1.0F), std::bit_cast<std::uint32_t>(-0.0F));
    });
    positive_increases = count_increases(std::bit_cast<std::uint32_t>(0.0F), std::bit_cast<std::uint32_t>(1.0F));
    negative.join();
    EXPECT_EQ(negative_increases, 0U);
    EXPECT_EQ(positive_increases, 0U);
    EXPECT_GE(conemask::angle_from_cos(-0.0F), conemask::angle_from_cos(0.0F));
}

// Counts the bit patterns from `first` to `last` whose projection scales
// differently; NaNs match when both are NaN.
std::uint64_t count_scale_differences(std::uint64_t first, std::uint64_t last)
{
    using conemask::projection_denominator;
    using conemask::detail::projection_factor;
    using conemask::projection_numerator;
    std::uint64_t differences = 0;
    for (std::uint64_t bits = first; bits < last; ++bits) {
        const double x = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        const auto divided = static_cast<float>(x * projection_numerator / projection_denominator);
        const auto multiplied = static_cast<float>(x * projection_factor);
        const bool same = std::bit_cast<std::uint32_t>(divided) == std::bit_cast<std::uint32_t>(multiplied) ||
                          (std::isnan(divided) && std::isnan(multiplied));
        differences += same ? 0 : 1;
    }
    return differences;
}

TEST(projection_factor, scales_every_float_as_multiply_then_divide)
{
    constexpr std::uint64_t patterns = std::uint64_t{1} << 32;
    std::uint64_t low_differences = 0;
    std::thread low([&] { low_differences = count_scale_differences(0, patterns / 2); });
    const std::uint64_t high_differences = count_scale_differences(patterns / 2, patterns);
    low.join();
    EXPECT_EQ(low_differences, 0U);
    EXPECT_EQ(high_differences, 0U);
}

}  // namespace
