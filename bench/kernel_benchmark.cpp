// SPDX-License-Identifier: MIT
// Pixels per second of the per-pixel decision: the scalar path (find_angle and
// decide_sample, one arc cosine per pixel) against the batch kernels.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "conemask/classify.hpp"
#include "kernel_table.hpp"
#include "synthetic_photo.hpp"

namespace {

constexpr std::size_t block_pixels = std::size_t{1} << 15;

struct scene {
    const char* name;
    bool random;  // random bytes, else a synthetic photograph
    conemask::colour reference;
    float max_angle;
    std::int32_t thresh;
};

// A typical run selects a few regions of a photograph; on random bytes the
// pre-test lets a pixel through in many chunks, so that most chunks are
// decided in full; the last selects every pixel that has a direction, with
// no angle test. Random bytes come from a buffer of many blocks, taken in
// turn, as a run sees them: one block over and over would let the branch
// predictor learn its chunks, which flatters a kernel that branches.
const scene scenes[] = {
    {"random", true, {60, 120, 40}, 0.1F, 20},
    {"photograph", false, {60, 120, 40}, 0.1F, 20},
    {"everything", false, {60, 120, 40}, 3.2F, -128},
};

// Random bytes: 6 MiB, more than a branch predictor can learn.
constexpr std::size_t random_blocks = 64;

std::vector<std::uint8_t> pixels_of(const scene& s)
{
    std::vector<std::uint8_t> rgb(3 * block_pixels * (s.random ? random_blocks : 1));
    if (s.random) {
        for (std::size_t i = 0; i < rgb.size(); ++i) {
            rgb[i] = static_cast<std::uint8_t>(bench::mix(static_cast<std::uint32_t>(i)));
        }
        return rgb;
    }
    constexpr std::uint32_t cols = 1024;
    for (std::uint32_t row = 0; row < block_pixels / cols; ++row) {
        bench::synthetic_row(row * 7, 0, cols, rgb.data() + 3 * std::size_t{row} * cols);
    }
    return rgb;
}

void scalar(benchmark::State& state, const scene& s)
{
    const std::vector<std::uint8_t> rgb = pixels_of(s);
    std::vector<std::int16_t> samples(block_pixels);
    for (auto _ : state) {
        for (std::size_t i = 0; i < block_pixels; ++i) {
            const conemask::colour pixel{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
            float projection = 0.0F;
            const float angle = conemask::find_angle(s.reference, pixel, projection);
            samples[i] = conemask::decide_sample(angle, projection, s.max_angle, s.thresh);
        }
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block_pixels));
}

void batch(benchmark::State& state, const scene& s, conemask::kernel classify)
{
    const std::vector<std::uint8_t> rgb = pixels_of(s);
    const std::size_t blocks = rgb.size() / (3 * block_pixels);
    std::vector<std::int16_t> samples(block_pixels);
    const conemask::cone cone = conemask::make_cone(s.reference, s.max_angle, s.thresh);
    std::size_t block = 0;
    for (auto _ : state) {
        classify(cone.constants(), rgb.data() + 3 * block_pixels * block, samples.data(), block_pixels);
        block = (block + 1) % blocks;
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block_pixels));
}

[[maybe_unused]] const bool registered = [] {
    for (const scene& s : scenes) {
        const std::string suffix = std::string("/") + s.name;
        benchmark::RegisterBenchmark(("scalar" + suffix).c_str(), scalar, s);
        for (const conemask::kernel_row& row : conemask::kernels_here()) {
            benchmark::RegisterBenchmark((std::string(row.name) + suffix).c_str(), batch, s, row.entry);
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
