#include "colour_geometry.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace conemask {

namespace {

// The scale maps a pixel of length 445 to 255; the longest byte pixel,
// 255 * sqrt(3) ~ 441.7, therefore lands just above 253.
constexpr double projection_numerator = 255.0;
constexpr double projection_denominator = 445.0;

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

// Pixels decided together: the pre-test of a whole chunk is settled before
// any exact work, so a chunk of rejected pixels costs no square root. 32
// bytes of each colour channel fill one 256-bit vector.
constexpr std::size_t chunk_pixels = 32;

// The exact path in a form the compiler vectorises: the same operations in
// the same order as find_angle, lane by lane, with the angle test made by
// comparing the cosine with min_cos instead of taking its arc cosine. The
// sums drop find_angle's leading +0, which changes only the sign of a zero
// dot product; a zero of either sign gives the same comparisons and samples.
[[gnu::always_inline]] inline void classify_chunk(const cone& k, const std::uint8_t* __restrict rgb,
                                                  std::int16_t* __restrict samples)
{
    // Splitting the bytes into three planes first costs a few byte shuffles;
    // widening each channel through strided float loads costs many more.
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
    if (any_may_pass == 0) {
        std::fill_n(samples, chunk_pixels, std::int16_t{0});
        return;
    }
    for (std::size_t i = 0; i < chunk_pixels; ++i) {
        const float pixel_length = std::sqrt(pixel_squares[i]);
        const float cos_angle = dots[i] / (k.reference_length * pixel_length);
        const float projection = static_cast<float>(static_cast<double>(pixel_length * cos_angle) *
                                                    projection_numerator / projection_denominator);
        // Both tests are evaluated (&, not &&): a branch here would stop the
        // loop from being vectorised.
        const int selected = static_cast<int>(cos_angle >= k.min_cos) & static_cast<int>(projection > k.thresh);
        // Selecting before truncating keeps the loop free of branches and
        // never converts a NaN; |projection| < 254 whenever it is selected.
        const auto truncated = static_cast<std::int32_t>(selected != 0 ? projection : 0.0F);
        samples[i] = static_cast<std::int16_t>(truncated);
    }
}

[[gnu::always_inline]] inline void classify_all(const cone& k, const std::uint8_t* rgb, std::int16_t* samples,
                                                std::size_t count)
{
    if (k.selects_nothing) {
        std::fill_n(samples, count, std::int16_t{0});
        return;
    }
    const std::size_t whole = count - count % chunk_pixels;
    for (std::size_t i = 0; i < whole; i += chunk_pixels) {
        classify_chunk(k, rgb + 3 * i, samples + i);
    }
    // The tail goes through a padded chunk; black padding is never selected.
    if (whole < count) {
        std::array<std::uint8_t, 3 * chunk_pixels> tail_rgb{};
        std::array<std::int16_t, chunk_pixels> tail_samples{};
        const std::size_t tail = count - whole;
        std::copy_n(rgb + 3 * whole, 3 * tail, tail_rgb.begin());
        classify_chunk(k, tail_rgb.data(), tail_samples.data());
        std::copy_n(tail_samples.begin(), tail, samples + whole);
    }
}

}  // namespace

void classify_pixels_portable(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    classify_all(k, rgb, samples, count);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define CONEMASK_TARGET_AVX2 [[gnu::target("avx2")]]
bool avx2_supported()
{
    return __builtin_cpu_supports("avx2");
}
#else
// Elsewhere the "AVX2" version is the portable code compiled once more.
#define CONEMASK_TARGET_AVX2
bool avx2_supported()
{
    return false;
}
#endif

CONEMASK_TARGET_AVX2 void classify_pixels_avx2(const cone& k, const std::uint8_t* rgb, std::int16_t* samples,
                                               std::size_t count)
{
    classify_all(k, rgb, samples, count);
}

void classify_pixels(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    static const bool use_avx2 = avx2_supported();
    if (use_avx2) {
        classify_pixels_avx2(k, rgb, samples, count);
    } else {
        classify_pixels_portable(k, rgb, samples, count);
    }
}

}  // namespace conemask
