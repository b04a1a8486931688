// SPDX-License-Identifier: MIT
// ImageMagick's rules for a PNG's samples: 16-bit reduction, grey and
// palette expansion, alpha dropped, the sRGB curve for linear light; and,
// for a face that inflates the image data itself, unfiltering and Adam7.
#include "png_rules.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace conemask {

namespace {

[[noreturn]] void refuse(const std::string& reason) { throw decode_error("PNG: " + reason); }

// Adam7: where each of the seven passes starts, and its steps.
constexpr std::array<png_pass, 7> adam7{{
    {0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4}, {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1},
}};
constexpr png_pass whole_image{0, 0, 1, 1};

}  // namespace

std::span<const png_pass> png_passes(bool interlaced)
{
    return interlaced ? std::span<const png_pass>(adam7) : std::span<const png_pass>(&whole_image, 1);
}

std::size_t png_pass_count(std::size_t size, std::size_t first, std::size_t step)
{
    return size > first ? (size - first + step - 1) / step : 0;
}

std::size_t png_row_bytes(const png_layout& layout, std::size_t cols)
{
    return (cols * layout.bits_per_pixel() + 7) / 8;
}

std::size_t png_layout::samples() const
{
    switch (colour_type) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

std::size_t png_layout::bits_per_pixel() const { return samples() * bit_depth; }

std::uint16_t linear_to_srgb_16(std::uint16_t v)
{
    constexpr double range = 65535.0;
    constexpr double linear_segment_end = 0.0031306684425005883;
    const double x = v / range;
    // ImageMagick's slope is a float constant.
    const double encoded = x <= linear_segment_end ? static_cast<double>(12.92F) * v
                                                   : range * (1.055 * std::pow(x, 1.0 / 2.4) - 0.055);
    const double rounded = std::floor(encoded + 0.5);
    return static_cast<std::uint16_t>(std::clamp(rounded, 0.0, range));
}

namespace {

// Every 16-bit sample of a linear-light image as 8 bits.
const std::vector<std::uint8_t>& linear_16_to_8()
{
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(std::size_t{1} << 16U);
        for (std::size_t v = 0; v < t.size(); ++v) {
            t[v] = reduce_to_8_bits(linear_to_srgb_16(static_cast<std::uint16_t>(v)));
        }
        return t;
    }();
    return table;
}

}  // namespace

void png_row_to_rgb(const png_layout& layout, const std::uint8_t* row, std::size_t count, std::uint8_t* rgb,
                    std::size_t step)
{
    const std::size_t samples = layout.samples();
    const std::size_t out_step = 3 * step;
    const std::uint8_t* linear = layout.linear_light ? linear_16_to_8().data() : nullptr;
    const auto sample_16 = [&](const std::uint8_t* p) {
        const auto v = static_cast<std::uint16_t>(p[0] << 8U | p[1]);
        return linear != nullptr ? linear[v] : reduce_to_8_bits(v);
    };
    // Samples of 8 bits or fewer are v x 257 in 16 bits.
    const auto sample_8 = [&](unsigned v) { return linear != nullptr ? linear[std::size_t{v} * 257U] : static_cast<std::uint8_t>(v); };
    const bool colour = samples >= 3;
    if (layout.bit_depth == 16) {
        for (std::size_t x = 0; x < count; ++x, row += 2 * samples, rgb += out_step) {
            rgb[0] = sample_16(row);
            rgb[1] = colour ? sample_16(row + 2) : rgb[0];
            rgb[2] = colour ? sample_16(row + 4) : rgb[0];
        }
        return;
    }
    // A photograph's usual kind: the row is the raster's row.
    if (layout.bit_depth == 8 && layout.colour_type == 2 && linear == nullptr && step == 1) {
        std::memcpy(rgb, row, 3 * count);
        return;
    }
    if (layout.bit_depth == 8 && layout.colour_type != 3) {
        for (std::size_t x = 0; x < count; ++x, row += samples, rgb += out_step) {
            rgb[0] = sample_8(row[0]);
            rgb[1] = colour ? sample_8(row[1]) : rgb[0];
            rgb[2] = colour ? sample_8(row[2]) : rgb[0];
        }
        return;
    }
    // Palette indices, or grey of 1, 2 or 4 bits, packed from each byte's
    // high bits; grey scaled to 0..255.
    const unsigned depth = layout.bit_depth;
    const unsigned mask = (1U << depth) - 1U;
    const std::size_t entries = layout.palette.size() / 3;
    for (std::size_t x = 0, bit = 0; x < count; ++x, bit += depth, rgb += out_step) {
        const unsigned value = (unsigned{row[bit >> 3U]} >> (8U - depth - (bit & 7U))) & mask;
        if (layout.colour_type == 3) {
            if (value >= entries) {
                refuse("a pixel names colour " + std::to_string(value) + " of a palette of " +
                       std::to_string(entries));
            }
            const std::uint8_t* entry = layout.palette.data() + std::size_t{3} * value;
            rgb[0] = sample_8(entry[0]);
            rgb[1] = sample_8(entry[1]);
            rgb[2] = sample_8(entry[2]);
        } else {
            rgb[0] = rgb[1] = rgb[2] = sample_8(value * 255U / mask);
        }
    }
}

namespace {

std::uint8_t paeth(int left, int up, int corner)
{
    const int pa = std::abs(up - corner);
    const int pb = std::abs(left - corner);
    const int pc = std::abs(left + up - 2 * corner);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? left : pb <= pc ? up : corner);
}

// Undoes one row's filter in place, against the row above (zeros above the
// first). One loop a filter: the filter is the same along a row.
void unfilter(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* above, std::size_t size, std::size_t pixel)
{
    const auto add = [](std::uint8_t& to, unsigned v) { to = static_cast<std::uint8_t>(to + v); };
    switch (filter) {
    case 0:
        return;
    case 1:
        for (std::size_t i = pixel; i < size; ++i) {
            add(row[i], row[i - pixel]);
        }
        return;
    case 2:
        for (std::size_t i = 0; i < size; ++i) {
            add(row[i], above[i]);
        }
        return;
    case 3:
        for (std::size_t i = 0; i < size; ++i) {
            add(row[i], ((i >= pixel ? row[i - pixel] : 0U) + above[i]) >> 1U);
        }
        return;
    case 4:
        for (std::size_t i = 0; i < size; ++i) {
            add(row[i], i >= pixel ? paeth(row[i - pixel], above[i], above[i - pixel]) : above[i]);
        }
        return;
    default:
        refuse("bad adaptive filter value");
    }
}

}  // namespace

void png_to_rgb(const png_layout& layout, std::span<const std::uint8_t> inflated, std::uint8_t* rgb)
{
    if (inflated.size() < layout.inflated_size) {
        refuse("Not enough image data");
    }
    if (inflated.size() > layout.inflated_size) {
        refuse("IDAT: Too much image data");
    }
    const std::size_t pixel = std::max<std::size_t>(1, layout.bits_per_pixel() / 8);
    std::vector<std::uint8_t> row;
    std::vector<std::uint8_t> above;
    std::size_t at = 0;
    for (const png_pass& pass : png_passes(layout.interlaced)) {
        const std::size_t rows = png_pass_count(layout.height, pass.first_row, pass.row_step);
        const std::size_t cols = png_pass_count(layout.width, pass.first_col, pass.col_step);
        if (rows == 0 || cols == 0) {
            continue;  // a small image leaves some of Adam7's passes empty
        }
        const std::size_t size = png_row_bytes(layout, cols);
        above.assign(size, 0);
        for (std::size_t r = 0; r < rows; ++r, at += 1 + size) {
            row.assign(inflated.begin() + static_cast<std::ptrdiff_t>(at + 1),
                       inflated.begin() + static_cast<std::ptrdiff_t>(at + 1 + size));
            unfilter(inflated[at], row.data(), above.data(), size, pixel);
            const std::size_t y = pass.first_row + r * pass.row_step;
            png_row_to_rgb(layout, row.data(), cols, rgb + 3 * (y * layout.width + pass.first_col), pass.col_step);
            row.swap(above);
        }
    }
}

}  // namespace conemask
