// SPDX-License-Identifier: MIT
#include "conemask/colour_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace conemask {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr float not_a_number = std::numeric_limits<float>::quiet_NaN();

// std::bit_cast, which the page's older standard library lacks.
template <typename To, typename From>
To bit_copy(const From& from)
{
    static_assert(sizeof(To) == sizeof(From));
    To to{};
    std::memcpy(&to, &from, sizeof to);
    return to;
}

// Floats of one sign ordered as integers: -|x| for negatives, so that keys
// grow with the values they stand for (both zeros share key 0).
std::int32_t order_key(float value)
{
    const auto bits = bit_copy<std::int32_t>(value);
    return bits >= 0 ? bits : std::numeric_limits<std::int32_t>::min() - bits;
}

float from_order_key(std::int32_t key)
{
    return key >= 0 ? bit_copy<float>(key)
                    : bit_copy<float>(std::numeric_limits<std::int32_t>::min() - key);
}

}  // namespace

float reference_length(const colour& reference)
{
    const float r0 = static_cast<float>(reference[0]);
    const float r1 = static_cast<float>(reference[1]);
    const float r2 = static_cast<float>(reference[2]);
    // Each sum starts from +0 and adds left to right: the order fixes the last
    // bit, and the leading +0 turns a -0 product into +0.
    float squared = 0.0F;
    squared += r0 * r0;
    squared += r1 * r1;
    squared += r2 * r2;
    return std::sqrt(squared);
}

float find_angle(const colour& reference, const colour& pixel, float& projection_out)
{
    const float r0 = static_cast<float>(reference[0]);
    const float r1 = static_cast<float>(reference[1]);
    const float r2 = static_cast<float>(reference[2]);
    const float p0 = static_cast<float>(pixel[0]);
    const float p1 = static_cast<float>(pixel[1]);
    const float p2 = static_cast<float>(pixel[2]);

    // Summed as reference_length() sums, from +0 and left to right.
    float dot = 0.0F;
    dot += p0 * r0;
    dot += p1 * r1;
    dot += p2 * r2;

    const float length_of_reference = reference_length(reference);

    // A byte component's square is exact as an integer and as a float.
    float pixel_squared = 0.0F;
    pixel_squared += static_cast<float>(pixel[0] * pixel[0]);
    pixel_squared += static_cast<float>(pixel[1] * pixel[1]);
    pixel_squared += static_cast<float>(pixel[2] * pixel[2]);
    const float pixel_length = std::sqrt(pixel_squared);

    const float lengths = length_of_reference * pixel_length;
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

bool is_selected(float angle, float projection, float max_angle, std::int32_t thresh)
{
    return max_angle > angle && projection > static_cast<float>(thresh);
}

std::int16_t decide_sample(float angle, float projection, float max_angle, std::int32_t thresh)
{
    if (is_selected(angle, projection, max_angle, thresh)) {
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

}  // namespace conemask
