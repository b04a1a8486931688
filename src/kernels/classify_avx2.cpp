// SPDX-License-Identifier: MIT
// The AVX2 kernel: the portable kernel's decisions with the same operations
// in the same order, eight pixels to a 256-bit register. It runs only where
// choose_kernel() picked it for a processor with AVX2.
//
// Every function here carries the AVX2 target attribute; nothing else in the
// build is compiled for it. The entry point is flattened, so the shared loop
// of classify_loop.hpp and the chunk steps are inlined into it.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_loop.hpp"
#include "kernel_table.hpp"

// Target strings must be literals.
#define CONEMASK_AVX2 "avx2"
#define CONEMASK_LANES_TARGET CONEMASK_AVX2
#include "classify_lanes.hpp"

namespace conemask::detail {

namespace {

// Four groups of eight pixels, one 32-bit lane per pixel.
constexpr std::size_t avx2_group_pixels = 8;
constexpr std::size_t avx2_groups = chunk_pixels / avx2_group_pixels;

// The lane operations of classify_lanes.hpp, eight lanes to a register.
struct avx2_ops {
    using floats = __m256;
    using ints = __m256i;
    using doubles = __m256d;
    using mask = __m256;
    using samples = __m256i;  // 32-bit lanes
    [[gnu::target(CONEMASK_AVX2)]] static floats splat(float x) { return _mm256_set1_ps(x); }
    [[gnu::target(CONEMASK_AVX2)]] static ints splat(std::int32_t x) { return _mm256_set1_epi32(x); }
    [[gnu::target(CONEMASK_AVX2)]] static doubles splat(double x) { return _mm256_set1_pd(x); }
    [[gnu::target(CONEMASK_AVX2)]] static floats sqrt(floats x) { return _mm256_sqrt_ps(x); }
    [[gnu::target(CONEMASK_AVX2)]] static floats mul(floats a, floats b) { return _mm256_mul_ps(a, b); }
    [[gnu::target(CONEMASK_AVX2)]] static floats div(floats a, floats b) { return _mm256_div_ps(a, b); }
    // Multiplied in double precision, four lanes at a time, rounded back.
    [[gnu::target(CONEMASK_AVX2)]] static floats scale(floats x, doubles factor)
    {
        const __m128 low = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), factor));
        const __m128 high = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), factor));
        return _mm256_set_m128(high, low);
    }
    [[gnu::target(CONEMASK_AVX2)]] static floats add(floats a, floats b) { return _mm256_add_ps(a, b); }
    [[gnu::target(CONEMASK_AVX2)]] static floats sub(floats a, floats b) { return _mm256_sub_ps(a, b); }
    [[gnu::target(CONEMASK_AVX2)]] static ints truncate(floats x) { return _mm256_cvttps_epi32(x); }
    [[gnu::target(CONEMASK_AVX2)]] static mask at_least(floats a, floats b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    [[gnu::target(CONEMASK_AVX2)]] static mask above(floats a, floats b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    [[gnu::target(CONEMASK_AVX2)]] static mask at_most(floats a, floats b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    [[gnu::target(CONEMASK_AVX2)]] static mask equal(ints a, ints b)
    {
        return _mm256_castsi256_ps(_mm256_cmpeq_epi32(a, b));
    }
    [[gnu::target(CONEMASK_AVX2)]] static mask both(mask a, mask b) { return _mm256_and_ps(a, b); }
    [[gnu::target(CONEMASK_AVX2)]] static mask either(mask a, mask b) { return _mm256_or_ps(a, b); }
    [[gnu::target(CONEMASK_AVX2)]] static mask but_not(mask a, mask b) { return _mm256_andnot_ps(b, a); }
    [[gnu::target(CONEMASK_AVX2)]] static samples keep(mask selected, ints x)
    {
        return _mm256_and_si256(_mm256_castps_si256(selected), x);
    }
    // A rejected lane becomes +0 before the conversion.
    [[gnu::target(CONEMASK_AVX2)]] static samples truncate_selected(mask selected, floats x)
    {
        return _mm256_cvttps_epi32(_mm256_and_ps(selected, x));
    }
};

template <bool integer_sums, bool every_angle>
struct avx2_chunk : lane_cone<avx2_ops> {
    [[gnu::target(CONEMASK_AVX2)]] explicit avx2_chunk(const cone_constants& cone) : lane_cone(cone) {}

    // Group g's 24 bytes in two 128-bit lanes: pixels 0-3 from the low
    // lane's first byte, pixels 4-7 from the high lane's fifth. The high lane
    // is loaded from 4 bytes early, so that no load reaches past the chunk.
    // Two loads cost no shuffle; one load and a permute across lanes do.
    static constexpr std::size_t high_lane_skip = 4;
    [[gnu::target(CONEMASK_AVX2)]] static __m256i load_group(const std::uint8_t* rgb, std::size_t g)
    {
        const std::uint8_t* group_bytes = rgb + 3 * avx2_group_pixels * g;
        return _mm256_loadu2_m128i(
            reinterpret_cast<const __m128i*>(group_bytes + 3 * avx2_group_pixels / 2 - high_lane_skip),
            reinterpret_cast<const __m128i*>(group_bytes));
    }

    // Per pixel, red and green as the two 16-bit halves of its lane, and
    // blue in the low half of another, from a group as load_group gives it.
    [[gnu::target(CONEMASK_AVX2)]] static __m256i red_green_bytes()
    {
        return _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1, 4, -1, 5, -1, 7, -1, 8, -1,
                                10, -1, 11, -1, 13, -1, 14, -1);
    }
    [[gnu::target(CONEMASK_AVX2)]] static __m256i blue_bytes()
    {
        return _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1,
                                -1, 12, -1, -1, -1, 15, -1, -1, -1);
    }

    // The squared lengths, exact: each at most 3 * 255^2.
    [[gnu::target(CONEMASK_AVX2)]] static __m256 squares(__m256i rg, __m256i b)
    {
        return _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_madd_epi16(rg, rg), _mm256_madd_epi16(b, b)));
    }

    // What the quick decision needs of eight pixels.
    struct group {
        __m256 dot, pixel_squared, signed_square, scaled_dot, open;  // open: past the pre-test
    };

    // The first stage for eight pixels: the dot products and, with an angle
    // test, the squared lengths and the angle's pre-test.
    [[gnu::target(CONEMASK_AVX2)]] group first_stage(__m256i rg, __m256i b) const
    {
        group p{};
        // Without an angle test only the exact path needs the squared
        // lengths: it computes them itself.
        if constexpr (!every_angle) {
            p.pixel_squared = squares(rg, b);
        }
        if constexpr (integer_sums) {
            p.dot = _mm256_cvtepi32_ps(
                _mm256_add_epi32(_mm256_madd_epi16(rg, red_green), _mm256_madd_epi16(b, blue_zero)));
        } else {
            const __m256 p0 = _mm256_cvtepi32_ps(_mm256_and_si256(rg, _mm256_set1_epi32(low_half)));
            const __m256 p1 = _mm256_cvtepi32_ps(_mm256_srli_epi32(rg, half_bits));
            const __m256 p2 = _mm256_cvtepi32_ps(b);
            p.dot = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(p0, r0), _mm256_mul_ps(p1, r1)), _mm256_mul_ps(p2, r2));
        }
        if constexpr (!every_angle) {
            p.signed_square = _mm256_mul_ps(p.dot, _mm256_andnot_ps(_mm256_set1_ps(-0.0F), p.dot));
            p.open = _mm256_cmp_ps(p.signed_square, _mm256_mul_ps(p.pixel_squared, angle_fail_bound), _CMP_GE_OQ);
        }
        return p;
    }

    // The chunk's first stage; with an angle test, returns the pixels past
    // its pre-test, one bit each.
    [[gnu::target(CONEMASK_AVX2)]] std::uint32_t first_stage(const std::uint8_t* rgb, group* groups) const
    {
        std::uint32_t open = 0;
        for (std::size_t g = 0; g < avx2_groups; ++g) {
            const __m256i pixels = load_group(rgb, g);
            groups[g] = first_stage(_mm256_shuffle_epi8(pixels, red_green_bytes()),
                                    _mm256_shuffle_epi8(pixels, blue_bytes()));
            if constexpr (!every_angle) {
                open |= static_cast<std::uint32_t>(_mm256_movemask_ps(groups[g].open)) << (avx2_group_pixels * g);
            }
        }
        return open;
    }

    // The threshold's pre-test, which narrows `open`.
    [[gnu::target(CONEMASK_AVX2)]] void second_stage(group& p) const
    {
        p.scaled_dot = _mm256_mul_ps(p.dot, projection_scale);
        const __m256 above_bound = _mm256_cmp_ps(p.scaled_dot, thresh_fail_bound, _CMP_GT_OQ);
        if constexpr (every_angle) {
            p.open = above_bound;
        } else {
            p.open = _mm256_and_ps(p.open, above_bound);
        }
    }

    // With an angle test, the shared loop lists the pixels past its
    // pre-test where they are few and scattered (see classify_loop.hpp).
    static constexpr bool lists_open = !every_angle;

    [[gnu::target(CONEMASK_AVX2)]] std::uint32_t open_pixels(const std::uint8_t* rgb) const
    {
        group groups[avx2_groups];
        return first_stage(rgb, groups);
    }

    // Decides the listed pixels, eight at a time: `count` is a multiple of
    // eight, and a pixel may be listed more than once.
    [[gnu::target(CONEMASK_AVX2)]] void decide_listed(const std::uint8_t* rgb, std::int16_t* samples,
                                                      const std::uint16_t* listed, std::size_t count) const
    {
        // One pixel a lane: red and green as its two 16-bit halves, blue in
        // the low half of another.
        const __m256i red_green_of_words = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,
                                                            0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
        const __m256i blue_of_words = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1,
                                                       2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
        const auto word = [rgb](std::uint16_t at) {
            const std::uint8_t* pixel = rgb + 3 * std::size_t{at};
            return static_cast<int>(pixel[0] | pixel[1] << 8 | pixel[2] << 16);
        };
        for (std::size_t i = 0; i < count; i += avx2_group_pixels) {
            const std::uint16_t* at = listed + i;
            const __m256i pixels = _mm256_setr_epi32(word(at[0]), word(at[1]), word(at[2]), word(at[3]), word(at[4]),
                                                     word(at[5]), word(at[6]), word(at[7]));
            group p = first_stage(_mm256_shuffle_epi8(pixels, red_green_of_words),
                                  _mm256_shuffle_epi8(pixels, blue_of_words));
            second_stage(p);
            alignas(sizeof(__m256i)) std::int32_t decided[avx2_group_pixels];
            _mm256_store_si256(reinterpret_cast<__m256i*>(decided), decide(p));
            for (std::size_t j = 0; j < avx2_group_pixels; ++j) {
                samples[at[j]] = static_cast<std::int16_t>(decided[j]);
            }
        }
    }

    // The chunk step: its mask is the angle's pre-test, or without an angle
    // test the threshold's.
    template <bool decide_all>
    [[gnu::target(CONEMASK_AVX2)]] std::uint32_t operator()(const std::uint8_t* rgb, std::int16_t* samples,
                                                            std::bool_constant<decide_all> /*mode*/) const
    {
        group groups[avx2_groups];
        const std::uint32_t angle_open = first_stage(rgb, groups);
        // Outside the full mode, a chunk that the angle alone rejects costs
        // no more: most chunks of a typical run.
        if (!decide_all && !every_angle && angle_open == 0) {
            return reject(samples);
        }
        std::uint32_t open = 0;
        for (std::size_t g = 0; g < avx2_groups; ++g) {
            second_stage(groups[g]);
            open |= static_cast<std::uint32_t>(_mm256_movemask_ps(groups[g].open)) << (avx2_group_pixels * g);
        }
        if (!decide_all && open == 0) {
            reject(samples);
            return angle_open;
        }
        for (std::size_t g = 0; g < avx2_groups; g += 2) {
            __m256i packed{};
            if constexpr (every_angle) {
                packed = decide_pair(groups[g], groups[g + 1], rgb, g);
            } else {
                packed = pack(decide(groups[g]), decide(groups[g + 1]));
            }
            // The permute puts the pixels of the two groups back in order.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + avx2_group_pixels * g),
                                _mm256_permute4x64_epi64(packed, 0xD8));
        }
        return every_angle ? open : angle_open;
    }

    // A chunk where no pixel passed the pre-test.
    [[gnu::target(CONEMASK_AVX2)]] static std::uint32_t reject(std::int16_t* samples)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples), _mm256_setzero_si256());
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 16), _mm256_setzero_si256());
        return 0;
    }

    // Two groups' 32-bit lanes as sixteen 16-bit ones. packs works within
    // 128-bit lanes: first's 0-3, second's 0-3, first's 4-7, second's 4-7.
    // Masks stay masks, and samples (within +-254) do not saturate.
    [[gnu::target(CONEMASK_AVX2)]] static __m256i pack(__m256i first, __m256i second)
    {
        return _mm256_packs_epi32(first, second);
    }
    [[gnu::target(CONEMASK_AVX2)]] static __m256i pack(__m256 first, __m256 second)
    {
        return _mm256_packs_epi32(_mm256_castps_si256(first), _mm256_castps_si256(second));
    }

    // Without an angle test, the quick decision for two groups, g and g + 1,
    // and the exact path for a group where it leaves a pixel undecided; the
    // samples packed as pack() packs. A pixel is decided when its sample is
    // settled. The tests run on sixteen 16-bit lanes at once: with no angle
    // to test, the packing costs less than the tests it halves.
    [[gnu::target(CONEMASK_AVX2)]] __m256i decide_pair(const group& first, const group& second,
                                                       const std::uint8_t* rgb, std::size_t g) const
    {
        const __m256 margin = sample_margin;
        const __m256i low = pack(_mm256_cvttps_epi32(_mm256_sub_ps(first.scaled_dot, margin)),
                                 _mm256_cvttps_epi32(_mm256_sub_ps(second.scaled_dot, margin)));
        const __m256i high = pack(_mm256_cvttps_epi32(_mm256_add_ps(first.scaled_dot, margin)),
                                  _mm256_cvttps_epi32(_mm256_add_ps(second.scaled_dot, margin)));
        const __m256i above = pack(_mm256_cmp_ps(first.scaled_dot, thresh, _CMP_GT_OQ),
                                   _mm256_cmp_ps(second.scaled_dot, thresh, _CMP_GT_OQ));
        const __m256i quick = _mm256_and_si256(above, low);
        // A pixel below the threshold's pre-test that is not settled goes
        // the exact way too: rarely, and to the same sample.
        const int undecided_bytes = ~_mm256_movemask_epi8(_mm256_cmpeq_epi16(low, high));
        if (undecided_bytes != 0) [[unlikely]] {
            // Only a group with an undecided pixel goes down the exact path.
            constexpr int first_bytes = 0x00FF00FF;  // where pack() puts the first group
            const bool first_exact = (undecided_bytes & first_bytes) != 0;
            const bool second_exact = (undecided_bytes & ~first_bytes) != 0;
            const __m256i none = _mm256_setzero_si256();
            const __m256i all = _mm256_set1_epi32(-1);
            const __m256i exact_samples = pack(first_exact ? exact(first, rgb, g) : none,
                                               second_exact ? exact(second, rgb, g + 1) : none);
            return _mm256_blendv_epi8(quick, exact_samples, pack(first_exact ? all : none, second_exact ? all : none));
        }
        return quick;
    }

    // With an angle test, the quick decision for eight pixels, and the exact
    // path for all eight when it leaves any undecided; the samples as 32-bit
    // integers.
    [[gnu::target(CONEMASK_AVX2)]] __m256i decide(const group& p) const
    {
        const __m256 angle_passes =
            _mm256_cmp_ps(p.signed_square, _mm256_mul_ps(p.pixel_squared, angle_pass_bound), _CMP_GE_OQ);
        const quick_decision<avx2_ops> quick = decide_quickly<avx2_ops>(*this, p.scaled_dot, angle_passes, p.open);
        if (_mm256_movemask_ps(quick.undecided) != 0) [[unlikely]] {
            return exact(p.dot, p.pixel_squared);
        }
        return quick.samples;
    }

    // find_angle's exact path for group g, as exact() below.
    [[gnu::target(CONEMASK_AVX2)]] __m256i exact(const group& p, const std::uint8_t* rgb, std::size_t g) const
    {
        if constexpr (every_angle) {
            const __m256i pixels = load_group(rgb, g);
            return exact(p.dot, squares(_mm256_shuffle_epi8(pixels, red_green_bytes()),
                                        _mm256_shuffle_epi8(pixels, blue_bytes())));
        } else {
            return exact(p.dot, p.pixel_squared);
        }
    }

    // find_angle's exact path for eight pixels; the samples as 32-bit
    // integers.
    [[gnu::target(CONEMASK_AVX2)]] __m256i exact(__m256 dot, __m256 pixel_squared) const
    {
        return exact_samples<avx2_ops>(*this, dot, pixel_squared);
    }
};

}  // namespace

[[gnu::target(CONEMASK_AVX2), gnu::flatten]] void classify_pixels_avx2(const cone_constants& cone, const std::uint8_t* rgb,
                                                                      std::int16_t* samples, std::size_t count)
{
    classify_with<avx2_chunk>(cone, rgb, samples, count);
}

}  // namespace conemask::detail
