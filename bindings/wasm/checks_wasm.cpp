// SPDX-License-Identifier: MIT
// For the kernel checks and benchmarks under node (web/tests,
// bench/web-kernel.mjs): each kernel this module runs, and the definition
// every kernel is checked against. Built only into conemask_wasm_checks,
// never into the page's module.

#include <emscripten/emscripten.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "conemask/classify.hpp"
#include "conemask/colour_geometry.hpp"
#include "kernel_table.hpp"

namespace {

const std::vector<conemask::kernel_row>& kernels()
{
    static const std::vector<conemask::kernel_row> here = conemask::kernels_here();
    return here;
}

}  // namespace

extern "C" {

// For the tests and benchmarks: the kernels this module runs, fastest first
// (kernels_here()); the name of the one at `index`, or null past the last.
EMSCRIPTEN_KEEPALIVE const char* conemask_kernel_name(std::size_t index)
{
    return index < kernels().size() ? kernels()[index].name.data() : nullptr;
}

// classify_pixels, through the kernel at `index`; returns 0 for no kernel.
EMSCRIPTEN_KEEPALIVE int conemask_classify_with(std::size_t index, std::int32_t red, std::int32_t green,
                                                std::int32_t blue, float max_angle, std::int32_t thresh,
                                                const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    if (index >= kernels().size()) {
        return 0;
    }
    kernels()[index].entry(conemask::make_cone(conemask::colour{red, green, blue}, max_angle, thresh).constants(), rgb,
                           samples, count);
    return 1;
}

// find_angle's angle and projection of each pixel, and decide_sample's
// sample from them: the definition that every kernel is checked against.
EMSCRIPTEN_KEEPALIVE void conemask_find_angles(std::int32_t red, std::int32_t green, std::int32_t blue,
                                               const std::uint8_t* rgb, float* angles, float* projections,
                                               std::size_t count)
{
    const conemask::colour reference{red, green, blue};
    for (std::size_t i = 0; i < count; ++i) {
        angles[i] = conemask::find_angle(reference, conemask::colour{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]},
                                         projections[i]);
    }
}
EMSCRIPTEN_KEEPALIVE void conemask_decide_samples(const float* angles, const float* projections, float max_angle,
                                                  std::int32_t thresh, std::int16_t* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = conemask::decide_sample(angles[i], projections[i], max_angle, thresh);
    }
}

}  // extern "C"
