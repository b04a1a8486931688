// SPDX-License-Identifier: MIT
// A PNG's raster as ImageMagick reads it, by libpng's rules and without
// libpng or zlib, so that the page's WebAssembly module holds the same rules
// as conemask-image: which chunks count (the chunk walk), whether the samples
// are linear light, and the conversion of unfiltered samples to 8-bit RGB.
//
// The page inflates the image data itself (the browser's inflate) and hands
// the inflated bytes to png_to_rgb; conemask-image lets libpng inflate and
// unfilter, and converts each row with png_row_to_rgb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode_error.hpp"

namespace conemask {

// Where a chunk's data lies in the file.
struct png_extent {
    std::size_t offset;
    std::size_t size;
};

// The facts of a PNG that decide its raster.
struct png_layout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bit_depth = 0;
    std::uint8_t colour_type = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGB and alpha
    bool interlaced = false;       // Adam7
    // ImageMagick reads the samples as linear light and encodes them with
    // the sRGB curve: a counted gAMA above 0.75 and no counted sRGB.
    bool linear_light = false;
    std::vector<std::uint8_t> palette;      // the counted PLTE: RGB triples
    std::vector<png_extent> image_data;     // the IDAT chunks' data, in order
    std::size_t inflated_size = 0;          // of the filtered rows, every pass

    [[nodiscard]] std::size_t samples() const;           // a pixel's, alpha included
    [[nodiscard]] std::size_t bits_per_pixel() const;
};

// Adam7's seven passes, or the one pass of an image not interlaced: where
// each starts, and its steps.
struct png_pass {
    std::size_t first_row, first_col, row_step, col_step;
};
std::span<const png_pass> png_passes(bool interlaced);
// How many of `size` places from `first` a pass visits in steps of `step`.
std::size_t png_pass_count(std::size_t size, std::size_t first, std::size_t step);
// The bytes of a row of `cols` pixels as stored.
std::size_t png_row_bytes(const png_layout& layout, std::size_t cols);

// Chunk types as their four bytes read big-endian.
constexpr std::uint32_t png_chunk_type(const char (&name)[5])
{
    return std::uint32_t{static_cast<std::uint8_t>(name[0])} << 24U |
           std::uint32_t{static_cast<std::uint8_t>(name[1])} << 16U |
           std::uint32_t{static_cast<std::uint8_t>(name[2])} << 8U | std::uint32_t{static_cast<std::uint8_t>(name[3])};
}

// The CRC of a chunk's type and data, as PNG computes it.
std::uint32_t png_crc(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Takes a PNG's chunks in file order, as libpng does, and keeps what counts:
// gAMA and sRGB after PLTE or IDAT, a second one, sRGB with an unknown
// intent are ignored, a first gAMA out of 16..625000000 leaves no gamma; iCCP
// and cHRM change no sample; an ancillary chunk whose CRC fails is
// dropped, a critical one refused.
class png_chunk_walk {
public:
    // One chunk: its type, its data, where the data lies, whether its CRC
    // holds. Throws decode_error for what libpng refuses.
    void take(std::uint32_t type, std::span<const std::uint8_t> data, png_extent where, bool crc_holds);
    // True once the first IDAT was taken: later chunks change nothing but
    // the list of image data.
    [[nodiscard]] bool image_data_reached() const { return seen_idat_; }
    [[nodiscard]] bool ended() const { return seen_iend_; }
    // The facts, once the first IDAT was taken. Throws decode_error if not.
    [[nodiscard]] const png_layout& layout() const;

private:
    void take_header(std::span<const std::uint8_t> data);
    void take_palette(std::span<const std::uint8_t> data);
    void take_gamma(std::span<const std::uint8_t> data);
    void take_srgb(std::span<const std::uint8_t> data);

    png_layout layout_;
    std::uint32_t gamma_ = 0;              // the colour space's gamma, 0 when none
    bool gamma_from_gama_ = false;         // a gAMA was taken
    bool srgb_ = false;
    bool colour_space_invalid_ = false;    // libpng then reports no gamma
    bool seen_ihdr_ = false;
    bool seen_plte_ = false;
    bool seen_idat_ = false;
    bool idat_run_ended_ = false;              // another chunk came after the IDATs
    bool seen_iend_ = false;
};

// Walks a whole PNG file's chunks (signature to IEND). Throws decode_error
// with libpng's reason for a file it refuses.
png_layout inspect_png(std::span<const std::uint8_t> file);

// Turns one unfiltered row of `count` pixels (as stored: packed, 16-bit
// big-endian) into RGB, placing pixel i at rgb + 3 * i * step.
void png_row_to_rgb(const png_layout& layout, const std::uint8_t* row, std::size_t count, std::uint8_t* rgb,
                    std::size_t step = 1);

// The whole raster, width x height x 3 bytes, from the inflated image data
// (the zlib stream of every IDAT, inflated): unfiltered, Adam7 put in place,
// converted. Throws decode_error when the data is short, long or damaged.
void png_to_rgb(const png_layout& layout, std::span<const std::uint8_t> inflated, std::uint8_t* rgb);

// ImageMagick's reduction of a 16-bit sample to 8 bits: the floor of v / 257.
constexpr std::uint8_t reduce_to_8_bits(std::uint16_t v) { return static_cast<std::uint8_t>(v / 257U); }

// A linear-light 16-bit sample encoded with the sRGB curve and rounded, as
// ImageMagick's -colorspace sRGB encodes it.
std::uint16_t linear_to_srgb_16(std::uint16_t v);

}  // namespace conemask
