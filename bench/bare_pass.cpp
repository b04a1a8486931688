// The floor for a whole run: reads the bytes conemask reads and writes as many
// bytes as it writes, a block at a time through the same stream calls, and
// computes nothing.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fputs("usage: bare_pass input output rows cols\n", stderr);
        return 1;
    }
    constexpr std::size_t block_pixels = std::size_t{1} << 15;  // as conemask
    static std::array<std::uint8_t, 3 * block_pixels> rgb;
    static std::array<std::int16_t, block_pixels> samples;
    std::FILE* input = std::fopen(argv[1], "rb");
    std::FILE* output = std::fopen(argv[2], "wb");
    if (input == nullptr || output == nullptr) {
        std::fputs("bare_pass: cannot open the files\n", stderr);
        return 1;
    }
    std::uint64_t remaining = std::strtoull(argv[3], nullptr, 10) * std::strtoull(argv[4], nullptr, 10);
    while (remaining > 0) {
        const std::size_t wanted = remaining < block_pixels ? static_cast<std::size_t>(remaining) : block_pixels;
        if (std::fread(rgb.data(), 3, wanted, input) != wanted ||
            std::fwrite(samples.data(), sizeof samples[0], wanted, output) != wanted) {
            std::fputs("bare_pass: short read or write\n", stderr);
            return 1;
        }
        remaining -= wanted;
    }
    return std::fclose(output) == 0 ? 0 : 1;
}
