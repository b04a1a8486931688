// SPDX-License-Identifier: MIT
// ImageMagick's CMYK to RGB, on the inverted samples that Adobe's CMYK (and
// YCCK) JPEGs store. No image library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace conemask {

// One ink of the inverted samples with black: in ImageMagick's 16-bit quanta
// and double precision, rounded to a quantum, then reduced to 8 bits.
std::uint8_t cmyk_channel(unsigned stored_ink, unsigned stored_black);

// Every ink and black at once: a 256 x 256 table, ink-major.
std::vector<std::uint8_t> cmyk_table();

// `count` pixels of four inverted samples into RGB, by `table`.
void cmyk_to_rgb(const std::vector<std::uint8_t>& table, const std::uint8_t* cmyk, std::size_t count,
                 std::uint8_t* rgb);

}  // namespace conemask
