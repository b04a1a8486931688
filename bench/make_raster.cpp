// Writes a synthetic rows x cols RGB raster for the whole-run benchmark.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "synthetic_photo.hpp"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: make_raster file rows cols\n", stderr);
        return 1;
    }
    const auto rows = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto cols = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> row(3 * std::size_t{cols});
    for (std::uint32_t r = 0; r < rows; ++r) {
        bench::synthetic_row(r, 0, cols, row.data());
        if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) {
            std::perror(argv[1]);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
