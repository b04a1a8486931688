// SPDX-License-Identifier: MIT
// The Advanced SIMD (NEON) kernel for 64-bit Arm: the portable kernel's
// decisions with the same operations in the same order, four pixels to a
// 128-bit register. Every AArch64 processor has Advanced SIMD, so it needs
// no run-time check and no target attribute: it is built for the baseline.
//
// A chunk is read as two loads of sixteen pixels, which ld3 splits into
// their three channels. With integer sums the dot product and the squared
// length are formed with widening multiply-accumulates, exact in 32 bits.

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_lanes.hpp"
#include "classify_loop.hpp"
#include "kernel_table.hpp"

namespace conemask::detail {

namespace {

// Pixels a load splits into channels, and 32-bit lanes a register.
constexpr std::size_t load_pixels = 16;
constexpr std::size_t lanes = 4;
constexpr std::size_t quarters = load_pixels / lanes;

// What the quick decision needs of four pixels.
struct quad {
    float32x4_t dot, pixel_squared;
};

// The sixteen pixels of one load, as four quads.
struct sixteen {
    quad q[quarters];
};

// The lane operations of classify_lanes.hpp, four lanes to a register.
struct neon_ops {
    using floats = float32x4_t;
    using ints = int32x4_t;
    using doubles = float64x2_t;
    using mask = uint32x4_t;
    using samples = int32x4_t;
    static floats splat(float x) { return vdupq_n_f32(x); }
    static ints splat(std::int32_t x) { return vdupq_n_s32(x); }
    static doubles splat(double x) { return vdupq_n_f64(x); }
    static floats sqrt(floats x) { return vsqrtq_f32(x); }
    static floats mul(floats a, floats b) { return vmulq_f32(a, b); }
    static floats div(floats a, floats b) { return vdivq_f32(a, b); }
    // Multiplied in double precision, two lanes at a time, rounded back.
    static floats scale(floats x, doubles factor)
    {
        const float32x2_t low = vcvt_f32_f64(vmulq_f64(vcvt_f64_f32(vget_low_f32(x)), factor));
        return vcvt_high_f32_f64(low, vmulq_f64(vcvt_high_f64_f32(x), factor));
    }
    static floats add(floats a, floats b) { return vaddq_f32(a, b); }
    static floats sub(floats a, floats b) { return vsubq_f32(a, b); }
    static ints truncate(floats x) { return vcvtq_s32_f32(x); }  // toward zero
    static mask at_least(floats a, floats b) { return vcgeq_f32(a, b); }
    static mask above(floats a, floats b) { return vcgtq_f32(a, b); }
    static mask at_most(floats a, floats b) { return vcleq_f32(a, b); }
    static mask equal(ints a, ints b) { return vceqq_s32(a, b); }
    static mask both(mask a, mask b) { return vandq_u32(a, b); }
    static mask either(mask a, mask b) { return vorrq_u32(a, b); }
    static mask but_not(mask a, mask b) { return vbicq_u32(a, b); }
    static samples keep(mask selected, ints x) { return vandq_s32(vreinterpretq_s32_u32(selected), x); }
    // A rejected lane becomes +0 before the conversion.
    static samples truncate_selected(mask selected, floats x)
    {
        return vcvtq_s32_f32(vreinterpretq_f32_u32(vandq_u32(selected, vreinterpretq_u32_f32(x))));
    }
};

// A chunk's mask gathered four pixels at a time, in the pixels' order: each
// quad's lanes enter at the top four bits, and the earlier quads move down
// four. After the eight quads of a chunk, pixel i's bit is bit i of one of
// the lanes, and the lanes' bits are disjoint: their sum is the mask.
struct mask_gatherer {
    uint32x4_t bits = vdupq_n_u32(0);
    void add(uint32x4_t passed)
    {
        const uint32x4_t top = {1U << 28U, 1U << 29U, 1U << 30U, 1U << 31U};
        bits = vsraq_n_u32(vandq_u32(passed, top), bits, 4);
    }
    std::uint32_t mask() const { return vaddvq_u32(bits); }
};

template <bool integer_sums, bool every_angle>
struct neon_chunk : lane_cone<neon_ops> {
    int16x4_t reference_halves;  // r0, r1, r2, 0 as 16-bit integers, when integer_sums

    explicit neon_chunk(const cone_constants& cone)
        : lane_cone(cone),
          reference_halves(vreinterpret_s16_s32(vset_lane_s32(cone.blue_zero, vdup_n_s32(cone.red_green), 1)))
    {
    }

    // The dot products and squared lengths of the sixteen pixels from `rgb`.
    sixteen sums(const std::uint8_t* rgb) const
    {
        const uint8x16x3_t channels = vld3q_u8(rgb);
        const uint8x16_t red = channels.val[0];
        const uint8x16_t green = channels.val[1];
        const uint8x16_t blue = channels.val[2];
        // Squares of bytes fit 16 bits; their sums are exact in 32.
        const uint16x8_t squares_low[3] = {vmull_u8(vget_low_u8(red), vget_low_u8(red)),
                                           vmull_u8(vget_low_u8(green), vget_low_u8(green)),
                                           vmull_u8(vget_low_u8(blue), vget_low_u8(blue))};
        const uint16x8_t squares_high[3] = {vmull_high_u8(red, red), vmull_high_u8(green, green),
                                            vmull_high_u8(blue, blue)};
        const int16x8_t widened_low[3] = {vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(red))),
                                          vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(green))),
                                          vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(blue)))};
        const int16x8_t widened_high[3] = {vreinterpretq_s16_u16(vmovl_high_u8(red)),
                                           vreinterpretq_s16_u16(vmovl_high_u8(green)),
                                           vreinterpretq_s16_u16(vmovl_high_u8(blue))};
        sixteen s{};
#pragma GCC unroll 2
        for (std::size_t half = 0; half < 2; ++half) {
            const uint16x8_t* squares = half == 0 ? squares_low : squares_high;
            const int16x8_t* p = half == 0 ? widened_low : widened_high;
            quad& first = s.q[2 * half];
            quad& second = s.q[2 * half + 1];
            first.pixel_squared = vcvtq_f32_u32(
                vaddw_u16(vaddl_u16(vget_low_u16(squares[0]), vget_low_u16(squares[1])), vget_low_u16(squares[2])));
            second.pixel_squared =
                vcvtq_f32_u32(vaddw_high_u16(vaddl_high_u16(squares[0], squares[1]), squares[2]));
            if constexpr (integer_sums) {
                first.dot = vcvtq_f32_s32(vmlal_lane_s16(
                    vmlal_lane_s16(vmull_lane_s16(vget_low_s16(p[0]), reference_halves, 0), vget_low_s16(p[1]),
                                   reference_halves, 1),
                    vget_low_s16(p[2]), reference_halves, 2));
                second.dot = vcvtq_f32_s32(vmlal_high_lane_s16(
                    vmlal_high_lane_s16(vmull_high_lane_s16(p[0], reference_halves, 0), p[1], reference_halves, 1),
                    p[2], reference_halves, 2));
            } else {
                first.dot = float_dot(vmovl_u16(vget_low_u16(vreinterpretq_u16_s16(p[0]))),
                                      vmovl_u16(vget_low_u16(vreinterpretq_u16_s16(p[1]))),
                                      vmovl_u16(vget_low_u16(vreinterpretq_u16_s16(p[2]))));
                second.dot = float_dot(vmovl_high_u16(vreinterpretq_u16_s16(p[0])),
                                       vmovl_high_u16(vreinterpretq_u16_s16(p[1])),
                                       vmovl_high_u16(vreinterpretq_u16_s16(p[2])));
            }
        }
        return s;
    }

    // (p0 r0 + p1 r1) + p2 r2, each operation rounded: no fused multiply-add.
    float32x4_t float_dot(uint32x4_t p0, uint32x4_t p1, uint32x4_t p2) const
    {
        return vaddq_f32(vaddq_f32(vmulq_f32(vcvtq_f32_u32(p0), r0), vmulq_f32(vcvtq_f32_u32(p1), r1)),
                         vmulq_f32(vcvtq_f32_u32(p2), r2));
    }

    // dot |dot|, which the angle bounds are compared with.
    static float32x4_t signed_square(const quad& p) { return vmulq_f32(p.dot, vabsq_f32(p.dot)); }

    // All ones in the lanes of the pixels that pass the pre-test.
    uint32x4_t pretest(const quad& p, float32x4_t scaled_dot) const
    {
        const uint32x4_t above = vcgtq_f32(scaled_dot, thresh_fail_bound);
        if constexpr (every_angle) {
            return above;
        } else {
            return vandq_u32(above, vcgeq_f32(signed_square(p), vmulq_f32(p.pixel_squared, angle_fail_bound)));
        }
    }

    // The chunk step: its mask is the angle's pre-test, or without an angle
    // test the threshold's.
    template <bool decide_all>
    std::uint32_t operator()(const std::uint8_t* rgb, std::int16_t* samples, std::bool_constant<decide_all> /*mode*/) const
    {
        if constexpr (!decide_all) {
            // The pre-test of the whole chunk first: a chunk where no pixel
            // passes it, most chunks of a typical run, costs no more.
            mask_gatherer open;
#pragma GCC unroll 2
            for (std::size_t load = 0; load < chunk_pixels / load_pixels; ++load) {
                const sixteen s = sums(rgb + 3 * load_pixels * load);
#pragma GCC unroll 4
                for (const quad& p : s.q) {
                    open.add(pretest(p, vmulq_f32(p.dot, projection_scale)));
                }
            }
            if (open.mask() == 0) {
#pragma GCC unroll 4
                for (std::size_t i = 0; i < chunk_pixels; i += 8) {
                    vst1q_s16(samples + i, vdupq_n_s16(0));
                }
                return 0;
            }
        }
        // The quick decision, as the sums come, sixteen pixels a load: keeping
        // the whole chunk's sums from the pre-test would need more registers
        // than there are. The loops are unrolled and nothing branches until
        // the whole chunk is decided, so that everything stays in registers.
        mask_gatherer open;
        uint32x4_t undecided = vdupq_n_u32(0);
#pragma GCC unroll 2
        for (std::size_t load = 0; load < chunk_pixels / load_pixels; ++load) {
            const sixteen s = sums(rgb + 3 * load_pixels * load);
#pragma GCC unroll 2
            for (std::size_t pair = 0; pair < quarters; pair += 2) {
                const int32x4_t first = quick(s.q[pair], open, undecided);
                const int32x4_t second = quick(s.q[pair + 1], open, undecided);
                // Samples lie within +-254: narrowing keeps them.
                vst1q_s16(samples + load_pixels * load + lanes * pair,
                          vcombine_s16(vmovn_s32(first), vmovn_s32(second)));
            }
        }
        if (vmaxvq_u32(undecided) != 0) [[unlikely]] {
            exact(rgb, samples);
        }
        return open.mask();
    }

    // The quick decision for four pixels; the samples as 32-bit integers.
    // Adds the pixels past the pre-test to `open` (with an angle test, its
    // angle part alone), and those of them that it leaves undecided to
    // `undecided`.
    int32x4_t quick(const quad& p, mask_gatherer& open, uint32x4_t& undecided) const
    {
        const float32x4_t scaled_dot = vmulq_f32(p.dot, projection_scale);
        uint32x4_t passed = vcgtq_f32(scaled_dot, thresh_fail_bound);
        uint32x4_t angle_passes = vdupq_n_u32(~0U);
        if constexpr (!every_angle) {
            // The angle's part of the pre-test is enough here: a pixel at or
            // below the threshold's bound is not above the threshold, and is
            // decided once its sample is settled. Deciding it costs less than
            // testing that bound too.
            const float32x4_t square = signed_square(p);
            passed = vcgeq_f32(square, vmulq_f32(p.pixel_squared, angle_fail_bound));
            angle_passes = vcgeq_f32(square, vmulq_f32(p.pixel_squared, angle_pass_bound));
        }
        open.add(passed);
        const quick_decision<neon_ops> quick = decide_quickly<neon_ops>(*this, scaled_dot, angle_passes, passed);
        undecided = vorrq_u32(undecided, quick.undecided);
        return quick.samples;
    }

    // find_angle's exact path for the whole chunk, for one that the quick
    // decision leaves undecided.
    void exact(const std::uint8_t* rgb, std::int16_t* samples) const
    {
        for (std::size_t load = 0; load < chunk_pixels / load_pixels; ++load) {
            const sixteen s = sums(rgb + 3 * load_pixels * load);
            for (std::size_t pair = 0; pair < quarters; pair += 2) {
                vst1q_s16(samples + load_pixels * load + lanes * pair,
                          vcombine_s16(vmovn_s32(exact(s.q[pair])), vmovn_s32(exact(s.q[pair + 1]))));
            }
        }
    }

    // find_angle's exact path for four pixels; the samples as 32-bit
    // integers.
    int32x4_t exact(const quad& p) const { return exact_samples<neon_ops>(*this, p.dot, p.pixel_squared); }
};

}  // namespace

void classify_pixels_neon(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    classify_with<neon_chunk>(cone, rgb, samples, count);
}

}  // namespace conemask::detail
