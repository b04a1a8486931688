// SPDX-License-Identifier: MIT
// The AVX-512 kernels, with and without VNNI: the portable kernel's decisions
// with the same operations in the same order, sixteen pixels to a 512-bit
// register. Each runs only where choose_kernel() picked it for a processor
// with its instructions.
//
// Every function here carries its own target attribute; nothing else in the
// build is compiled for these instruction sets. The entry points are
// flattened, so the shared loop of classify_loop.hpp and the chunk steps are
// inlined into them.

#include <immintrin.h>

// GCC 12's AVX-512 headers start some results from an undefined register and
// then warn that it is or may be used uninitialized; nothing here reads one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "classify_loop.hpp"
#include "kernel_table.hpp"

// Target strings must be literals.
#define CONEMASK_AVX512 "avx2,avx512f,avx512bw,avx512vl,avx512vbmi"
#define CONEMASK_AVX512_VNNI CONEMASK_AVX512 ",avx512vnni"
#define CONEMASK_LANES_TARGET CONEMASK_AVX512
#include "classify_lanes.hpp"

namespace conemask::detail {

namespace {

// Two halves of sixteen pixels, one 32-bit lane per pixel.
constexpr std::size_t avx512_half_pixels = 16;
constexpr __mmask16 all_lanes = 0xFFFF;

// Each half is loaded as the 64 bytes from half_load[h]: bytes 0-63 and
// 32-95 of the chunk, so that no load reaches past it; half h's pixels
// start at byte half_start[h] of its load.
constexpr std::array<std::size_t, 2> half_load{0, 32};
constexpr std::array<std::size_t, 2> half_start{0, 3 * avx512_half_pixels - 32};

// vpermb indices that gather, for the sixteen pixels from byte `start` of a
// load, the byte of `channel` into the low byte of each pixel's 32-bit lane
// and, with `and_next`, the byte of the next channel into its third byte.
// The other bytes are zeroed by the mask.
constexpr std::array<std::uint8_t, 64> gather_index(std::size_t start, std::size_t channel, bool and_next)
{
    std::array<std::uint8_t, 64> index{};
    for (std::size_t j = 0; j < avx512_half_pixels; ++j) {
        index[4 * j] = static_cast<std::uint8_t>(start + 3 * j + channel);
        if (and_next) {
            index[4 * j + 2] = static_cast<std::uint8_t>(start + 3 * j + channel + 1);
        }
    }
    return index;
}
constexpr std::array<std::array<std::uint8_t, 64>, 2> red_green_index{gather_index(half_start[0], 0, true),
                                                                      gather_index(half_start[1], 0, true)};
constexpr std::array<std::array<std::uint8_t, 64>, 2> blue_index{gather_index(half_start[0], 2, false),
                                                                 gather_index(half_start[1], 2, false)};
constexpr __mmask64 first_and_third_bytes = 0x5555555555555555ULL;
constexpr __mmask64 first_bytes = 0x1111111111111111ULL;

// a.x + b.y over pairs of 16-bit halves, as 32-bit lanes: exact, as no pair
// sum reaches 2^31.
struct madd_sums {
    [[gnu::target(CONEMASK_AVX512)]] __m512i operator()(__m512i a, __m512i x, __m512i b, __m512i y) const
    {
        return _mm512_add_epi32(_mm512_madd_epi16(a, x), _mm512_madd_epi16(b, y));
    }
};
struct vnni_sums {
    [[gnu::target(CONEMASK_AVX512_VNNI)]] __m512i operator()(__m512i a, __m512i x, __m512i b, __m512i y) const
    {
        return _mm512_dpwssd_epi32(_mm512_madd_epi16(b, y), a, x);
    }
};

// The lane operations of classify_lanes.hpp, sixteen lanes to a register.
struct avx512_ops {
    using floats = __m512;
    using ints = __m512i;
    using doubles = __m512d;
    using mask = __mmask16;
    using samples = __m256i;  // 16-bit lanes, which hold every sample (within +-254)
    [[gnu::target(CONEMASK_AVX512)]] static floats splat(float x) { return _mm512_set1_ps(x); }
    [[gnu::target(CONEMASK_AVX512)]] static ints splat(std::int32_t x) { return _mm512_set1_epi32(x); }
    [[gnu::target(CONEMASK_AVX512)]] static doubles splat(double x) { return _mm512_set1_pd(x); }
    [[gnu::target(CONEMASK_AVX512)]] static floats sqrt(floats x) { return _mm512_sqrt_ps(x); }
    [[gnu::target(CONEMASK_AVX512)]] static floats mul(floats a, floats b) { return _mm512_mul_ps(a, b); }
    [[gnu::target(CONEMASK_AVX512)]] static floats div(floats a, floats b) { return _mm512_div_ps(a, b); }
    // Multiplied in double precision, eight lanes at a time, rounded back.
    [[gnu::target(CONEMASK_AVX512)]] static floats scale(floats x, doubles factor)
    {
        const __m256 low = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), factor));
        const __m256 high = _mm512_cvtpd_ps(
            _mm512_mul_pd(_mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1))), factor));
        return _mm512_castpd_ps(
            _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)), _mm256_castps_pd(high), 1));
    }
    [[gnu::target(CONEMASK_AVX512)]] static mask at_least(floats a, floats b)
    {
        return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ);
    }
    [[gnu::target(CONEMASK_AVX512)]] static mask above(floats a, floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    [[gnu::target(CONEMASK_AVX512)]] static floats add(floats a, floats b) { return _mm512_add_ps(a, b); }
    [[gnu::target(CONEMASK_AVX512)]] static floats sub(floats a, floats b) { return _mm512_sub_ps(a, b); }
    [[gnu::target(CONEMASK_AVX512)]] static ints truncate(floats x) { return _mm512_cvttps_epi32(x); }
    [[gnu::target(CONEMASK_AVX512)]] static mask at_most(floats a, floats b)
    {
        return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ);
    }
    [[gnu::target(CONEMASK_AVX512)]] static mask equal(ints a, ints b) { return _mm512_cmpeq_epi32_mask(a, b); }
    static mask both(mask a, mask b) { return static_cast<mask>(a & b); }
    static mask either(mask a, mask b) { return static_cast<mask>(a | b); }
    static mask but_not(mask a, mask b) { return static_cast<mask>(a & ~b); }
    // Narrowed to 16 bits: every sample (within +-254) fits.
    [[gnu::target(CONEMASK_AVX512)]] static samples keep(mask selected, ints x)
    {
        return _mm512_maskz_cvtepi32_epi16(selected, x);
    }
    // Rejected lanes become 0 without being converted.
    [[gnu::target(CONEMASK_AVX512)]] static samples truncate_selected(mask selected, floats x)
    {
        return _mm512_cvtepi32_epi16(_mm512_maskz_cvttps_epi32(selected, x));
    }
};

template <bool integer_sums, bool every_angle, typename Sums>
struct avx512_chunk : lane_cone<avx512_ops> {
    __m512i red_green_gather[2], blue_gather[2];
    Sums sums;

    [[gnu::target(CONEMASK_AVX512)]] explicit avx512_chunk(const cone_constants& cone)
        : lane_cone(cone), red_green_gather{_mm512_loadu_si512(red_green_index[0].data()),
                                         _mm512_loadu_si512(red_green_index[1].data())},
          blue_gather{_mm512_loadu_si512(blue_index[0].data()), _mm512_loadu_si512(blue_index[1].data())}, sums()
    {
    }

    // What the quick decision needs of sixteen pixels.
    struct half {
        __m512 dot, pixel_squared, signed_square, scaled_dot;
        __mmask16 open;  // past the pre-test
    };

    // The first stage for sixteen pixels, from red and green as the two
    // 16-bit halves of each lane and blue in the low half of another: the
    // dot products, the squared lengths and the angle's pre-test.
    [[gnu::target(CONEMASK_AVX512)]] half first_stage(__m512i rg, __m512i b) const
    {
        half p{};
        p.pixel_squared = _mm512_cvtepi32_ps(sums(rg, rg, b, b));
        if constexpr (integer_sums) {
            p.dot = _mm512_cvtepi32_ps(sums(rg, red_green, b, blue_zero));
        } else {
            const __m512 p0 = _mm512_cvtepi32_ps(_mm512_and_si512(rg, _mm512_set1_epi32(low_half)));
            const __m512 p1 = _mm512_cvtepi32_ps(_mm512_srli_epi32(rg, half_bits));
            const __m512 p2 = _mm512_cvtepi32_ps(b);
            p.dot = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(p0, r0), _mm512_mul_ps(p1, r1)), _mm512_mul_ps(p2, r2));
        }
        p.open = all_lanes;
        if constexpr (!every_angle) {
            p.signed_square = _mm512_mul_ps(p.dot, _mm512_abs_ps(p.dot));
            p.open = _mm512_cmp_ps_mask(p.signed_square, _mm512_mul_ps(p.pixel_squared, angle_fail_bound), _CMP_GE_OQ);
        }
        return p;
    }

    // The chunk's first stage; returns the pixels past the angle's
    // pre-test, one bit each.
    [[gnu::target(CONEMASK_AVX512)]] std::uint32_t first_stage(const std::uint8_t* rgb, half* halves) const
    {
        for (std::size_t h = 0; h < 2; ++h) {
            // A one-register permute costs less than one across the chunk's
            // two registers.
            const __m512i bytes = _mm512_loadu_si512(rgb + half_load[h]);
            halves[h] = first_stage(_mm512_maskz_permutexvar_epi8(first_and_third_bytes, red_green_gather[h], bytes),
                                    _mm512_maskz_permutexvar_epi8(first_bytes, blue_gather[h], bytes));
        }
        return static_cast<std::uint32_t>(halves[0].open) |
               static_cast<std::uint32_t>(halves[1].open) << avx512_half_pixels;
    }

    // The threshold's pre-test, which narrows `open`.
    [[gnu::target(CONEMASK_AVX512)]] void second_stage(half& p) const
    {
        p.scaled_dot = _mm512_mul_ps(p.dot, projection_scale);
        p.open = _mm512_mask_cmp_ps_mask(p.open, p.scaled_dot, thresh_fail_bound, _CMP_GT_OQ);
    }

    // With an angle test, the shared loop lists the pixels past its
    // pre-test where they are few and scattered (see classify_loop.hpp).
    static constexpr bool lists_open = !every_angle;

    [[gnu::target(CONEMASK_AVX512)]] std::uint32_t open_pixels(const std::uint8_t* rgb) const
    {
        half halves[2];
        return first_stage(rgb, halves);
    }

    // Decides the listed pixels, sixteen at a time: `count` is a multiple of
    // eight, and a pixel may be listed more than once.
    [[gnu::target(CONEMASK_AVX512)]] void decide_listed(const std::uint8_t* rgb, std::int16_t* samples,
                                                        const std::uint16_t* listed, std::size_t count) const
    {
        // One pixel a lane: red and green as its two 16-bit halves, blue in
        // the low half of another.
        const __m512i red_green_of_words =
            _mm512_broadcast_i32x4(_mm_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1));
        const __m512i blue_of_words =
            _mm512_broadcast_i32x4(_mm_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1));
        const auto word = [rgb](std::uint16_t at) {
            const std::uint8_t* pixel = rgb + 3 * std::size_t{at};
            return static_cast<int>(pixel[0] | pixel[1] << 8 | pixel[2] << 16);
        };
        constexpr std::size_t eight = avx512_half_pixels / 2;
        for (std::size_t i = 0; i < count; i += avx512_half_pixels) {
            const std::uint16_t* low = listed + i;
            // A last eight fills both halves.
            const std::uint16_t* high = count - i >= avx512_half_pixels ? low + eight : low;
            const __m512i pixels = _mm512_setr_epi32(
                word(low[0]), word(low[1]), word(low[2]), word(low[3]), word(low[4]), word(low[5]), word(low[6]),
                word(low[7]), word(high[0]), word(high[1]), word(high[2]), word(high[3]), word(high[4]),
                word(high[5]), word(high[6]), word(high[7]));
            half p = first_stage(_mm512_shuffle_epi8(pixels, red_green_of_words),
                                 _mm512_shuffle_epi8(pixels, blue_of_words));
            second_stage(p);
            alignas(sizeof(__m256i)) std::int16_t decided[avx512_half_pixels];
            _mm256_store_si256(reinterpret_cast<__m256i*>(decided), decide(p));
            for (std::size_t j = 0; j < eight; ++j) {
                samples[low[j]] = decided[j];
                samples[high[j]] = decided[eight + j];
            }
        }
    }

    // The chunk step: its mask is the angle's pre-test, or without an angle
    // test the threshold's.
    template <bool decide_all>
    [[gnu::target(CONEMASK_AVX512)]] std::uint32_t operator()(const std::uint8_t* rgb, std::int16_t* samples,
                                                              std::bool_constant<decide_all> /*mode*/) const
    {
        half halves[2];
        const std::uint32_t angle_open = first_stage(rgb, halves);
        // Outside the full mode, a chunk that the angle alone rejects costs
        // no more: most chunks of a typical run.
        if (!decide_all && !every_angle && angle_open == 0) {
            return reject(samples);
        }
        for (half& p : halves) {
            second_stage(p);
        }
        const std::uint32_t open = static_cast<std::uint32_t>(halves[0].open) |
                                   static_cast<std::uint32_t>(halves[1].open) << avx512_half_pixels;
        if (!decide_all && open == 0) {
            reject(samples);
            return angle_open;
        }
        for (std::size_t h = 0; h < 2; ++h) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + avx512_half_pixels * h), decide(halves[h]));
        }
        return every_angle ? open : angle_open;
    }

    // A chunk where no pixel passed the pre-test.
    [[gnu::target(CONEMASK_AVX512)]] static std::uint32_t reject(std::int16_t* samples)
    {
        _mm512_storeu_si512(samples, _mm512_setzero_si512());
        return 0;
    }

    // The quick decision for sixteen pixels, and the exact path for all
    // sixteen when it leaves any undecided; the samples as 16-bit integers,
    // which hold every sample (within +-254).
    [[gnu::target(CONEMASK_AVX512)]] __m256i decide(const half& p) const
    {
        __mmask16 angle_passes = all_lanes;
        if constexpr (!every_angle) {
            angle_passes =
                _mm512_cmp_ps_mask(p.signed_square, _mm512_mul_ps(p.pixel_squared, angle_pass_bound), _CMP_GE_OQ);
        }
        const quick_decision<avx512_ops> quick =
            decide_quickly<avx512_ops>(*this, p.scaled_dot, angle_passes, p.open);
        if (quick.undecided != 0) [[unlikely]] {
            return exact(p.dot, p.pixel_squared);
        }
        return quick.samples;
    }

    // find_angle's exact path for sixteen pixels.
    [[gnu::target(CONEMASK_AVX512)]] __m256i exact(__m512 dot, __m512 pixel_squared) const
    {
        return exact_samples<avx512_ops>(*this, dot, pixel_squared);
    }
};

// Each AVX-512 kernel's chunk steps, by reference: exact integer sums or
// float ones, and with or without the angle test.
template <bool integer_sums, bool every_angle>
using avx512_madd_chunk = avx512_chunk<integer_sums, every_angle, madd_sums>;
template <bool integer_sums, bool every_angle>
using avx512_vnni_chunk = avx512_chunk<integer_sums, every_angle, vnni_sums>;

}  // namespace

[[gnu::target(CONEMASK_AVX512), gnu::flatten]] void classify_pixels_avx512(const cone_constants& cone, const std::uint8_t* rgb,
                                                                          std::int16_t* samples, std::size_t count)
{
    classify_with<avx512_madd_chunk>(cone, rgb, samples, count);
}

[[gnu::target(CONEMASK_AVX512_VNNI), gnu::flatten]] void classify_pixels_avx512_vnni(const cone_constants& cone,
                                                                                    const std::uint8_t* rgb,
                                                                                    std::int16_t* samples,
                                                                                    std::size_t count)
{
    classify_with<avx512_vnni_chunk>(cone, rgb, samples, count);
}

}  // namespace conemask::detail
