// SPDX-License-Identifier: MIT
#include "orient.hpp"

#include <cstring>

namespace conemask {

orientation orientation_of_tag(std::uint32_t value)
{
    return value >= 1 && value <= 8 ? static_cast<orientation>(value) : orientation::top_left;
}

bool swaps_axes(orientation o) { return static_cast<int>(o) >= static_cast<int>(orientation::left_top); }

pixel_place place(orientation o, std::uint32_t rows, std::uint32_t cols, pixel_place stored)
{
    const std::uint32_t r = stored.row;
    const std::uint32_t c = stored.col;
    const std::uint32_t last_row = rows - 1;
    const std::uint32_t last_col = cols - 1;
    switch (o) {
    case orientation::top_left:
        return {r, c};
    case orientation::top_right:
        return {r, last_col - c};
    case orientation::bottom_right:
        return {last_row - r, last_col - c};
    case orientation::bottom_left:
        return {last_row - r, c};
    case orientation::left_top:
        return {c, r};
    case orientation::right_top:
        return {c, last_row - r};
    case orientation::right_bottom:
        return {last_col - c, last_row - r};
    case orientation::left_bottom:
        return {last_col - c, r};
    }
    return {r, c};
}

void orient_raster(orientation o, const std::uint8_t* stored, std::uint32_t rows, std::uint32_t cols,
                   std::size_t pixel_bytes, std::uint8_t* shown)
{
    const std::size_t shown_cols = swaps_axes(o) ? rows : cols;
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c, stored += pixel_bytes) {
            const pixel_place to = place(o, rows, cols, {r, c});
            std::memcpy(shown + (std::size_t{to.row} * shown_cols + to.col) * pixel_bytes, stored, pixel_bytes);
        }
    }
}

}  // namespace conemask
