// SPDX-License-Identifier: MIT
// The WebAssembly SIMD kernel: the portable kernel's decisions with the same
// operations in the same order, four pixels to a 128-bit register. Built for
// WebAssembly only, this file with -msimd128 (CMakeLists.txt).
//
// WebAssembly has no run-time check of features: a module that holds SIMD128
// instructions either validates, and then runs them, or does not load at
// all. Every current browser runs SIMD128 (Chrome and Edge since 91, Firefox
// since 89, Safari since 16.4), and so does node since 16, so the WebAssembly
// build chooses this kernel unconditionally.
//
// A group of four pixels is loaded as 16 bytes, of which 12 are its own, and
// swizzled into lanes: red and green as the two 16-bit halves of a 32-bit
// lane, blue in the low half of another, so that i32x4.dot_i16x8 with the
// reference's halves gives the exact integer dot products and squared lengths.

#include <wasm_simd128.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_lanes.hpp"
#include "classify_loop.hpp"
#include "kernel_table.hpp"

namespace conemask::detail {

namespace {

// Eight groups of four pixels, one 32-bit lane per pixel.
constexpr std::size_t group_pixels = 4;
constexpr std::size_t groups = chunk_pixels / group_pixels;
constexpr std::size_t group_bytes = 3 * group_pixels;
// The last group is loaded from this many bytes early, so that no load
// reaches past the chunk: its pixels start there in its 16 bytes.
constexpr std::size_t last_group_skip = 16 - group_bytes;

// The lane operations of classify_lanes.hpp, four lanes to a register.
struct wasm_ops {
    using floats = v128_t;
    using ints = v128_t;
    using doubles = v128_t;
    using mask = v128_t;
    using samples = v128_t;  // 32-bit lanes
    static v128_t splat(float x) { return wasm_f32x4_splat(x); }
    static v128_t splat(std::int32_t x) { return wasm_i32x4_splat(x); }
    static v128_t splat(double x) { return wasm_f64x2_splat(x); }
    static v128_t sqrt(v128_t x) { return wasm_f32x4_sqrt(x); }
    static v128_t mul(v128_t a, v128_t b) { return wasm_f32x4_mul(a, b); }
    static v128_t div(v128_t a, v128_t b) { return wasm_f32x4_div(a, b); }
    // Multiplied in double precision, two lanes at a time, rounded back.
    static v128_t scale(v128_t x, v128_t factor)
    {
        const v128_t low = wasm_f32x4_demote_f64x2_zero(wasm_f64x2_mul(wasm_f64x2_promote_low_f32x4(x), factor));
        const v128_t high = wasm_f32x4_demote_f64x2_zero(
            wasm_f64x2_mul(wasm_f64x2_promote_low_f32x4(wasm_i32x4_shuffle(x, x, 2, 3, 2, 3)), factor));
        return wasm_i32x4_shuffle(low, high, 0, 1, 4, 5);
    }
    static v128_t add(v128_t a, v128_t b) { return wasm_f32x4_add(a, b); }
    static v128_t sub(v128_t a, v128_t b) { return wasm_f32x4_sub(a, b); }
    // |x| < 254 wherever it is used: saturation never comes into play.
    static v128_t truncate(v128_t x) { return wasm_i32x4_trunc_sat_f32x4(x); }
    static v128_t at_least(v128_t a, v128_t b) { return wasm_f32x4_ge(a, b); }
    static v128_t above(v128_t a, v128_t b) { return wasm_f32x4_gt(a, b); }
    static v128_t at_most(v128_t a, v128_t b) { return wasm_f32x4_le(a, b); }
    static v128_t equal(v128_t a, v128_t b) { return wasm_i32x4_eq(a, b); }
    static v128_t both(v128_t a, v128_t b) { return wasm_v128_and(a, b); }
    static v128_t either(v128_t a, v128_t b) { return wasm_v128_or(a, b); }
    static v128_t but_not(v128_t a, v128_t b) { return wasm_v128_andnot(a, b); }
    static v128_t keep(v128_t selected, v128_t x) { return wasm_v128_and(selected, x); }
    // A rejected lane becomes +0 before the conversion.
    static v128_t truncate_selected(v128_t selected, v128_t x)
    {
        return wasm_i32x4_trunc_sat_f32x4(wasm_v128_and(selected, x));
    }
};

// Swizzle indices that put, for the four pixels from byte `start`, red and
// green into the two 16-bit halves of each lane, or blue into the low half;
// an index of 16 or more gives a zero byte.
constexpr std::int8_t zero_byte = -1;
template <std::size_t start>
v128_t red_green_bytes()
{
    return wasm_i8x16_const(start, zero_byte, start + 1, zero_byte, start + 3, zero_byte, start + 4, zero_byte,
                            start + 6, zero_byte, start + 7, zero_byte, start + 9, zero_byte, start + 10, zero_byte);
}
template <std::size_t start>
v128_t blue_bytes()
{
    return wasm_i8x16_const(start + 2, zero_byte, zero_byte, zero_byte, start + 5, zero_byte, zero_byte, zero_byte,
                            start + 8, zero_byte, zero_byte, zero_byte, start + 11, zero_byte, zero_byte, zero_byte);
}

template <bool integer_sums, bool every_angle>
struct wasm_chunk : lane_cone<wasm_ops> {
    using lane_cone::lane_cone;

    // Group g's pixels as their red-green and blue lanes.
    static void load_group(const std::uint8_t* rgb, std::size_t g, v128_t& rg, v128_t& b)
    {
        if (g + 1 < groups) {
            const v128_t bytes = wasm_v128_load(rgb + group_bytes * g);
            rg = wasm_i8x16_swizzle(bytes, red_green_bytes<0>());
            b = wasm_i8x16_swizzle(bytes, blue_bytes<0>());
        } else {
            const v128_t bytes = wasm_v128_load(rgb + group_bytes * g - last_group_skip);
            rg = wasm_i8x16_swizzle(bytes, red_green_bytes<last_group_skip>());
            b = wasm_i8x16_swizzle(bytes, blue_bytes<last_group_skip>());
        }
    }

    // The squared lengths, exact: each at most 3 * 255^2.
    static v128_t squares(v128_t rg, v128_t b)
    {
        return wasm_f32x4_convert_i32x4(wasm_i32x4_add(wasm_i32x4_dot_i16x8(rg, rg), wasm_i32x4_dot_i16x8(b, b)));
    }

    // What the quick decision needs of four pixels.
    struct group {
        v128_t dot, pixel_squared, signed_square, scaled_dot, open;  // open: past the pre-test
    };

    // The first stage for four pixels: the dot products and, with an angle
    // test, the squared lengths and the angle's pre-test.
    group first_stage(v128_t rg, v128_t b) const
    {
        group p{};
        // Without an angle test only the exact path needs the squared
        // lengths: it computes them itself.
        if constexpr (!every_angle) {
            p.pixel_squared = squares(rg, b);
        }
        if constexpr (integer_sums) {
            p.dot = wasm_f32x4_convert_i32x4(
                wasm_i32x4_add(wasm_i32x4_dot_i16x8(rg, red_green), wasm_i32x4_dot_i16x8(b, blue_zero)));
        } else {
            const v128_t p0 = wasm_f32x4_convert_i32x4(wasm_v128_and(rg, wasm_i32x4_const_splat(low_half)));
            const v128_t p1 = wasm_f32x4_convert_i32x4(wasm_u32x4_shr(rg, half_bits));
            const v128_t p2 = wasm_f32x4_convert_i32x4(b);
            p.dot = wasm_f32x4_add(wasm_f32x4_add(wasm_f32x4_mul(p0, r0), wasm_f32x4_mul(p1, r1)),
                                   wasm_f32x4_mul(p2, r2));
        }
        if constexpr (!every_angle) {
            p.signed_square = wasm_f32x4_mul(p.dot, wasm_f32x4_abs(p.dot));
            p.open = wasm_f32x4_ge(p.signed_square, wasm_f32x4_mul(p.pixel_squared, angle_fail_bound));
        }
        return p;
    }

    // The chunk's first stage; with an angle test, returns the pixels past
    // its pre-test, one bit each.
    std::uint32_t first_stage(const std::uint8_t* rgb, group* stages) const
    {
        std::uint32_t open = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            v128_t rg;
            v128_t b;
            load_group(rgb, g, rg, b);
            stages[g] = first_stage(rg, b);
            if constexpr (!every_angle) {
                open |= wasm_i32x4_bitmask(stages[g].open) << (group_pixels * g);
            }
        }
        return open;
    }

    // The threshold's pre-test, which narrows `open`.
    void second_stage(group& p) const
    {
        p.scaled_dot = wasm_f32x4_mul(p.dot, projection_scale);
        const v128_t above_bound = wasm_f32x4_gt(p.scaled_dot, thresh_fail_bound);
        if constexpr (every_angle) {
            p.open = above_bound;
        } else {
            p.open = wasm_v128_and(p.open, above_bound);
        }
    }

    // With an angle test, the shared loop lists the pixels past its
    // pre-test where they are few and scattered (see classify_loop.hpp).
    static constexpr bool lists_open = !every_angle;

    std::uint32_t open_pixels(const std::uint8_t* rgb) const
    {
        group stages[groups];
        return first_stage(rgb, stages);
    }

    // Decides the listed pixels, four at a time: `count` is a multiple of
    // eight, and a pixel may be listed more than once.
    void decide_listed(const std::uint8_t* rgb, std::int16_t* samples, const std::uint16_t* listed,
                       std::size_t count) const
    {
        const auto word = [rgb](std::uint16_t at) {
            const std::uint8_t* pixel = rgb + 3 * std::size_t{at};
            return static_cast<std::int32_t>(pixel[0] | pixel[1] << 8 | pixel[2] << 16);
        };
        // One pixel a lane, from its first byte.
        const v128_t red_green_of_words = wasm_i8x16_const(0, zero_byte, 1, zero_byte, 4, zero_byte, 5, zero_byte, 8,
                                                           zero_byte, 9, zero_byte, 12, zero_byte, 13, zero_byte);
        const v128_t blue_of_words = wasm_i8x16_const(2, zero_byte, zero_byte, zero_byte, 6, zero_byte, zero_byte,
                                                      zero_byte, 10, zero_byte, zero_byte, zero_byte, 14, zero_byte,
                                                      zero_byte, zero_byte);
        for (std::size_t i = 0; i < count; i += group_pixels) {
            const std::uint16_t* at = listed + i;
            const v128_t pixels = wasm_i32x4_make(word(at[0]), word(at[1]), word(at[2]), word(at[3]));
            group p = first_stage(wasm_i8x16_swizzle(pixels, red_green_of_words),
                                  wasm_i8x16_swizzle(pixels, blue_of_words));
            second_stage(p);
            const v128_t decided = decide(p);
            samples[at[0]] = static_cast<std::int16_t>(wasm_i32x4_extract_lane(decided, 0));
            samples[at[1]] = static_cast<std::int16_t>(wasm_i32x4_extract_lane(decided, 1));
            samples[at[2]] = static_cast<std::int16_t>(wasm_i32x4_extract_lane(decided, 2));
            samples[at[3]] = static_cast<std::int16_t>(wasm_i32x4_extract_lane(decided, 3));
        }
    }

    // The chunk step: its mask is the angle's pre-test, or without an angle
    // test the threshold's.
    template <bool decide_all>
    std::uint32_t operator()(const std::uint8_t* rgb, std::int16_t* samples,
                             std::bool_constant<decide_all> /*mode*/) const
    {
        group stages[groups];
        const std::uint32_t angle_open = first_stage(rgb, stages);
        // Outside the full mode, a chunk that the angle alone rejects costs
        // no more: most chunks of a typical run.
        if (!decide_all && !every_angle && angle_open == 0) {
            reject(samples);
            return 0;
        }
        std::uint32_t open = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            second_stage(stages[g]);
            open |= wasm_i32x4_bitmask(stages[g].open) << (group_pixels * g);
        }
        if (!decide_all && open == 0) {
            reject(samples);
            return angle_open;
        }
        for (std::size_t g = 0; g < groups; g += 2) {
            // Samples lie within +-254 and masks are 0 or -1: narrowing keeps both.
            wasm_v128_store(samples + group_pixels * g,
                            wasm_i16x8_narrow_i32x4(decide(stages[g], rgb, g), decide(stages[g + 1], rgb, g + 1)));
        }
        return every_angle ? open : angle_open;
    }

    // A chunk where no pixel passed the pre-test.
    static void reject(std::int16_t* samples)
    {
        for (std::size_t i = 0; i < chunk_pixels; i += 8) {
            wasm_v128_store(samples + i, wasm_i16x8_const_splat(0));
        }
    }

    // The quick decision for four pixels, and the exact path for all four
    // when it leaves any undecided; the samples as 32-bit integers.
    v128_t decide(const group& p, const std::uint8_t* rgb = nullptr, std::size_t g = 0) const
    {
        v128_t angle_passes = wasm_i32x4_const_splat(-1);
        if constexpr (!every_angle) {
            angle_passes = wasm_f32x4_ge(p.signed_square, wasm_f32x4_mul(p.pixel_squared, angle_pass_bound));
        }
        const quick_decision<wasm_ops> quick = decide_quickly<wasm_ops>(*this, p.scaled_dot, angle_passes, p.open);
        if (wasm_v128_any_true(quick.undecided)) [[unlikely]] {
            if constexpr (every_angle) {
                // Without an angle test the first stage left the squared lengths out.
                v128_t rg;
                v128_t b;
                load_group(rgb, g, rg, b);
                return exact_samples<wasm_ops>(*this, p.dot, squares(rg, b));
            } else {
                return exact_samples<wasm_ops>(*this, p.dot, p.pixel_squared);
            }
        }
        return quick.samples;
    }
};

}  // namespace

[[gnu::flatten]] void classify_pixels_wasm_simd128(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples,
                                                   std::size_t count)
{
    classify_with<wasm_chunk>(cone, rgb, samples, count);
}

}  // namespace conemask::detail
