// SPDX-License-Identifier: MIT
// Prints how glibc reads each argument, as the program's integer operand
// (strtoll, cut to 32 bits) and as theta (sscanf's "%f"), one line each:
// "ok value ok bits", with "refused" for a text longer than the program
// takes. The page's test compares its WebAssembly conversions, which are the
// program's own, with these.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "conemask/operands.hpp"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::int32_t integer = 0;
        float angle = 0.0F;
        // Only the length decides refusal; the values are glibc's.
        const bool integer_ok = conemask::convert_integer(argv[i], integer);
        const bool angle_ok = conemask::convert_angle(argv[i], angle);
        integer = static_cast<std::int32_t>(std::strtoll(argv[i], nullptr, 10));
        angle = 0.0F;
        (void)std::sscanf(argv[i], "%f", &angle);  // NOLINT(cert-err34-c): failure leaves 0, as the program's
        if (std::printf("%s %d %s %u\n", integer_ok ? "ok" : "refused", integer, angle_ok ? "ok" : "refused",
                        static_cast<unsigned>(std::bit_cast<std::uint32_t>(angle))) < 0) {
            return 1;
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
