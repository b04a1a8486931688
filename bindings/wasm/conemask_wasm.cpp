// SPDX-License-Identifier: MIT
// The page's WebAssembly module: the program's own colour geometry, batch
// classification and operand conversion, behind a few C functions that the
// page's glue (geometry.js) calls on buffers it allocates in the module's
// memory. Nothing here computes anything the program does not. The kernel
// checks' own functions are in checks_wasm.cpp, outside the page's module.

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "conemask/classify.hpp"
#include "conemask/colour_geometry.hpp"
#include "conemask/operands.hpp"

namespace {

conemask::colour reference_of(std::int32_t red, std::int32_t green, std::int32_t blue)
{
    return conemask::colour{red, green, blue};
}

}  // namespace

extern "C" {

// The mask the program writes for `count` pixels of three bytes each, as
// host-order samples; returns the number of nonzero samples, and stores the
// largest sample (0 when none is above 0) in `largest`.
EMSCRIPTEN_KEEPALIVE std::size_t conemask_classify(std::int32_t red, std::int32_t green, std::int32_t blue,
                                                   float max_angle, std::int32_t thresh, const std::uint8_t* rgb,
                                                   std::int16_t* samples, std::size_t count, std::int16_t* largest)
{
    const conemask::cone cone = conemask::make_cone(reference_of(red, green, blue), max_angle, thresh);
    conemask::classify_pixels(cone, rgb, samples, count);
    // One plain loop, which the compiler vectorises.
    std::size_t selected = 0;
    std::int16_t top = 0;
    for (std::size_t i = 0; i < count; ++i) {
        selected += samples[i] != 0 ? 1U : 0U;
        top = std::max(top, samples[i]);
    }
    *largest = top;
    return selected;
}

// Each pixel's angle to the reference, as find_angle gives it (NaN for
// black), and its projection where `projections` is not null.
EMSCRIPTEN_KEEPALIVE void conemask_angles(std::int32_t red, std::int32_t green, std::int32_t blue,
                                          const std::uint8_t* rgb, float* angles, float* projections,
                                          std::size_t count)
{
    const conemask::colour reference = reference_of(red, green, blue);
    for (std::size_t i = 0; i < count; ++i) {
        const conemask::colour pixel{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
        float projection = 0.0F;
        angles[i] = conemask::find_angle(reference, pixel, projection);
        if (projections != nullptr) {
            projections[i] = projection;
        }
    }
}

// An integer operand as the program converts it. Returns 0 when the text is
// too long for the program's buffer, 1 otherwise, with the value in `value`.
EMSCRIPTEN_KEEPALIVE int conemask_convert_integer(const char* text, std::int32_t* value)
{
    return conemask::convert_integer(text, *value) ? 1 : 0;
}

// theta as the program converts it; the same convention.
EMSCRIPTEN_KEEPALIVE int conemask_convert_angle(const char* text, float* value)
{
    return conemask::convert_angle(text, *value) ? 1 : 0;
}

}  // extern "C"
