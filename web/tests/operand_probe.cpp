// SPDX-License-Identifier: MIT
// Prints how the program converts each argument, as an integer operand and
// as theta, one line each: "ok value bits" or "refused". The page's test
// compares its WebAssembly conversions with these.
#include <bit>
#include <cstdint>
#include <cstdio>

#include "conemask/operands.hpp"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::int32_t integer = 0;
        float angle = 0.0F;
        const bool integer_ok = conemask::convert_integer(argv[i], integer);
        const bool angle_ok = conemask::convert_angle(argv[i], angle);
        std::printf("%s %d %s %u\n", integer_ok ? "ok" : "refused", integer, angle_ok ? "ok" : "refused",
                    static_cast<unsigned>(std::bit_cast<std::uint32_t>(angle)));
    }
    return 0;
}
