// SPDX-License-Identifier: MIT
// Classification in bulk: find_angle followed by decide_sample for a block of
// pixels, bit-identical to them, through the fastest kernel this processor
// runs. The kernels live in classify_<instruction set>.cpp beside this unit,
// listed in kernel_table.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "conemask/colour_geometry.hpp"

namespace conemask {

// What the batch decision needs, fixed once per run.
struct cone {
    float r0, r1, r2;        // the reference as floats
    float reference_length;  // as find_angle computes it
    float min_cos;           // see min_cos()
    float thresh;            // the threshold as the comparison takes it: an integer
    // The bounds of the quick decision (see make_cone()): a pixel fails the
    // angle test below the fail bound and passes it at or above the pass
    // bound; its scaled dot product fails the threshold at or below its bound.
    float angle_fail_bound, angle_pass_bound;
    float projection_scale;
    float thresh_fail_bound;
    float sample_margin;     // a in make_cone()'s proof
    bool selects_nothing;    // black reference, or no angle below max_angle
    bool integer_sums;       // dot products exact in 32-bit integers: see make_cone()
    std::int32_t red_green;  // (r0, r1) as two 16-bit halves, r0 low, when integer_sums
    std::int32_t blue_zero;  // (r2, 0) likewise
};

cone make_cone(const colour& reference, float max_angle, std::int32_t thresh);

// Classifies `count` pixels of three bytes each into samples, bit-identical
// to find_angle and decide_sample for every input. Uses the kernel chosen
// once for this processor.
void classify_pixels(const cone& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

// The name of the kernel classify_pixels uses on this processor.
std::string_view chosen_kernel_name();

}  // namespace conemask
