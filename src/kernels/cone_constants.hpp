// SPDX-License-Identifier: MIT
// The constants of the batch decision, which make_cone() fixes once per run
// and every kernel reads; callers hold them through the opaque cone.
#pragma once

#include <cstdint>

namespace conemask {

// What the batch decision needs, fixed once per run.
struct cone_constants {
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

}  // namespace conemask
