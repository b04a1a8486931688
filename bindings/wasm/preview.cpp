// SPDX-License-Identifier: MIT
// The preview's pixels, drawn in the module beside the raster and its
// samples: what the worker shows at every update, for every device pixel
// of the picture. Nothing here is part of the program's output; it only
// colours what the program's classification decided.

#include <emscripten/emscripten.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

enum class overlay : std::int32_t { photo = 0, tint = 1, mask = 2 };

constexpr std::uint32_t opaque = 0xff000000U;

// ImageData's bytes red first: on WebAssembly's little-endian memory, a
// word with red in its low byte.
constexpr std::uint32_t word(std::uint32_t red, std::uint32_t green, std::uint32_t blue)
{
    return opaque | (blue << 16U) | (green << 8U) | red;
}

}  // namespace

extern "C" {

// Draws `width` x `height` device pixels into `out`: device column x shows
// raster column columns[x], device row y raster row rows[y], -1 meaning off
// the raster (left transparent). Tint mixes the selected pixels with the
// tint colour by `opacity`; mask shows the samples above 0 in grey,
// stretched to `largest`; photo the raster alone.
EMSCRIPTEN_KEEPALIVE void conemask_preview(const std::uint8_t* rgb, const std::int16_t* samples, std::int32_t cols,
                                           const std::int32_t* columns, std::int32_t width,
                                           const std::int32_t* rows, std::int32_t height, std::int32_t mode,
                                           std::int32_t tint_red, std::int32_t tint_green, std::int32_t tint_blue,
                                           float opacity, std::int32_t largest, std::uint32_t* out)
{
    // Each channel's tinted value for every byte, and each sample's grey.
    std::array<std::array<std::uint8_t, 256>, 3> tinted{};
    const std::array<std::int32_t, 3> tint{tint_red, tint_green, tint_blue};
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::int32_t v = 0; v < 256; ++v) {
            const double mixed = v + (std::clamp(tint[c], 0, 255) - v) * static_cast<double>(opacity);
            tinted[c][static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::floor(mixed + 0.5));
        }
    }
    std::array<std::uint32_t, 254> grey{};
    for (std::size_t s = 0; s < grey.size(); ++s) {
        const auto v = static_cast<std::uint32_t>(
            largest > 0 ? std::min(255.0, std::floor(static_cast<double>(s) * 255.0 / largest + 0.5)) : 0.0);
        grey[s] = word(v, v, v);
    }
    const auto shown = static_cast<overlay>(mode);
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint32_t* line = out + static_cast<std::ptrdiff_t>(y) * width;
        if (rows[y] < 0) {
            std::fill(line, line + width, 0U);
            continue;
        }
        const std::size_t base = static_cast<std::size_t>(rows[y]) * static_cast<std::size_t>(cols);
        for (std::int32_t x = 0; x < width; ++x) {
            if (columns[x] < 0) {
                line[x] = 0;
                continue;
            }
            const std::size_t i = base + static_cast<std::size_t>(columns[x]);
            const std::int16_t sample = samples[i];
            if (shown == overlay::mask) {
                line[x] = sample > 0 ? grey[static_cast<std::size_t>(std::min<std::int16_t>(sample, 253))] : opaque;
                continue;
            }
            const std::uint8_t* p = rgb + 3 * i;
            line[x] = shown == overlay::tint && sample != 0
                ? word(tinted[0][p[0]], tinted[1][p[1]], tinted[2][p[2]])
                : word(p[0], p[1], p[2]);
        }
    }
}

}  // extern "C"
