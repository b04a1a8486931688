// SPDX-License-Identifier: MIT
// EXIF's orientation and the turn ImageMagick's -auto-orient applies for it:
// where a stored pixel is shown, and a whole raster turned. No image library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace conemask {

// EXIF's orientation tag: how the stored rows are turned for display.
enum class orientation : std::uint8_t {
    top_left = 1,      // as stored
    top_right = 2,     // mirrored left to right
    bottom_right = 3,  // turned 180 degrees
    bottom_left = 4,   // mirrored top to bottom
    left_top = 5,      // transposed
    right_top = 6,     // turned 90 degrees clockwise
    right_bottom = 7,  // transverse
    left_bottom = 8,   // turned 90 degrees anticlockwise
};

// A tag's value as an orientation: anything but 1 to 8 leaves the image as stored.
orientation orientation_of_tag(std::uint32_t value);

// Stored rows and columns exchange places on display.
bool swaps_axes(orientation o);

// A pixel's place: row and column.
struct pixel_place {
    std::uint32_t row;
    std::uint32_t col;
    friend bool operator==(const pixel_place&, const pixel_place&) = default;
};

// Where the pixel stored at `stored` of an image of `rows` x `cols` (as
// stored) is shown.
pixel_place place(orientation o, std::uint32_t rows, std::uint32_t cols, pixel_place stored);

// The raster as shown: `stored` holds rows x cols pixels of `pixel_bytes`
// bytes each; `shown` receives as many, cols x rows when swaps_axes(o).
void orient_raster(orientation o, const std::uint8_t* stored, std::uint32_t rows, std::uint32_t cols,
                   std::size_t pixel_bytes, std::uint8_t* shown);

}  // namespace conemask
