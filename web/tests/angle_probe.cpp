// SPDX-License-Identifier: MIT
// Prints find_angle's angle and projection for a reference and each pixel
// that follows it, as the bits of the two floats: "angle_bits
// projection_bits", one line a pixel. The page's readout is compared with
// these.
//
//   angle_probe RED GREEN BLUE [R G B]...
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "conemask/colour_geometry.hpp"

int main(int argc, char** argv)
{
    constexpr int decimal = 10;
    const auto number = [argv](int i) { return static_cast<std::int32_t>(std::strtol(argv[i], nullptr, decimal)); };
    if (argc < 4 || (argc - 4) % 3 != 0) {
        std::fputs("usage: angle_probe RED GREEN BLUE [R G B]...\n", stderr);
        return 2;
    }
    const conemask::colour reference{number(1), number(2), number(3)};
    for (int i = 4; i < argc; i += 3) {
        float projection = 0.0F;
        const float angle = conemask::find_angle(reference, conemask::colour{number(i), number(i + 1), number(i + 2)},
                                                 projection);
        std::printf("%u %u\n", static_cast<unsigned>(std::bit_cast<std::uint32_t>(angle)),
                    static_cast<unsigned>(std::bit_cast<std::uint32_t>(projection)));
    }
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
