// SPDX-License-Identifier: MIT
// The loop every batch kernel shares: chunks of pixels, the adaptive choice
// between pre-testing a chunk and going straight to the exact path, and the
// tail. Internal to colour_geometry; each kernel supplies the chunk step.
//
// A kernel with its own target attributes calls classify_all from a function
// marked [[gnu::flatten]]: everything below is then inlined into that
// function and compiled for its instruction set.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "colour_geometry.hpp"

namespace conemask::detail {

// Pixels decided together: the pre-test of a whole chunk is settled before
// any exact work, so a chunk of rejected pixels costs no square root. 32
// bytes of each colour channel fill one 256-bit vector.
constexpr std::size_t chunk_pixels = 32;

// The scale maps a pixel of length 445 to 255; the longest byte pixel,
// 255 * sqrt(3) ~ 441.7, therefore lands just above 253.
constexpr double projection_numerator = 255.0;
constexpr double projection_denominator = 445.0;

// The same scale as one double multiplication for the kernels. find_angle
// multiplies by 255.0 and then divides by 445.0; for every float x,
//   (float)((double)x * 255.0 / 445.0) == (float)((double)x * (255.0 / 445.0)),
// as the long-labelled test checks over all 2^32 bit patterns. A division of
// doubles costs many times a multiplication.
constexpr double projection_factor = projection_numerator / projection_denominator;

// The adaptive mode. Where the pre-test lets most chunks through (a cone that
// takes most colours), testing and branching per chunk costs more than it
// saves. After a run of adapt_chunks chunks of which more than half needed the
// exact path, the next run takes it on every chunk without branching. The
// exact path decides every pixel on its own, so the samples are the same
// either way. Measured on random bytes, where about 40% of chunks pass: a
// limit of a quarter sent them all down the exact path, at 0.44 ns a pixel
// against 0.28 with a half (AVX-512).
constexpr std::size_t adapt_chunks = 32;
constexpr std::size_t adapt_limit = adapt_chunks / 2;

// `chunk(rgb, samples, exact_always)` decides chunk_pixels pixels, running the
// exact path when `exact_always` is set or any pixel passes the pre-test, and
// returns whether the chunk needed the exact path: whether any pixel passed
// the pre-test or, where `exact_always` lets a kernel skip the pre-test,
// whether any pixel was selected (which the pre-test would have passed).
template <typename Chunk>
inline void classify_all(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count,
                         const Chunk& chunk)
{
    if (k.selects_nothing) {
        std::fill_n(samples, count, std::int16_t{0});
        return;
    }
    const std::size_t whole = count - count % chunk_pixels;
    bool exact_always = false;
    for (std::size_t first = 0; first < whole;) {
        const std::size_t end = std::min(whole, first + adapt_chunks * chunk_pixels);
        std::size_t passed = 0;
        for (; first < end; first += chunk_pixels) {
            passed += chunk(rgb + 3 * first, samples + first, exact_always) ? std::size_t{1} : std::size_t{0};
        }
        exact_always = passed > adapt_limit;
    }
    // The tail goes through a padded chunk; black padding is never selected.
    if (whole < count) {
        std::array<std::uint8_t, 3 * chunk_pixels> tail_rgb{};
        std::array<std::int16_t, chunk_pixels> tail_samples{};
        const std::size_t tail = count - whole;
        std::copy_n(rgb + 3 * whole, 3 * tail, tail_rgb.begin());
        (void)chunk(tail_rgb.data(), tail_samples.data(), true);
        std::copy_n(tail_samples.begin(), tail, samples + whole);
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The explicit vector kernels, in colour_geometry_x86.cpp. Each runs only on
// a processor with its instruction set.
void classify_pixels_avx2(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
void classify_pixels_avx512(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
void classify_pixels_avx512_vnni(const cone& k, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
#endif

}  // namespace conemask::detail
