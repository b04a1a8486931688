#include "colour_geometry.hpp"

#include <algorithm>
#include <cmath>

namespace conemask {

namespace {
// The scale maps a pixel of length 445 to 255; the longest byte pixel,
// 255 * sqrt(3) ~ 441.7, therefore lands just above 253.
constexpr double projection_numerator = 255.0;
constexpr double projection_denominator = 445.0;
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
    float reference_squared = 0.0F;
    reference_squared += r0 * r0;
    reference_squared += r1 * r1;
    reference_squared += r2 * r2;

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

    const float projection = pixel_length * cos_angle;
    projection_out = static_cast<float>(static_cast<double>(projection) * projection_numerator /
                                        projection_denominator);

    // Rounding can carry the cosine of a pixel along the reference just past
    // 1 (or -1); clamping keeps such a pixel instead of losing it to a NaN
    // angle. The projection above keeps the unclamped value. A NaN passes
    // through std::clamp unchanged.
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

}  // namespace conemask
