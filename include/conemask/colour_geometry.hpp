// SPDX-License-Identifier: MIT
// Colour geometry: where a pixel's colour points relative to a reference
// colour, and the sample that decides for one pixel.
//
// Every result here is part of the output format: the arithmetic is single
// precision in a fixed order, and this unit must be built without contraction
// into fused multiply-add (-ffp-contract=off) and without -ffast-math.
#pragma once

#include <array>
#include <cstdint>

namespace conemask {

// Red, green, blue. A pixel's components come from bytes (0 to 255); the
// reference colour may hold any 32-bit values.
using colour = std::array<std::int32_t, 3>;

// The projection's scale maps a pixel of length 445 to 255; the longest byte
// pixel, 255 * sqrt(3) ~ 441.7, therefore lands just above 253.
inline constexpr double projection_numerator = 255.0;
inline constexpr double projection_denominator = 445.0;

// The reference's length in single precision, as find_angle computes it.
float reference_length(const colour& reference);

// Returns the angle in radians between `reference` and `pixel`, and stores in
// `projection_out` the length of the pixel along the reference direction scaled
// by 255/445. Both are NaN when either colour is black (0/0).
float find_angle(const colour& reference, const colour& pixel, float& projection_out);

// The angle whose cosine is `cos_angle`, clamped to [-1, 1] first so that a
// cosine rounded just past 1 still gives 0. NaN stays NaN.
float angle_from_cos(float cos_angle);

// Whether a pixel is selected: its angle below `max_angle` and its projection
// above `thresh`. A NaN angle or projection fails its comparison.
bool is_selected(float angle, float projection, float max_angle, std::int32_t thresh);

// The sample written for one pixel: its projection truncated toward zero when
// it is selected, else 0. A selected pixel's sample is 0 too when its
// projection lies in (-1, 1): only is_selected tells them apart.
std::int16_t decide_sample(float angle, float projection, float max_angle, std::int32_t thresh);

// The smallest cosine whose angle is below `max_angle`: an unclamped cosine c
// passes the angle test exactly when c >= min_cos(max_angle). -infinity when
// every cosine passes, NaN when none does. Sound because angle_from_cos never
// increases as its argument grows (checked over every float in [-1, 1] by the
// long-labelled test).
float min_cos(float max_angle);

}  // namespace conemask
