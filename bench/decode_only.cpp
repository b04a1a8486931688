// SPDX-License-Identifier: MIT
// The floor of bench/pipeline: decodes each photograph named on the command
// line to the end, as conemask-image does, and does nothing with the rows.
#include <cstdio>
#include <memory>
#include <vector>

#include "image_decode.hpp"

int main(int argc, char** argv)
{
    constexpr std::size_t band_rows = 16;
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        try {
            const std::unique_ptr<conemask::image_decoder> decoder = conemask::open_image(file);
            std::vector<std::uint8_t> rgb(band_rows * decoder->width() * 3);
            while (decoder->read_rows(rgb.data(), band_rows) == band_rows) {
            }
            decoder->finish();
        } catch (const conemask::decode_error& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
            return 1;
        }
        (void)std::fclose(file);
    }
    return 0;
}
