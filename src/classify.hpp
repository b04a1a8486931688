// SPDX-License-Identifier: MIT
// Classification in bulk: find_angle followed by decide_sample for a block of
// pixels, bit-identical to them, through the fastest kernel this processor
// runs. The kernels live in classify_<instruction set>.cpp beside this unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "colour_geometry.hpp"

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
    bool selects_nothing;    // black reference, or no angle below the limit
    bool integer_sums;       // dot products exact in 32-bit integers: see make_cone()
    std::int32_t red_green;  // (r0, r1) as two 16-bit halves, r0 low, when integer_sums
    std::int32_t blue_zero;  // (r2, 0) likewise
};

cone make_cone(const colour& reference, float max_angle, std::int32_t thresh);

// Classifies `count` pixels of three bytes each into samples, bit-identical
// to find_angle and decide_sample for every input. Uses the kernel chosen
// once for this processor.
void classify_pixels(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

// The kernels classify_pixels chooses from. Each gives the same samples.
enum class kernel_kind {
    portable,     // plain C++, vectorised by the compiler for the baseline
    neon,         // Advanced SIMD intrinsics, on every 64-bit Arm processor
    avx2,         // AVX2 intrinsics
    avx512,       // AVX-512 F, BW, VL and VBMI intrinsics
    avx512_vnni,  // the same, summing with AVX-512 VNNI
};
inline constexpr std::array<kernel_kind, 5> kernel_kinds{kernel_kind::portable, kernel_kind::neon, kernel_kind::avx2,
                                                         kernel_kind::avx512, kernel_kind::avx512_vnni};
using kernel = void (*)(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

struct cpu_features {
    bool neon;
    bool avx2;
    bool avx512;  // F, BW, VL and VBMI together
    bool avx512_vnni;
};

// What this processor (and its operating system) supports.
cpu_features this_cpu();
// The fastest kernel for a processor with `features`: NEON on 64-bit Arm;
// on x86-64 the widest it runs.
kernel_kind choose_kernel(const cpu_features& features);
// The kernel of a kind, or nullptr when this build has none (a kind of
// another architecture).
kernel kernel_of(kernel_kind kind);
const char* kernel_name(kernel_kind kind);
// Whether this build has the kernel and this processor runs it.
bool runs_here(kernel_kind kind);

}  // namespace conemask
