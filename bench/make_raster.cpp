// SPDX-License-Identifier: MIT
// Writes a rows x cols RGB raster for the whole-run benchmark:
//   make_raster file rows cols random          random bytes
//   make_raster file rows cols TILE trows tcols   the raster TILE repeated
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "synthetic_photo.hpp"

namespace {

bool read_tile(const char* name, std::vector<std::uint8_t>& tile)
{
    std::FILE* in = std::fopen(name, "rb");
    if (in == nullptr) {
        return false;
    }
    const bool complete = std::fread(tile.data(), 1, tile.size(), in) == tile.size();
    std::fclose(in);
    return complete;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool random = argc == 5 && std::strcmp(argv[4], "random") == 0;
    if (!random && argc != 7) {
        std::fputs("usage: make_raster file rows cols random | make_raster file rows cols tile trows tcols\n", stderr);
        return 1;
    }
    const auto rows = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto cols = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const auto tile_rows = random ? 1U : static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10));
    const auto tile_cols = random ? 1U : static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10));
    std::vector<std::uint8_t> tile(3 * std::size_t{tile_rows} * tile_cols);
    if (!random && (tile.empty() || !read_tile(argv[4], tile))) {
        std::fprintf(stderr, "make_raster: cannot read %s\n", argv[4]);
        return 1;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> row(3 * std::size_t{cols});
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::uint32_t x = r * 0x9E3779B9U + static_cast<std::uint32_t>(i);
            row[i] = random ? static_cast<std::uint8_t>(bench::mix(x))
                            : tile[3 * (std::size_t{r % tile_rows} * tile_cols + (i / 3) % tile_cols) + i % 3];
        }
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
