// SPDX-License-Identifier: MIT
// The loop every batch kernel shares: chunks of pixels, the adaptive choice
// between branching on a chunk's pre-test, listing the pixels past it, and
// deciding every chunk in full, and the tail. Internal to classify; each
// kernel supplies the chunk step.
//
// A kernel with its own target attributes calls classify_all from a function
// marked [[gnu::flatten]]: everything below is then inlined into that
// function and compiled for its instruction set. A helper that is not inlined
// first (a lambda, say) would be compiled for the baseline and could not take
// the chunk steps inline.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "conemask/classify.hpp"
#include "cone_constants.hpp"

namespace conemask::detail {

// Pixels decided together: the pre-test of a whole chunk is settled before
// any further work, so a chunk of rejected pixels costs nothing more. 32
// bytes of each colour channel fill one 256-bit vector.
constexpr std::size_t chunk_pixels = 32;

// A chunk's bytes, three a pixel.
constexpr std::size_t chunk_bytes = 3 * chunk_pixels;

// The same scale as one double multiplication for the kernels. find_angle
// multiplies by 255.0 and then divides by 445.0; for every float x,
//   (float)((double)x * 255.0 / 445.0) == (float)((double)x * (255.0 / 445.0)),
// as the long-labelled test checks over all 2^32 bit patterns. A division of
// doubles costs many times a multiplication.
constexpr double projection_factor = projection_numerator / projection_denominator;

// With integer sums (see make_cone()), a pixel's red and green share a 32-bit
// lane as its two 16-bit halves, as the cone's red_green does.
constexpr std::int32_t low_half = 0xFFFF;
constexpr int half_bits = 16;

// The chunk step every kernel supplies: `chunk(rgb, samples, decide_all)`
// decides chunk_pixels pixels, and returns the pixels past its pre-test, bit
// i for pixel i. The pre-test only rejects: a pixel outside it gets 0. A
// kernel may leave a part of the pre-test out of the mask (the threshold's,
// where the angle's rejects most). Unless `decide_all` is true, a chunk with
// no pixel past the pre-test is written as zeros without further work. The
// flag is a type (std::true_type or std::false_type), so that each mode is
// compiled without the other's branch.
template <typename Chunk>
concept chunk_step = requires(const Chunk& chunk, const std::uint8_t* rgb, std::int16_t* samples) {
    { chunk(rgb, samples, std::false_type{}) } -> std::same_as<std::uint32_t>;
    { chunk(rgb, samples, std::true_type{}) } -> std::same_as<std::uint32_t>;
};

// The adaptive mode. Where the pre-test lets many chunks through (a cone that
// takes most colours, or noise), a branch per chunk costs more than it saves:
// each misprediction throws away the work of the chunks after it. After a run
// of adapt_chunks chunks of which more than a quarter had a pixel past the
// pre-test, the next run decides every chunk in full without branching. A full
// decision gives the same samples, so the output does not depend on the mode.
// On random bytes, where 42% of chunks have such a pixel, a quarter chose
// the full decision more often and ran faster than a half (bench/run shows
// the figures). Photographs, where the selected pixels come in regions, stay
// with the branch in the regions left out.
constexpr std::size_t adapt_chunks = 32;
constexpr std::size_t adapt_limit = adapt_chunks / 4;

// Listing. On random bytes, or a photograph where the colours near the
// reference are scattered, most chunks have a pixel past the pre-test but
// few of their pixels are: 1.7% on random bytes, in 42% of the chunks. A
// kernel whose chunk step can list them (lists_open, and open_pixels giving
// the mask the step gives) then runs a third mode:
// each chunk goes through the pre-test only and is written as zeros, the
// pixels past it are listed without a branch per chunk, and the list is
// decided at the end of the run, a vector of pixels at a time. Deciding a
// pixel twice, or one that did not pass, writes the same sample as once: the
// decision does not depend on the company a pixel keeps.
template <typename Chunk>
concept listing_chunk = chunk_step<Chunk> && Chunk::lists_open &&
                        requires(const Chunk& chunk, const std::uint8_t* rgb, std::int16_t* samples,
                                 const std::uint16_t* listed, std::size_t count) {
                            { chunk.open_pixels(rgb) } -> std::same_as<std::uint32_t>;
                            chunk.decide_listed(rgb, samples, listed, count);
                        };

// The modes of a run.
enum class run_mode { branch, listed, full };

// More listed pixels than this in a run, and deciding every chunk in full
// costs less than deciding the list.
constexpr std::size_t list_limit = adapt_chunks * chunk_pixels / 4;

// What a run of chunks saw of the pre-test.
struct run_counts {
    std::size_t chunks = 0;  // with a pixel past it
    std::size_t pixels = 0;  // past it
};

// A run in the branching or the full mode.
template <chunk_step Chunk, typename Mode>
[[gnu::always_inline]] inline run_counts classify_counted(const Chunk& chunk, const std::uint8_t* rgb,
                                                          std::int16_t* samples, std::size_t first, std::size_t end,
                                                          Mode decide_all)
{
    run_counts counts;
    for (; first < end; first += chunk_pixels) {
        const std::uint32_t open = chunk(rgb + 3 * first, samples + first, decide_all);
        counts.chunks += open != 0 ? 1 : 0;
        counts.pixels += static_cast<std::size_t>(std::popcount(open));
    }
    return counts;
}

// The position of a mask's lowest set bit, 32 for none. The bit above the
// mask spares the compiler a branch for an empty one.
[[gnu::always_inline]] inline int lowest_bit(std::uint32_t mask)
{
    constexpr std::uint64_t none = std::uint64_t{1} << 32;
    return std::countr_zero(mask | none);
}

// A run in the listing mode. Where listing pays, a chunk seldom has more
// than two pixels past the pre-test: the first two are listed without a
// branch (an empty mask lists position 32, which the count leaves behind),
// and only a chunk with more takes a loop. Positions are counted from the
// run's first pixel.
template <listing_chunk Chunk>
[[gnu::always_inline]] inline run_counts classify_listed(const Chunk& chunk, const std::uint8_t* rgb,
                                                         std::int16_t* samples, std::size_t first, std::size_t end)
{
    constexpr std::size_t group = 8;
    // One spare entry: a chunk writes two past the count.
    std::array<std::uint16_t, adapt_chunks * chunk_pixels + 1> listed;
    run_counts counts;
    std::size_t n = 0;
    for (std::size_t at = first; at < end; at += chunk_pixels) {
        const std::uint32_t open = chunk.open_pixels(rgb + 3 * at);
        std::fill_n(samples + at, chunk_pixels, std::int16_t{0});
        const auto base = static_cast<std::uint16_t>(at - first);
        const std::uint32_t rest = open & (open - 1);
        listed[n] = static_cast<std::uint16_t>(base + lowest_bit(open));
        listed[n + 1] = static_cast<std::uint16_t>(base + lowest_bit(rest));
        // Counted, not tested: a test of the mask would become a branch.
        const int found = std::popcount(open);
        counts.chunks += found != 0 ? 1 : 0;
        n += static_cast<std::size_t>(std::min(found, 2));
        if (found > 2) [[unlikely]] {
            for (std::uint32_t more = rest & (rest - 1); more != 0; more &= more - 1) {
                listed[n++] = static_cast<std::uint16_t>(base + std::countr_zero(more));
            }
        }
    }
    counts.pixels = n;
    // The kernels decide the list eight or sixteen at a time: it is filled
    // out to a multiple of eight with its first pixel.
    const std::size_t padded = (n + group - 1) / group * group;
    std::fill(listed.begin() + static_cast<std::ptrdiff_t>(n), listed.begin() + static_cast<std::ptrdiff_t>(padded),
              listed[0]);
    chunk.decide_listed(rgb + 3 * first, samples + first, listed.data(), padded);
    return counts;
}

// The shared loop's runs: a run with few chunks past the pre-test branches;
// one with more chunks but few pixels lists them, if the kernel can; any
// other decides every chunk in full.
template <chunk_step Chunk>
[[gnu::always_inline]] inline void classify_runs(const Chunk& chunk, const std::uint8_t* rgb, std::int16_t* samples,
                                                 std::size_t whole)
{
    run_mode mode = run_mode::branch;
    for (std::size_t first = 0; first < whole; first += adapt_chunks * chunk_pixels) {
        const std::size_t end = std::min(whole, first + adapt_chunks * chunk_pixels);
        run_counts counts;
        switch (mode) {
        case run_mode::branch:
            counts = classify_counted(chunk, rgb, samples, first, end, std::false_type{});
            break;
        case run_mode::listed:
            if constexpr (listing_chunk<Chunk>) {
                counts = classify_listed(chunk, rgb, samples, first, end);
            }
            break;
        case run_mode::full:
            counts = classify_counted(chunk, rgb, samples, first, end, std::true_type{});
            break;
        }
        const bool list = listing_chunk<Chunk> && counts.pixels <= list_limit;
        mode = counts.chunks <= adapt_limit ? run_mode::branch : list ? run_mode::listed : run_mode::full;
    }
}

// Every pixel: the runs of whole chunks, then the tail.
template <chunk_step Chunk>
[[gnu::always_inline]] inline void classify_all(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples,
                                                std::size_t count, const Chunk& chunk)
{
    if (cone.selects_nothing) {
        std::fill_n(samples, count, std::int16_t{0});
        return;
    }
    const std::size_t whole = count - count % chunk_pixels;
    classify_runs(chunk, rgb, samples, whole);
    // The tail goes through a padded chunk; black padding is never selected.
    if (whole < count) {
        std::array<std::uint8_t, 3 * chunk_pixels> tail_rgb{};
        std::array<std::int16_t, chunk_pixels> tail_samples{};
        const std::size_t tail = count - whole;
        std::copy_n(rgb + 3 * whole, 3 * tail, tail_rgb.begin());
        (void)chunk(tail_rgb.data(), tail_samples.data(), std::true_type{});
        std::copy_n(tail_samples.begin(), tail, samples + whole);
    }
}

// Runs the shared loop with the chunk step made for the cone: exact integer
// sums or float ones, and with or without the angle test. A cone that takes
// every direction skips the angle test: when min_cos is -infinity, the bounds
// pass every pixel. Inlined into each kernel's flattened entry point.
template <template <bool, bool> class Chunk>
[[gnu::always_inline]] inline void classify_with(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples,
                                                 std::size_t count)
{
    const bool every_angle = cone.min_cos == -std::numeric_limits<float>::infinity();
    if (cone.integer_sums && every_angle) {
        classify_all(cone, rgb, samples, count, Chunk<true, true>(cone));
    } else if (cone.integer_sums) {
        classify_all(cone, rgb, samples, count, Chunk<true, false>(cone));
    } else if (every_angle) {
        classify_all(cone, rgb, samples, count, Chunk<false, true>(cone));
    } else {
        classify_all(cone, rgb, samples, count, Chunk<false, false>(cone));
    }
}

}  // namespace conemask::detail
