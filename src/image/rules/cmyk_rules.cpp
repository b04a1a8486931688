// SPDX-License-Identifier: MIT
#include "cmyk_rules.hpp"

#include "png_rules.hpp"

namespace conemask {

namespace {
constexpr std::size_t levels = 256;  // of an 8-bit sample
}

std::uint8_t cmyk_channel(unsigned stored_ink, unsigned stored_black)
{
    constexpr double quantum_range = 65535.0;
    constexpr double quantum_scale = 1.0 / quantum_range;
    const double ink = quantum_range - 257.0 * stored_ink;
    const double black = quantum_range - 257.0 * stored_black;
    const double value = quantum_range - (quantum_scale * ink * (quantum_range - black) + black);
    const double clamped = value <= 0.0 ? 0.0 : value >= quantum_range ? quantum_range : value + 0.5;
    return reduce_to_8_bits(static_cast<std::uint16_t>(clamped));
}

std::vector<std::uint8_t> cmyk_table()
{
    std::vector<std::uint8_t> table(levels * levels);
    for (unsigned ink = 0; ink < levels; ++ink) {
        for (unsigned black = 0; black < levels; ++black) {
            table[ink * levels + black] = cmyk_channel(ink, black);
        }
    }
    return table;
}

void cmyk_to_rgb(const std::vector<std::uint8_t>& table, const std::uint8_t* cmyk, std::size_t count,
                 std::uint8_t* rgb)
{
    for (std::size_t x = 0; x < count; ++x, cmyk += 4, rgb += 3) {
        const std::size_t black = cmyk[3];
        for (std::size_t c = 0; c < 3; ++c) {
            rgb[c] = table[cmyk[c] * levels + black];
        }
    }
}

}  // namespace conemask
