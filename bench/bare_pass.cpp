// SPDX-License-Identifier: MIT
// The floor for a whole run: reads the bytes conemask reads and writes as many
// bytes as it writes, with the same system calls on blocks of the same size
// (one read() and one write() per block of 64 Ki pixels), and computes
// nothing. The ratio of the two times is what the arithmetic costs.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t block_pixels = std::size_t{1} << 16;  // as conemask

bool transfer(int fd, std::uint8_t* data, std::size_t size, bool reading)
{
    while (size > 0) {
        const ssize_t done = reading ? read(fd, data, size) : write(fd, data, size);
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fputs("usage: bare_pass input output rows cols\n", stderr);
        return 1;
    }
    static std::array<std::uint8_t, 3 * block_pixels> rgb;
    static std::array<std::uint8_t, 2 * block_pixels> samples;
    const int input = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int output = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (input < 0 || output < 0) {
        std::fputs("bare_pass: cannot open the files\n", stderr);
        return 1;
    }
    std::uint64_t remaining = std::strtoull(argv[3], nullptr, 10) * std::strtoull(argv[4], nullptr, 10);
    while (remaining > 0) {
        const std::size_t wanted = remaining < block_pixels ? static_cast<std::size_t>(remaining) : block_pixels;
        if (!transfer(input, rgb.data(), 3 * wanted, true) || !transfer(output, samples.data(), 2 * wanted, false)) {
            std::fputs("bare_pass: short read or write\n", stderr);
            return 1;
        }
        remaining -= wanted;
    }
    return close(output) == 0 ? 0 : 1;
}
