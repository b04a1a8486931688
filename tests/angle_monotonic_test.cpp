// Long: every float in [-1, 1] through angle_from_cos. The angle test compares
// a pixel's cosine with a cut-off instead of taking its arc cosine, which is
// sound only if the angle never increases as the cosine grows, in this build,
// with this library's arc cosine. Run on demand: ctest -L long.

#include "colour_geometry.hpp"

#include <gtest/gtest.h>

#include <bit>
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

}  // namespace
