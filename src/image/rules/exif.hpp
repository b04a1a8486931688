// SPDX-License-Identifier: MIT
// The EXIF orientation tag, found as ImageMagick finds it: in IFD0 of the
// TIFF structure of a JPEG's first EXIF APP1 segment, or of a WebP's EXIF
// chunk; a SHORT or a LONG, either byte order, TIFF's 42 checked. No image
// library: the same code runs in the page's WebAssembly module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "orient.hpp"

namespace conemask {

// The tag as stored: its value and where that value lies, so that a copy of
// the file can be set upright (1) for a decoder that would turn it again.
struct exif_orientation_tag {
    std::uint32_t value;  // as stored, not checked against 1..8
    std::size_t offset;   // of the value, in the bytes that were searched
    bool is_long;         // a LONG (4 bytes) rather than a SHORT (2)
    bool little_endian;

    [[nodiscard]] orientation turn() const { return orientation_of_tag(value); }
};

// In a TIFF structure (from its "II" or "MM").
std::optional<exif_orientation_tag> orientation_in_tiff(std::span<const std::uint8_t> tiff);
// In an APP1 segment's data, after its length: "Exif\0\0" and a TIFF structure.
std::optional<exif_orientation_tag> orientation_in_app1(std::span<const std::uint8_t> segment);
// In a JPEG file: its segments up to the image data.
std::optional<exif_orientation_tag> orientation_in_jpeg(std::span<const std::uint8_t> file);
// In a WebP file: its EXIF chunk, with or without JPEG's "Exif\0\0" first.
std::optional<exif_orientation_tag> orientation_in_webp(std::span<const std::uint8_t> file);

}  // namespace conemask
