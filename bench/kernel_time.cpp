// SPDX-License-Identifier: MIT
// The kernel alone, as a run calls it: classify_pixels over a raster file
// held in memory, in blocks of a given size into one reused buffer, the
// fastest of several passes. What the Python module's benchmark compares
// the module with, on the same pixels and blocks.
//
//   kernel_time file pixels block_pixels passes red green blue theta thresh
//
// Prints the nanoseconds a pixel.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "conemask/classify.hpp"

int main(int argc, char** argv)
{
    if (argc != 10) {
        std::fputs("usage: kernel_time file pixels block_pixels passes red green blue theta thresh\n", stderr);
        return 1;
    }
    const std::size_t pixels = std::strtoull(argv[2], nullptr, 10);
    const std::size_t block = std::strtoull(argv[3], nullptr, 10);
    const long passes = std::strtol(argv[4], nullptr, 10);
    const conemask::colour reference{std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7])};
    const conemask::cone cone = conemask::make_cone(reference, std::strtof(argv[8], nullptr), std::atoi(argv[9]));

    std::vector<std::uint8_t> rgb(3 * pixels);
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr || std::fread(rgb.data(), 1, rgb.size(), in) != rgb.size()) {
        std::fprintf(stderr, "kernel_time: cannot read %zu pixels from %s\n", pixels, argv[1]);
        return 1;
    }
    (void)std::fclose(in);

    std::vector<std::int16_t> samples(block);
    double best = std::numeric_limits<double>::infinity();
    for (long pass = 0; pass < passes; ++pass) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t first = 0; first < pixels; first += block) {
            conemask::classify_pixels(cone, rgb.data() + 3 * first, samples.data(), std::min(block, pixels - first));
        }
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    std::printf("%.4f\n", best / static_cast<double>(pixels));
    return 0;
}
