// SPDX-License-Identifier: MIT
// Decoding of JPEG, PNG, WebP and TIFF photographs into rows of 8-bit RGB,
// the raster ImageMagick gives for `convert IMAGE -auto-orient -alpha off
// -colorspace sRGB -depth 8 rgb:`, before its orientation is applied: alpha
// dropped, grey and palettes expanded, 16-bit samples reduced as ImageMagick
// reduces them, linear-light PNGs encoded with the sRGB curve, CMYK turned
// into RGB by ImageMagick's formula. Colour profiles are not applied. The
// rules themselves are png_rules.hpp, exif.hpp and orient.hpp, which the
// page's WebAssembly module shares; the libraries only decode.
//
// Rows come in the order they are stored; the orientation is reported for the
// caller to apply, as the turn is cheaper on the 16-bit mask than on pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "decode_error.hpp"
#include "orient.hpp"

namespace conemask {

// Past this many pixels an image is refused before any is decoded: the
// largest mask a turned photograph or an interlaced PNG holds whole (2 GiB of
// samples, 3 of pixels). It is far beyond any camera's.
inline constexpr std::uint64_t max_image_pixels = std::uint64_t{1} << 30;

class image_decoder {
public:
    image_decoder() = default;
    image_decoder(const image_decoder&) = delete;
    image_decoder& operator=(const image_decoder&) = delete;
    image_decoder(image_decoder&&) = delete;
    image_decoder& operator=(image_decoder&&) = delete;
    virtual ~image_decoder() = default;

    // As stored: width pixels by height rows.
    [[nodiscard]] std::uint32_t width() const { return width_; }
    [[nodiscard]] std::uint32_t height() const { return height_; }
    [[nodiscard]] orientation turn() const { return turn_; }

    // Decodes up to `rows` of the next stored rows into `rgb` (3 x width bytes
    // a row) and returns how many it gave: fewer than asked only after the
    // last row. Throws decode_error on damaged data.
    virtual std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) = 0;
    // After the last row: reads the rest of the image's data, so that a file
    // cut short there fails too. Throws decode_error.
    virtual void finish() = 0;

protected:
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    orientation turn_ = orientation::top_left;
};

// Reads the header of the image that `file` holds (a JPEG or a PNG, told by
// its first bytes) and returns its decoder; the file stays the caller's and
// must outlive the decoder. Throws decode_error for anything else, a damaged
// header, or more than `pixel_limit` pixels.
std::unique_ptr<image_decoder> open_image(std::FILE* file, std::uint64_t pixel_limit = max_image_pixels);

// Opens a photograph for reading without blocking on it: a FIFO, a device
// or a directory is refused before anything waits for a writer. Throws
// decode_error with the reason (the system's, or what the file is); the
// caller closes the file.
std::FILE* open_photograph(const std::string& path);

// The 8-bit RGB raster as shown (its orientation applied), rows x cols x 3:
// what conemask-image classifies. Throws decode_error.
struct shown_raster {
    std::uint32_t rows = 0;
    std::uint32_t cols = 0;
    std::vector<std::uint8_t> rgb;
};
shown_raster read_photograph(const std::string& path, std::uint64_t pixel_limit = max_image_pixels);

}  // namespace conemask
