// SPDX-License-Identifier: MIT
// libpng's rules for which chunks count, and ImageMagick's linear-light test.
// Of the colour chunks only gAMA and sRGB change a sample: ImageMagick
// applies no profile (iCCP) and no chromaticities (cHRM), whether libpng
// counts them or not. A first gAMA out of libpng's range marks the colour
// space invalid, after which libpng reports no gamma at all and ImageMagick
// keeps its default: the samples as stored.
#include "png_rules.hpp"

#include <array>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

namespace conemask {

namespace {

constexpr std::uint32_t ihdr = png_chunk_type("IHDR");
constexpr std::uint32_t plte = png_chunk_type("PLTE");
constexpr std::uint32_t idat = png_chunk_type("IDAT");
constexpr std::uint32_t iend = png_chunk_type("IEND");
constexpr std::uint32_t gama = png_chunk_type("gAMA");
constexpr std::uint32_t srgb = png_chunk_type("sRGB");

constexpr std::uint32_t gamma_least = 16;             // libpng's range for gAMA
constexpr std::uint32_t gamma_most = 625'000'000;
constexpr std::uint32_t linear_above = 75'000;        // ImageMagick: gamma > 0.75
constexpr std::uint32_t srgb_gamma = 45'455;
constexpr std::uint32_t largest_dimension = 0x7FFF'FFFF;  // PNG's own bound

std::uint32_t u32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24U | std::uint32_t{p[1]} << 16U | std::uint32_t{p[2]} << 8U | p[3];
}

std::string type_name(std::uint32_t type)
{
    std::string name(4, ' ');
    for (std::size_t i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(type >> (24U - 8U * i) & 0xFFU);
        name[i] = std::isalpha(static_cast<unsigned char>(c)) != 0 ? c : '?';
    }
    return name;
}

[[noreturn]] void refuse(const std::string& reason) { throw decode_error("PNG: " + reason); }

bool is_critical(std::uint32_t type) { return (type & 0x2000'0000U) == 0; }

// The bit depths each colour type allows, as a set of bits.
bool allowed(std::uint8_t colour_type, std::uint8_t depth)
{
    switch (colour_type) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

}  // namespace

std::uint32_t png_crc(std::span<const std::uint8_t> bytes, std::uint32_t crc)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < t.size(); ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1U) != 0 ? 0xEDB8'8320U ^ (c >> 1U) : c >> 1U;
            }
            t[n] = c;
        }
        return t;
    }();
    return ~std::accumulate(bytes.begin(), bytes.end(), ~crc, [](std::uint32_t c, std::uint8_t b) {
        return table[(c ^ b) & 0xFFU] ^ (c >> 8U);
    });
}

void png_chunk_walk::take(std::uint32_t type, std::span<const std::uint8_t> data, png_extent where, bool crc_holds)
{
    if (!crc_holds) {
        if (is_critical(type)) {
            refuse(type_name(type) + ": CRC error");
        }
        return;  // libpng drops a damaged ancillary chunk
    }
    if (!seen_ihdr_ && type != ihdr) {
        refuse(type_name(type) + ": missing IHDR");
    }
    if (seen_idat_ && type != idat) {
        idat_run_ended_ = true;
    }
    switch (type) {
    case ihdr:
        take_header(data);
        return;
    case plte:
        take_palette(data);
        return;
    case idat:
        if (layout_.colour_type == 3 && !seen_plte_) {
            refuse("Missing PLTE before IDAT");
        }
        if (!seen_idat_) {
            // ImageMagick's test, on what libpng reports.
            layout_.linear_light = !colour_space_invalid_ && !srgb_ && gamma_ > linear_above;
        }
        seen_idat_ = true;
        // libpng reads the image data from the first run of IDATs alone.
        if (!idat_run_ended_) {
            layout_.image_data.push_back(where);
        }
        return;
    case iend:
        if (!seen_idat_) {
            refuse("IEND: out of place");
        }
        seen_iend_ = true;
        return;
    default:
        break;
    }
    if (is_critical(type)) {
        refuse(type_name(type) + ": unknown critical chunk");
    }
    // The colour chunks count only before PLTE and IDAT.
    if (seen_plte_ || seen_idat_) {
        return;
    }
    switch (type) {
    case gama:
        take_gamma(data);
        break;
    case srgb:
        take_srgb(data);
        break;
    default:
        break;
    }
}

void png_chunk_walk::take_header(std::span<const std::uint8_t> data)
{
    if (seen_ihdr_) {
        refuse("IHDR: out of place");
    }
    if (data.size() != 13) {
        refuse("IHDR: invalid");
    }
    seen_ihdr_ = true;
    layout_.width = u32(data.data());
    layout_.height = u32(data.data() + 4);
    layout_.bit_depth = data[8];
    layout_.colour_type = data[9];
    if (layout_.width == 0 || layout_.width > largest_dimension) {
        refuse("Invalid image width in IHDR");
    }
    if (layout_.height == 0 || layout_.height > largest_dimension) {
        refuse("Invalid image height in IHDR");
    }
    if (!allowed(layout_.colour_type, layout_.bit_depth)) {
        refuse("Invalid bit depth " + std::to_string(layout_.bit_depth) + " for colour type " +
               std::to_string(layout_.colour_type) + " in IHDR");
    }
    if (data[10] != 0) {
        refuse("Unknown compression method in IHDR");
    }
    if (data[11] != 0) {
        refuse("Unknown filter method in IHDR");
    }
    if (data[12] > 1) {
        refuse("Unknown interlace method in IHDR");
    }
    layout_.interlaced = data[12] == 1;
    for (const png_pass& pass : png_passes(layout_.interlaced)) {
        const std::size_t rows = png_pass_count(layout_.height, pass.first_row, pass.row_step);
        const std::size_t cols = png_pass_count(layout_.width, pass.first_col, pass.col_step);
        if (rows != 0 && cols != 0) {
            layout_.inflated_size += rows * (1 + png_row_bytes(layout_, cols));
        }
    }
}

void png_chunk_walk::take_palette(std::span<const std::uint8_t> data)
{
    if (seen_plte_) {
        refuse("PLTE: duplicate");
    }
    if (seen_idat_) {
        refuse("PLTE: out of place");
    }
    seen_plte_ = true;
    if (layout_.colour_type != 3) {
        return;  // a suggested palette: the pixels carry their own colours
    }
    constexpr std::size_t most_entries = 256;
    if (data.size() % 3 != 0 || data.empty() || data.size() > 3 * most_entries) {
        refuse("PLTE: invalid");
    }
    // Entries beyond what the bit depth can name are dropped.
    const std::size_t entries = std::min(data.size() / 3, std::size_t{1} << layout_.bit_depth);
    layout_.palette.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(3 * entries));
}

void png_chunk_walk::take_gamma(std::span<const std::uint8_t> data)
{
    // The first gAMA decides, a later one is ignored; one out of libpng's
    // range leaves no gamma at all. An sRGB chunk's gamma stays against it.
    if (data.size() != 4 || gamma_from_gama_) {
        return;
    }
    gamma_from_gama_ = true;
    const std::uint32_t value = u32(data.data());
    if (value < gamma_least || value > gamma_most) {
        colour_space_invalid_ = true;
        return;
    }
    if (!srgb_) {
        gamma_ = value;
    }
}

void png_chunk_walk::take_srgb(std::span<const std::uint8_t> data)
{
    constexpr std::uint8_t known_intents = 4;
    // An intent libpng does not know: the chunk is ignored.
    if (data.size() != 1 || data[0] >= known_intents || srgb_) {
        return;
    }
    srgb_ = true;
    gamma_ = srgb_gamma;
}

const png_layout& png_chunk_walk::layout() const
{
    if (!seen_ihdr_) {
        refuse("no IHDR");
    }
    if (!seen_idat_) {
        refuse("no image data");
    }
    return layout_;
}

png_layout inspect_png(std::span<const std::uint8_t> file)
{
    constexpr std::array<std::uint8_t, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < signature.size() || !std::equal(signature.begin(), signature.end(), file.begin())) {
        refuse("not a PNG file");
    }
    png_chunk_walk walk;
    std::size_t at = signature.size();
    while (!walk.ended()) {
        if (file.size() - at < 12) {
            refuse("the file ends early");
        }
        const std::uint32_t length = u32(file.data() + at);
        if (length > largest_dimension) {
            refuse("PNG unsigned integer out of range");
        }
        if (length > file.size() - at - 12) {
            refuse("the file ends early");
        }
        const std::uint32_t type = u32(file.data() + at + 4);
        const auto typed = file.subspan(at + 4, 4 + std::size_t{length});
        const bool crc_holds = png_crc(typed) == u32(file.data() + at + 8 + length);
        walk.take(type, typed.subspan(4), png_extent{at + 8, length}, crc_holds);
        at += 12 + std::size_t{length};
    }
    return walk.layout();
}

}  // namespace conemask
