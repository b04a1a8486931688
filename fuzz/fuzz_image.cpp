// SPDX-License-Identifier: MIT
// Fuzzes the decoding of photographs: arbitrary bytes as a file, opened,
// decoded row by row to the end and checked to the end of the image, as
// conemask-image does. Damage must come out as a decode_error; the
// sanitizers catch any read or write past a buffer on the way. A JPEG is
// also judged by the damage rule the page refuses JPEGs by, which must
// never refuse one that the decoder reads.
//
// Input: the bytes of a file (the seeds are small JPEGs and PNGs of every
// kind the program reads).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "decode_error.hpp"
#include "image_decode.hpp"
#include "jpeg_damage.hpp"

namespace {

// Small enough that a header stating a huge image cannot exhaust memory
// before it is refused.
constexpr std::uint64_t pixel_limit = std::uint64_t{1} << 22;
constexpr std::size_t band_rows = 16;

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;  // fmemopen refuses an empty buffer
    }
    bool rule_refused = false;
    const bool jpeg = size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
    try {
        conemask::check_jpeg_damage(std::span(data, size));
    } catch (const conemask::decode_error&) {
        rule_refused = true;
    }
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    try {
        const std::unique_ptr<conemask::image_decoder> decoder = conemask::open_image(file, pixel_limit);
        const std::size_t width = decoder->width();
        const std::size_t height = decoder->height();
        check(width > 0 && height > 0 && width * height <= pixel_limit);
        std::vector<std::uint8_t> rgb(band_rows * width * 3);
        std::size_t rows = 0;
        while (rows < height) {
            const std::size_t got = decoder->read_rows(rgb.data(), band_rows);
            check(got <= band_rows);
            if (got == 0) {
                break;
            }
            rows += got;
        }
        check(rows == height);
        decoder->finish();
        check(!(jpeg && rule_refused));
    } catch (const conemask::decode_error&) {
        // The expected way for damaged bytes to end.
    }
    (void)std::fclose(file);
    return 0;
}
