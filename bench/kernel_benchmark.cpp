// Pixels per second of the per-pixel decision: the scalar path (find_angle and
// decide_sample, one arc cosine per pixel) against the batch kernels.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "colour_geometry.hpp"
#include "synthetic_photo.hpp"

namespace {

constexpr std::size_t block_pixels = std::size_t{1} << 15;

struct scene {
    const char* name;
    conemask::colour reference;
    float max_angle;
    std::int32_t thresh;
};

// A typical run selects a few regions; the other selects every pixel that has
// a direction, so that every chunk takes the exact path.
const scene scenes[] = {
    {"typical", {60, 120, 40}, 0.1F, 20},
    {"everything", {60, 120, 40}, 3.2F, -128},
};

std::vector<std::uint8_t> photo_block()
{
    std::vector<std::uint8_t> rgb(3 * block_pixels);
    constexpr std::uint32_t cols = 1024;
    for (std::uint32_t row = 0; row < block_pixels / cols; ++row) {
        bench::synthetic_row(row * 7, 0, cols, rgb.data() + 3 * std::size_t{row} * cols);
    }
    return rgb;
}

void scalar(benchmark::State& state, const scene& s)
{
    const std::vector<std::uint8_t> rgb = photo_block();
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

template <auto classify>
void batch(benchmark::State& state, const scene& s)
{
    const std::vector<std::uint8_t> rgb = photo_block();
    std::vector<std::int16_t> samples(block_pixels);
    const conemask::cone cone = conemask::make_cone(s.reference, s.max_angle, s.thresh);
    for (auto _ : state) {
        classify(cone, rgb.data(), samples.data(), block_pixels);
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block_pixels));
}

[[maybe_unused]] const bool registered = [] {
    for (const scene& s : scenes) {
        const std::string suffix = std::string("/") + s.name;
        benchmark::RegisterBenchmark(("scalar" + suffix).c_str(), scalar, s);
        benchmark::RegisterBenchmark(("portable" + suffix).c_str(), batch<conemask::classify_pixels_portable>, s);
        if (conemask::avx2_supported()) {
            benchmark::RegisterBenchmark(("avx2" + suffix).c_str(), batch<conemask::classify_pixels_avx2>, s);
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
