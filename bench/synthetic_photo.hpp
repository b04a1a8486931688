// SPDX-License-Identifier: MIT
// A photograph-like raster for benchmarks: patches of flat colour with soft
// edges and sensor noise, so that a reference colour selects a few regions
// rather than scattered pixels or everything.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

inline std::uint32_t mix(std::uint32_t x)
{
    x ^= x >> 16U;
    x *= 0x7FEB352DU;
    x ^= x >> 15U;
    x *= 0x846CA68BU;
    x ^= x >> 16U;
    return x;
}

// Writes `count` pixels of row `row`, starting at column `first_col`.
inline void synthetic_row(std::uint32_t row, std::uint32_t first_col, std::size_t count, std::uint8_t* rgb)
{
    constexpr std::uint32_t patch = 97;  // pixels per patch side
    constexpr std::uint32_t noise = 16;  // +-8 levels
    for (std::size_t i = 0; i < count; ++i) {
        const auto col = static_cast<std::uint32_t>(first_col + i);
        const std::uint32_t colour = mix((row / patch) * 65537U + col / patch);
        const std::uint32_t grain = mix(row * 40503U ^ col);
        for (std::uint32_t channel = 0; channel < 3; ++channel) {
            const std::uint32_t base = (colour >> (8U * channel)) & 0xFFU;
            const std::uint32_t jitter = (grain >> (8U * channel)) % noise;
            const std::uint32_t level = base + jitter < noise / 2 ? 0 : base + jitter - noise / 2;
            rgb[3 * i + channel] = static_cast<std::uint8_t>(level > 255 ? 255 : level);
        }
    }
}

}  // namespace bench
