// SPDX-License-Identifier: MIT
// Colour geometry: where a pixel's colour points relative to a reference colour.
//
// Every result here is part of the output format: the arithmetic is single
// precision in a fixed order, and this unit must be built without contraction
// into fused multiply-add (-ffp-contract=off) and without -ffast-math.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace conemask {

// Red, green, blue. A pixel's components come from bytes (0 to 255); the
// reference colour may hold any 32-bit values.
using colour = std::array<std::int32_t, 3>;

// Returns the angle in radians between `reference` and `pixel`, and stores in
// `projection_out` the length of the pixel along the reference direction scaled
// by 255/445. Both are NaN when either colour is black (0/0).
float find_angle(const colour& reference, const colour& pixel, float& projection_out);

// The angle whose cosine is `cos_angle`, clamped to [-1, 1] first so that a
// cosine rounded just past 1 still gives 0. NaN stays NaN.
float angle_from_cos(float cos_angle);

// The sample written for one pixel: its projection truncated toward zero when
// the angle is below `max_angle` and the projection above `thresh`, else 0.
// A NaN angle or projection fails its comparison and gives 0.
std::int16_t decide_sample(float angle, float projection, float max_angle, std::int32_t thresh);

// The smallest cosine whose angle is below `max_angle`: an unclamped cosine c
// passes the angle test exactly when c >= min_cos(max_angle). -infinity when
// every cosine passes, NaN when none does. Sound because angle_from_cos never
// increases as its argument grows (checked over every float in [-1, 1] by the
// long-labelled test).
float min_cos(float max_angle);

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
    bool selects_nothing;    // black reference, or no angle below the limit
    bool integer_sums;       // dot products exact in 32-bit integers: see make_cone()
    std::int32_t red_green;  // (r0, r1) as two 16-bit halves, r0 low, when integer_sums
    std::int32_t blue_zero;  // (r2, 0) likewise
};

cone make_cone(const colour& reference, float max_angle, std::int32_t thresh);

// The batch form of find_angle followed by decide_sample: classifies `count`
// pixels of three bytes each into samples, bit-identical to the scalar path
// for every input. Uses the kernel chosen once for this processor.
void classify_pixels(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

// The kernels classify_pixels chooses from. Each gives the same samples.
// From narrowest to widest: a processor that runs one kind runs those before it.
enum class kernel_kind {
    portable,     // plain C++, vectorised by the compiler for the baseline
    avx2,         // AVX2 intrinsics
    avx512,       // AVX-512 F, BW, VL and VBMI intrinsics
    avx512_vnni,  // the same, summing with AVX-512 VNNI
};
inline constexpr std::array<kernel_kind, 4> kernel_kinds{kernel_kind::portable, kernel_kind::avx2,
                                                         kernel_kind::avx512, kernel_kind::avx512_vnni};
using kernel = void (*)(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

struct cpu_features {
    bool avx2;
    bool avx512;  // F, BW, VL and VBMI together
    bool avx512_vnni;
};

// What this processor (and its operating system) supports; all false off x86.
cpu_features this_cpu();
// The fastest kernel for a processor with `features`.
kernel_kind choose_kernel(const cpu_features& features);
// The kernel of a kind, or nullptr when this build has none (x86 kinds elsewhere).
kernel kernel_of(kernel_kind kind);
const char* kernel_name(kernel_kind kind);
// Whether this build has the kernel and this processor runs it.
bool runs_here(kernel_kind kind);

}  // namespace conemask
