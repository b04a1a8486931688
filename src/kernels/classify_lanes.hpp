// SPDX-License-Identifier: MIT
// What every kernel's chunk step shares, written once over a thin set of
// operations on lanes that each instruction set's file supplies: the cone
// broadcast to every lane, the quick decision, and find_angle's exact path.
// Internal to classify.
//
// An instruction set's operations are a struct of static functions, over its
// types `floats` (a float a lane), `ints` (an int32_t a lane), `doubles` and
// `mask` (a comparison's result), and `samples` (the truncated samples, as
// the kernel stores them). For the portable kernel a lane is a scalar: the
// compiler vectorises the loop around it. Each kernel keeps its own loads,
// packing and pre-test.
//
// The functions here are inlined into each kernel's flattened entry point
// (see classify_loop.hpp). A kernel whose functions carry a target attribute
// defines CONEMASK_LANES_TARGET as that attribute's string before including
// this header, which then gives the functions here the same target: a vector
// wider than the baseline's may only pass between functions compiled for it.
#pragma once

#include <cstdint>

#include "conemask/classify.hpp"
#include "cone_constants.hpp"
#include "classify_loop.hpp"

#if defined(CONEMASK_LANES_TARGET)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target(CONEMASK_LANES_TARGET))), apply_to = function)
#else
// GCC takes only a literal string here: the pragma is put together.
#define CONEMASK_PRAGMA(text) _Pragma(#text)
#define CONEMASK_TARGET_PRAGMA(instruction_sets) CONEMASK_PRAGMA(GCC target(instruction_sets))
#pragma GCC push_options
CONEMASK_TARGET_PRAGMA(CONEMASK_LANES_TARGET)
#endif
#endif

namespace conemask::detail {

// The cone, a copy in every lane.
template <typename Ops>
struct lane_cone {
    using floats = typename Ops::floats;
    floats r0, r1, r2, reference_length, min_cos, thresh;
    floats angle_fail_bound, angle_pass_bound, projection_scale, thresh_fail_bound, sample_margin;
    typename Ops::ints red_green, blue_zero;
    typename Ops::doubles factor;

    [[gnu::always_inline]] explicit lane_cone(const cone_constants& cone)
        : r0(Ops::splat(cone.r0)), r1(Ops::splat(cone.r1)), r2(Ops::splat(cone.r2)),
          reference_length(Ops::splat(cone.reference_length)), min_cos(Ops::splat(cone.min_cos)),
          thresh(Ops::splat(cone.thresh)), angle_fail_bound(Ops::splat(cone.angle_fail_bound)),
          angle_pass_bound(Ops::splat(cone.angle_pass_bound)), projection_scale(Ops::splat(cone.projection_scale)),
          thresh_fail_bound(Ops::splat(cone.thresh_fail_bound)), sample_margin(Ops::splat(cone.sample_margin)),
          red_green(Ops::splat(cone.red_green)), blue_zero(Ops::splat(cone.blue_zero)), factor(Ops::splat(projection_factor))
    {
    }
};

// The quick decision's outcome for a register of lanes.
template <typename Ops>
struct quick_decision {
    typename Ops::samples samples;  // right for every lane it decides
    typename Ops::mask undecided;   // the lanes of `open` left for the exact path
};

// The quick decision of make_cone() for lanes past the pre-test (`open`),
// given `scaled_dot` (q) and which lanes' angles pass: a lane is decided when
// its sample is settled and either its angle passes or it is not above the
// threshold. A lane outside `open` failed the pre-test, so its angle does
// not pass (fl(s K_fail) <= fl(s K_pass)) or it is not above the threshold
// (T_fail <= T): its sample is 0. With no angle to test, every lane passes.
template <typename Ops>
[[gnu::always_inline]] inline quick_decision<Ops> decide_quickly(const lane_cone<Ops>& c,
                                                                 const typename Ops::floats& scaled_dot,
                                                                 const typename Ops::mask& angle_passes,
                                                                 const typename Ops::mask& open)
{
    // |q| < 254: the truncations toward zero are defined.
    const typename Ops::ints low = Ops::truncate(Ops::sub(scaled_dot, c.sample_margin));
    const typename Ops::ints high = Ops::truncate(Ops::add(scaled_dot, c.sample_margin));
    // q is never NaN: "not above" is "at most".
    const typename Ops::mask not_above = Ops::at_most(scaled_dot, c.thresh);
    const typename Ops::mask decided = Ops::both(Ops::equal(low, high), Ops::either(angle_passes, not_above));
    return {Ops::keep(Ops::but_not(angle_passes, not_above), low), Ops::but_not(open, decided)};
}

// find_angle's exact path, lane by lane in the same order, with the angle
// test as a comparison of the cosine with min_cos: the samples. The sums
// that give `dot` drop find_angle's leading +0, which changes only the sign
// of a zero dot product; a zero of either sign gives the same comparisons
// and samples.
template <typename Ops>
[[gnu::always_inline]] inline typename Ops::samples exact_samples(const lane_cone<Ops>& c,
                                                                  const typename Ops::floats& dot,
                                                                  const typename Ops::floats& pixel_squared)
{
    const typename Ops::floats pixel_length = Ops::sqrt(pixel_squared);
    const typename Ops::floats cos_angle = Ops::div(dot, Ops::mul(c.reference_length, pixel_length));
    const typename Ops::floats projection = Ops::scale(Ops::mul(pixel_length, cos_angle), c.factor);
    // Selecting before truncating never converts a NaN; |projection| < 254
    // whenever it is selected.
    return Ops::truncate_selected(Ops::both(Ops::at_least(cos_angle, c.min_cos), Ops::above(projection, c.thresh)),
                                  projection);
}

}  // namespace conemask::detail

#if defined(CONEMASK_LANES_TARGET)
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
