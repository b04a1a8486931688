// SPDX-License-Identifier: MIT
// The portable kernel: plain C++ that the compiler vectorises for the
// baseline of any processor. It is what every processor without a kernel of
// its own runs, and the reference the explicit vector kernels follow.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_lanes.hpp"
#include "classify_loop.hpp"
#include "kernel_table.hpp"

namespace conemask::detail {

namespace {

// A lane is one float; the loops around it are what the compiler vectorises.
struct scalar_ops {
    using floats = float;
    using ints = std::int32_t;
    using doubles = double;
    using mask = std::int32_t;  // 0 or 1
    using samples = std::int32_t;
    static float splat(float x) { return x; }
    static std::int32_t splat(std::int32_t x) { return x; }
    static double splat(double x) { return x; }
    static float sqrt(float x) { return std::sqrt(x); }
    static float mul(float a, float b) { return a * b; }
    static float div(float a, float b) { return a / b; }
    // Multiplied in double precision, rounded back to float.
    static float scale(float x, double factor) { return static_cast<float>(static_cast<double>(x) * factor); }
    static float add(float a, float b) { return a + b; }
    static float sub(float a, float b) { return a - b; }
    static std::int32_t truncate(float x) { return static_cast<std::int32_t>(x); }
    static std::int32_t at_least(float a, float b) { return static_cast<std::int32_t>(a >= b); }
    static std::int32_t above(float a, float b) { return static_cast<std::int32_t>(a > b); }
    static std::int32_t at_most(float a, float b) { return static_cast<std::int32_t>(a <= b); }
    static std::int32_t equal(std::int32_t a, std::int32_t b) { return static_cast<std::int32_t>(a == b); }
    static std::int32_t both(std::int32_t a, std::int32_t b) { return a & b; }
    static std::int32_t either(std::int32_t a, std::int32_t b) { return a | b; }
    static std::int32_t but_not(std::int32_t a, std::int32_t b) { return a & (b ^ 1); }
    static std::int32_t keep(std::int32_t selected, std::int32_t x) { return selected != 0 ? x : 0; }
    static std::int32_t truncate_selected(std::int32_t selected, float x)
    {
        return static_cast<std::int32_t>(selected != 0 ? x : 0.0F);
    }
};

// Bit i of a chunk's mask, for pixel i.
constexpr auto pixel_bits = [] {
    std::array<std::uint32_t, chunk_pixels> bits{};
    for (std::size_t i = 0; i < chunk_pixels; ++i) {
        bits[i] = std::uint32_t{1} << i;
    }
    return bits;
}();

// The portable chunk step, in a form the compiler vectorises: the pre-test,
// then the quick decision of make_cone(), then find_angle's exact path for a
// chunk that the quick decision leaves undecided. Each test is evaluated in
// full (&, not &&): a branch in a loop would stop it being vectorised.
struct portable_chunk : lane_cone<scalar_ops> {
    using lane_cone::lane_cone;

    template <bool decide_all>
    std::uint32_t operator()(const std::uint8_t* __restrict rgb, std::int16_t* __restrict samples,
                             std::bool_constant<decide_all> /*mode*/) const
    {
        // Splitting the bytes into three planes first costs a few byte
        // shuffles; widening each channel through strided loads costs more.
        alignas(32) std::uint8_t reds[chunk_pixels];
        alignas(32) std::uint8_t greens[chunk_pixels];
        alignas(32) std::uint8_t blues[chunk_pixels];
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            reds[i] = rgb[3 * i];
            greens[i] = rgb[3 * i + 1];
            blues[i] = rgb[3 * i + 2];
        }
        alignas(32) float dots[chunk_pixels];
        alignas(32) float pixel_squares[chunk_pixels];
        alignas(32) float scaled_dots[chunk_pixels];
        alignas(32) std::int32_t open[chunk_pixels];  // past the pre-test
        // An or of disjoint bits: a reduction the compiler vectorises.
        std::uint32_t open_pixels = 0;
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float p0 = reds[i];
            const float p1 = greens[i];
            const float p2 = blues[i];
            const float dot = p0 * r0 + p1 * r1 + p2 * r2;
            const float pixel_squared = p0 * p0 + p1 * p1 + p2 * p2;
            const float scaled_dot = dot * projection_scale;
            dots[i] = dot;
            pixel_squares[i] = pixel_squared;
            scaled_dots[i] = scaled_dot;
            open[i] = static_cast<std::int32_t>(dot * std::fabs(dot) >= pixel_squared * angle_fail_bound) &
                      static_cast<std::int32_t>(scaled_dot > thresh_fail_bound);
            open_pixels |= pixel_bits[i] & (0U - static_cast<std::uint32_t>(open[i]));
        }
        if (!decide_all && open_pixels == 0) {
            std::fill_n(samples, chunk_pixels, std::int16_t{0});
            return 0;
        }
        std::int32_t undecided = 0;
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float dot = dots[i];
            const auto angle_passes =
                static_cast<std::int32_t>(dot * std::fabs(dot) >= pixel_squares[i] * angle_pass_bound);
            const quick_decision<scalar_ops> quick =
                decide_quickly<scalar_ops>(*this, scaled_dots[i], angle_passes, open[i]);
            undecided |= quick.undecided;
            samples[i] = static_cast<std::int16_t>(quick.samples);
        }
        if (undecided != 0) [[unlikely]] {
            for (std::size_t i = 0; i < chunk_pixels; ++i) {
                samples[i] = static_cast<std::int16_t>(exact_samples<scalar_ops>(*this, dots[i], pixel_squares[i]));
            }
        }
        return open_pixels;
    }
};

}  // namespace

void classify_pixels_portable(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    classify_all(cone, rgb, samples, count, portable_chunk(cone));
}

}  // namespace conemask::detail
