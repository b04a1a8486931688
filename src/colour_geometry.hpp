// Colour geometry: where a pixel's colour points relative to a reference colour.
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

// Returns the angle in radians between `reference` and `pixel`, and stores in
// `projection_out` the length of the pixel along the reference direction scaled
// by 255/445. Both are NaN when either colour is black (0/0).
float find_angle(const colour& reference, const colour& pixel, float& projection_out);

// The sample written for one pixel: its projection truncated toward zero when
// the angle is below `max_angle` and the projection above `thresh`, else 0.
// A NaN angle or projection fails its comparison and gives 0.
std::int16_t decide_sample(float angle, float projection, float max_angle, std::int32_t thresh);

}  // namespace conemask
