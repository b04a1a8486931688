// SPDX-License-Identifier: MIT
// The portable kernel: plain C++ that the compiler vectorises for the
// baseline of any processor. It is what every processor without a kernel of
// its own runs, and the reference the explicit vector kernels follow.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_loop.hpp"

namespace conemask::detail {

namespace {

// The portable chunk step, in a form the compiler vectorises: the pre-test,
// then the quick decision of make_cone(), then find_angle's exact path, lane
// by lane in the same order, for a chunk that the quick decision leaves
// undecided. The exact path tests the angle by comparing the cosine with
// min_cos instead of taking its arc cosine. The sums drop find_angle's
// leading +0, which changes only the sign of a zero dot product; a zero of
// either sign gives the same comparisons and samples. Each test is evaluated
// in full (&, not &&): a branch in a loop would stop it being vectorised.
struct portable_chunk {
    const cone& k;

    template <bool decide_all>
    bool operator()(const std::uint8_t* __restrict rgb, std::int16_t* __restrict samples,
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
        std::int32_t any_open = 0;
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float p0 = reds[i];
            const float p1 = greens[i];
            const float p2 = blues[i];
            const float dot = p0 * k.r0 + p1 * k.r1 + p2 * k.r2;
            const float pixel_squared = p0 * p0 + p1 * p1 + p2 * p2;
            const float scaled_dot = dot * k.projection_scale;
            dots[i] = dot;
            pixel_squares[i] = pixel_squared;
            scaled_dots[i] = scaled_dot;
            open[i] = static_cast<std::int32_t>(dot * std::fabs(dot) >= pixel_squared * k.angle_fail_bound) &
                      static_cast<std::int32_t>(scaled_dot > k.thresh_fail_bound);
            any_open |= open[i];
        }
        if (!decide_all && any_open == 0) {
            std::fill_n(samples, chunk_pixels, std::int16_t{0});
            return false;
        }
        constexpr float margin = sample_margin_float;
        std::int32_t undecided = 0;
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float dot = dots[i];
            const float scaled_dot = scaled_dots[i];
            const auto angle_passes =
                static_cast<std::int32_t>(dot * std::fabs(dot) >= pixel_squares[i] * k.angle_pass_bound);
            const auto above = static_cast<std::int32_t>(scaled_dot > k.thresh);
            // |scaled_dot| < 254: the conversions are defined.
            const auto low = static_cast<std::int32_t>(scaled_dot - margin);
            const auto high = static_cast<std::int32_t>(scaled_dot + margin);
            const auto settled = static_cast<std::int32_t>(low == high);
            const std::int32_t decided = settled & (angle_passes | (above ^ 1));
            undecided |= open[i] & (decided ^ 1);
            samples[i] = static_cast<std::int16_t>((angle_passes & above) != 0 ? low : 0);
        }
        if (undecided != 0) [[unlikely]] {
            for (std::size_t i = 0; i < chunk_pixels; ++i) {
                const float pixel_length = std::sqrt(pixel_squares[i]);
                const float cos_angle = dots[i] / (k.reference_length * pixel_length);
                const float projection =
                    static_cast<float>(static_cast<double>(pixel_length * cos_angle) * projection_factor);
                const std::int32_t selected =
                    static_cast<std::int32_t>(cos_angle >= k.min_cos) & static_cast<std::int32_t>(projection > k.thresh);
                // Selecting before truncating never converts a NaN;
                // |projection| < 254 whenever it is selected.
                const auto truncated = static_cast<std::int32_t>(selected != 0 ? projection : 0.0F);
                samples[i] = static_cast<std::int16_t>(truncated);
            }
        }
        return any_open != 0;
    }
};


}  // namespace

void classify_pixels_portable(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    classify_all(k, rgb, samples, count, portable_chunk{k});
}

}  // namespace conemask::detail
