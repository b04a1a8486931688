// SPDX-License-Identifier: MIT
#include "colour_geometry.hpp"
#include "classify_driver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace conemask {

namespace {

using detail::projection_denominator;
using detail::projection_numerator;

constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr float not_a_number = std::numeric_limits<float>::quiet_NaN();

// Floats of one sign ordered as integers: -|x| for negatives, so that keys
// grow with the values they stand for (both zeros share key 0).
std::int32_t order_key(float value)
{
    const auto bits = std::bit_cast<std::int32_t>(value);
    return bits >= 0 ? bits : std::numeric_limits<std::int32_t>::min() - bits;
}

float from_order_key(std::int32_t key)
{
    return key >= 0 ? std::bit_cast<float>(key)
                    : std::bit_cast<float>(std::numeric_limits<std::int32_t>::min() - key);
}

float squared_length(float r0, float r1, float r2)
{
    // Left to right from +0, as find_angle sums.
    float sum = 0.0F;
    sum += r0 * r0;
    sum += r1 * r1;
    sum += r2 * r2;
    return sum;
}

}  // namespace

float find_angle(const colour& reference, const colour& pixel, float& projection_out)
{
    const float r0 = static_cast<float>(reference[0]);
    const float r1 = static_cast<float>(reference[1]);
    const float r2 = static_cast<float>(reference[2]);
    const float p0 = static_cast<float>(pixel[0]);
    const float p1 = static_cast<float>(pixel[1]);
    const float p2 = static_cast<float>(pixel[2]);

    // Each sum starts from +0 and adds left to right: the order fixes the last
    // bit, and the leading +0 turns a -0 product into +0.
    const float reference_squared = squared_length(r0, r1, r2);

    float dot = 0.0F;
    dot += p0 * r0;
    dot += p1 * r1;
    dot += p2 * r2;

    const float reference_length = std::sqrt(reference_squared);

    // A byte component's square is exact as an integer and as a float.
    float pixel_squared = 0.0F;
    pixel_squared += static_cast<float>(pixel[0] * pixel[0]);
    pixel_squared += static_cast<float>(pixel[1] * pixel[1]);
    pixel_squared += static_cast<float>(pixel[2] * pixel[2]);
    const float pixel_length = std::sqrt(pixel_squared);

    const float lengths = reference_length * pixel_length;
    const float cos_angle = dot / lengths;

    // The projection keeps the unclamped cosine.
    const float projection = pixel_length * cos_angle;
    projection_out = static_cast<float>(static_cast<double>(projection) * projection_numerator /
                                        projection_denominator);
    return angle_from_cos(cos_angle);
}

float angle_from_cos(float cos_angle)
{
    // Rounding can carry the cosine of a pixel along the reference just past
    // 1 (or -1); clamping keeps such a pixel instead of losing it to a NaN
    // angle. A NaN passes through std::clamp unchanged.
    const float clamped = std::clamp(cos_angle, -1.0F, 1.0F);
    return static_cast<float>(std::acos(static_cast<double>(clamped)));
}

std::int16_t decide_sample(float angle, float projection, float max_angle, std::int32_t thresh)
{
    if (max_angle > angle && projection > static_cast<float>(thresh)) {
        // |projection| < 254 for byte pixels, so the truncation fits 16 bits.
        return static_cast<std::int16_t>(projection);
    }
    return 0;
}

float min_cos(float max_angle)
{
    const auto passes = [max_angle](float cos_angle) { return max_angle > angle_from_cos(cos_angle); };
    if (!passes(1.0F)) {
        return not_a_number;
    }
    if (passes(-1.0F)) {
        // Cosines below -1 clamp to -1 and pass as well.
        return -infinity;
    }
    // passes(low) is false and passes(high) true throughout; the predicate
    // never turns false again as the cosine grows, so bisection finds the edge.
    std::int32_t low = order_key(-1.0F);
    std::int32_t high = order_key(1.0F);
    while (high - low > 1) {
        const std::int32_t middle = low + (high - low) / 2;
        if (passes(from_order_key(middle))) {
            high = middle;
        } else {
            low = middle;
        }
    }
    // Cosines above 1 clamp to 1 and pass, as they compare above the edge.
    return from_order_key(high);
}

// The pre-test. Most pixels of a typical run are rejected, and the exact path
// needs a square root and two divisions. The pre-test rejects a pixel with
// a multiplication or two, and never one that the exact path keeps:
//
// Let d and s be the pixel's dot product and squared length and R the
// reference length, floats computed exactly as the exact path computes them,
// and u = 2^-24 the unit roundoff. With P = sqrt(s) correctly rounded, the
// exact path's cosine is c = d / (R P (1+e1)) (1+e2) = d / (R sqrt(s)) (1+t),
// |t| <= 3.01u, and its projection is
//   P c (1+e3) 255/445 (1+e4) = d/R 255/445 (1+t'), |t'| <= 4.01u
// (P cancels; the double operations add far less than u).
//
// Angle, when min_cos > 0: keeping the pixel needs c >= min_cos > 0, so d > 0
// and d^2 >= min_cos^2 R^2 s (1 - 6.01u). The pre-test keeps the pixel when
// fl(d |d|) >= fl(s K) with K = min_cos^2 R^2 (1 - m) rounded: the left side
// is at least d^2 (1-u), the right at most min_cos^2 R^2 s (1 - m + 2.01u),
// and the margin m = 2^-16 = 256u covers the difference many times over.
//
// Threshold, when thresh > 0: keeping the pixel needs a projection above
// thresh > 0, so d > 0 and d 255/(445 R) > thresh (1 - 4.01u). The pre-test
// keeps the pixel when fl(d S) >= B with S = 255/(445 R) and
// B = thresh (1 - m), both rounded: fl(d S) >= thresh (1 - 6.02u) > B.
//
// Nothing overflows or underflows: |d| < 1.7e12, s K < 2.8e24, and a nonzero d,
// a sum of integer-valued products, is at least 1, so d S is far from the
// denormals for any reference.
//
// Integer sums: when every |r_i| <= 32767 and 255 (|r0| + |r1| + |r2|) <= 2^24,
// every product p_i r_i and every partial sum of the dot product is an integer
// of magnitude at most 2^24, which a float holds exactly: each float operation
// of the dot product is then exact, and equals the sum in 32-bit integers
// converted to float. The pixel's squared length, at most 3 * 255^2, is always
// exact. The integer form may give +0 where the float form gives -0 (a zero
// component times a negative one); either zero gives the same comparisons and
// samples. The kernels take p_i and r_i as 16-bit halves: 0 <= p_i <= 255 and
// |r_i| <= 32767 fit, and pair sums stay below 2^24.
cone make_cone(const colour& reference, float max_angle, std::int32_t thresh)
{
    constexpr double margin = 1.0 / 65536.0;
    constexpr float lowest = std::numeric_limits<float>::lowest();

    cone k{};
    k.r0 = static_cast<float>(reference[0]);
    k.r1 = static_cast<float>(reference[1]);
    k.r2 = static_cast<float>(reference[2]);
    k.reference_length = std::sqrt(squared_length(k.r0, k.r1, k.r2));
    k.min_cos = min_cos(max_angle);
    k.thresh = static_cast<float>(thresh);

    constexpr std::int64_t largest_half = 32767;
    constexpr std::int64_t largest_exact_sum = std::int64_t{1} << 24;
    const auto magnitude = [](std::int32_t r) { return std::abs(static_cast<std::int64_t>(r)); };
    k.integer_sums = magnitude(reference[0]) <= largest_half && magnitude(reference[1]) <= largest_half &&
                     magnitude(reference[2]) <= largest_half &&
                     255 * (magnitude(reference[0]) + magnitude(reference[1]) + magnitude(reference[2])) <=
                         largest_exact_sum;
    if (k.integer_sums) {
        const auto half = [](std::int32_t r) { return static_cast<std::uint32_t>(r) & 0xFFFFU; };
        k.red_green = static_cast<std::int32_t>(half(reference[0]) | half(reference[1]) << 16U);
        k.blue_zero = static_cast<std::int32_t>(half(reference[2]));
    }
    k.selects_nothing = k.reference_length == 0.0F || std::isnan(k.min_cos);
    if (k.selects_nothing) {
        return k;
    }

    const double length = k.reference_length;
    const double cut = k.min_cos;
    k.angle_bound = k.min_cos > 0.0F ? static_cast<float>(cut * cut * length * length * (1.0 - margin)) : lowest;
    k.projection_scale = static_cast<float>(projection_numerator / (projection_denominator * length));
    k.thresh_bound = thresh > 0 ? static_cast<float>(static_cast<double>(thresh) * (1.0 - margin)) : lowest;
    return k;
}

namespace {

using detail::chunk_pixels;
using detail::projection_factor;

// The portable chunk step: the exact path of find_angle in a form the
// compiler vectorises, lane by lane in the same order, with the angle test
// made by comparing the cosine with min_cos instead of taking its arc cosine.
// The sums drop find_angle's leading +0, which changes only the sign of a
// zero dot product; a zero of either sign gives the same comparisons and
// samples.
struct portable_chunk {
    const cone& k;

    bool operator()(const std::uint8_t* __restrict rgb, std::int16_t* __restrict samples, bool exact_always) const
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
        int any_may_pass = 0;
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float p0 = reds[i];
            const float p1 = greens[i];
            const float p2 = blues[i];
            const float dot = p0 * k.r0 + p1 * k.r1 + p2 * k.r2;
            const float pixel_squared = p0 * p0 + p1 * p1 + p2 * p2;
            dots[i] = dot;
            pixel_squares[i] = pixel_squared;
            any_may_pass |= static_cast<int>(dot * std::fabs(dot) >= pixel_squared * k.angle_bound) &
                            static_cast<int>(dot * k.projection_scale >= k.thresh_bound);
        }
        if (any_may_pass == 0 && !exact_always) {
            std::fill_n(samples, chunk_pixels, std::int16_t{0});
            return false;
        }
        for (std::size_t i = 0; i < chunk_pixels; ++i) {
            const float pixel_length = std::sqrt(pixel_squares[i]);
            const float cos_angle = dots[i] / (k.reference_length * pixel_length);
            const float projection =
                static_cast<float>(static_cast<double>(pixel_length * cos_angle) * projection_factor);
            // Both tests are evaluated (&, not &&): a branch here would stop
            // the loop from being vectorised.
            const int selected = static_cast<int>(cos_angle >= k.min_cos) & static_cast<int>(projection > k.thresh);
            // Selecting before truncating keeps the loop free of branches and
            // never converts a NaN; |projection| < 254 whenever it is selected.
            const auto truncated = static_cast<std::int32_t>(selected != 0 ? projection : 0.0F);
            samples[i] = static_cast<std::int16_t>(truncated);
        }
        return any_may_pass != 0;
    }
};

void classify_pixels_portable(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    detail::classify_all(k, rgb, samples, count, portable_chunk{k});
}

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
cpu_features this_cpu()
{
    // libgcc's checks include the operating system's support for the wider
    // registers. The builtin gives int with GCC and bool with Clang.
    return {
        .avx2 = static_cast<bool>(__builtin_cpu_supports("avx2")),
        .avx512 = static_cast<bool>(__builtin_cpu_supports("avx512f")) &&
                  static_cast<bool>(__builtin_cpu_supports("avx512bw")) &&
                  static_cast<bool>(__builtin_cpu_supports("avx512vl")) &&
                  static_cast<bool>(__builtin_cpu_supports("avx512vbmi")),
        .avx512_vnni = static_cast<bool>(__builtin_cpu_supports("avx512vnni")),
    };
}
#else
cpu_features this_cpu()
{
    return {};
}
#endif

kernel_kind choose_kernel(const cpu_features& features)
{
    if (features.avx512 && features.avx512_vnni) {
        return kernel_kind::avx512_vnni;
    }
    if (features.avx512) {
        return kernel_kind::avx512;
    }
    if (features.avx2) {
        return kernel_kind::avx2;
    }
    return kernel_kind::portable;
}

kernel kernel_of(kernel_kind kind)
{
    switch (kind) {
    case kernel_kind::portable:
        return classify_pixels_portable;
#if defined(__x86_64__) && defined(__GNUC__)
    case kernel_kind::avx2:
        return detail::classify_pixels_avx2;
    case kernel_kind::avx512:
        return detail::classify_pixels_avx512;
    case kernel_kind::avx512_vnni:
        return detail::classify_pixels_avx512_vnni;
#else
    default:
        return nullptr;
#endif
    }
    return nullptr;
}

const char* kernel_name(kernel_kind kind)
{
    switch (kind) {
    case kernel_kind::portable:
        return "portable";
    case kernel_kind::avx2:
        return "avx2";
    case kernel_kind::avx512:
        return "avx512";
    case kernel_kind::avx512_vnni:
        return "avx512_vnni";
    }
    return "unknown";
}

bool runs_here(kernel_kind kind)
{
    return kernel_of(kind) != nullptr && kind <= choose_kernel(this_cpu());
}

void classify_pixels(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    static const kernel chosen = kernel_of(choose_kernel(this_cpu()));
    chosen(k, rgb, samples, count);
}

}  // namespace conemask
