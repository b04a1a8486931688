// SPDX-License-Identifier: MIT
// The picture of a mask: an 8-bit grey PNG with the samples levelled from
// 0..253 to 0..255, the picture the README's recipe draws with
// `convert -size WxH -depth 16 -endian LSB gray:BASE.raw -level 0,253 -depth 8`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace conemask {

class png_write_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The recipe's grey for a sample: ImageMagick reads the sample as an unsigned
// 16-bit value (a negative one as 65536 less its magnitude), levels 253 to
// white and rounds down to 8 bits; anything past 253 is white.
constexpr std::uint8_t picture_level(std::int16_t sample)
{
    constexpr unsigned white_sample = 253;
    constexpr unsigned white = 255;
    const unsigned value = static_cast<std::uint16_t>(sample);
    return static_cast<std::uint8_t>(value >= white_sample ? white : value * white / white_sample);
}

class png_writer {
public:
    // Writes the header to `file`, which stays the caller's.
    png_writer(std::FILE* file, std::uint32_t width, std::uint32_t height);
    png_writer(const png_writer&) = delete;
    png_writer& operator=(const png_writer&) = delete;
    png_writer(png_writer&&) = delete;
    png_writer& operator=(png_writer&&) = delete;
    ~png_writer();

    // The next row of `width` samples.
    void write_row(const std::int16_t* samples);
    // After the last row: the end of the image. The caller then flushes and
    // closes the file, and checks both.
    void finish();

    // libpng's handles, defined in the source.
    struct state;

private:
    std::unique_ptr<state> state_;
};

}  // namespace conemask
