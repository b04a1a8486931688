// SPDX-License-Identifier: MIT
// Photographs edited byte by byte, for the cases no encoder makes: an EXIF
// orientation, a PNG chunk inserted or a size restated (its CRC mended), a
// JPEG stating another size, a TIFF whose tile states more than its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include "run_program.hpp"

namespace photo_edits {

using end_to_end::bytes;

// An APP1 segment's EXIF: a little-endian TIFF header and one IFD holding
// only the orientation tag (a SHORT).
inline bytes exif_orientation(int value)
{
    using namespace std::string_literals;
    return "Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0"s + char(value) + "\0\0\0\0\0\0\0"s;
}

inline std::uint32_t crc32(const bytes& data)
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char c : data) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1U) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

inline bytes big_endian(std::uint32_t v)
{
    return bytes{char(v >> 24U), char(v >> 16U), char(v >> 8U), char(v)};
}

inline bytes png_chunk(const bytes& type, const bytes& data)
{
    return big_endian(static_cast<std::uint32_t>(data.size())) + type + data + big_endian(crc32(type + data));
}

constexpr std::size_t png_signature = 8;
constexpr std::size_t ihdr_chunk = 12 + 13;

// `png` with `chunk` right after its IHDR.
inline bytes insert_chunk(const bytes& png, const bytes& chunk)
{
    return png.substr(0, png_signature + ihdr_chunk) + chunk + png.substr(png_signature + ihdr_chunk);
}

// `png` stating another size in its IHDR, the chunk's CRC mended.
inline bytes restate_size(const bytes& png, std::uint32_t width, std::uint32_t height)
{
    const bytes ihdr = big_endian(width) + big_endian(height) + png.substr(png_signature + 16, 5);
    return png.substr(0, png_signature) + png_chunk("IHDR", ihdr) + png.substr(png_signature + ihdr_chunk);
}

// `jpeg` stating another height in its baseline frame header (SOF0).
inline bytes jpeg_restate_height(const bytes& jpeg, std::uint16_t height)
{
    const std::size_t frame = jpeg.find("\xFF\xC0");
    return jpeg.substr(0, frame + 5) + char(height >> 8U) + char(height & 0xFFU) + jpeg.substr(frame + 7);
}

// `jpeg` with 64 one bits (stuffed) from `offset` bytes into its first
// scan's data: a code that no Huffman table holds.
inline bytes jpeg_with_bad_code(const bytes& jpeg, std::size_t offset)
{
    const std::size_t scan = jpeg.find("\xFF\xDA");
    const std::size_t data = scan + 2 + (std::size_t(std::uint8_t(jpeg[scan + 2])) << 8U | std::uint8_t(jpeg[scan + 3]));
    bytes ones;
    for (int i = 0; i < 8; ++i) {
        ones += bytes("\xFF\0", 2);
    }
    return jpeg.substr(0, data + offset) + ones + jpeg.substr(data + offset + ones.size());
}

// `jpeg` stating `size` x `size` pixels, turned a quarter by its EXIF.
inline bytes jpeg_turned_stating(const bytes& jpeg, std::uint16_t size)
{
    const bytes tall = jpeg_restate_height(jpeg, size);
    const std::size_t frame = tall.find("\xFF\xC0");
    const bytes square = tall.substr(0, frame + 7) + char(size >> 8U) + char(size & 0xFFU) + tall.substr(frame + 9);
    const bytes exif = exif_orientation(6);
    const std::size_t length = exif.size() + 2;
    return square.substr(0, 2) + "\xFF\xE1" + char(length >> 8U) + char(length & 0xFFU) + exif + square.substr(2);
}

// A little-endian RGB TIFF of 16 x 16 pixels whose one tile states itself
// 2^20 pixels wide and 256 tall: 768 MiB on the header's word.
inline bytes tiff_of_a_wide_tile()
{
    const auto little = [](std::uint32_t v, int n) {
        bytes b;
        for (int i = 0; i < n; ++i) {
            b += char(v >> (8 * i));
        }
        return b;
    };
    const std::pair<std::uint32_t, std::uint32_t> tags[] = {{256, 16}, {257, 16}, {258, 8},         {259, 1},
                                                            {262, 2},  {277, 3},  {284, 1},         {322, 1U << 20U},
                                                            {323, 256}, {324, 200}, {325, 100}};
    bytes tiff = bytes("II*\0", 4) + little(8, 4) + little(std::size(tags), 2);
    for (const auto& [tag, value] : tags) {
        tiff += little(tag, 2) + little(4, 2) + little(1, 4) + little(value, 4);  // one LONG each
    }
    tiff += little(0, 4);
    return tiff + bytes(200 - tiff.size(), '\0') + bytes(100, '\x11');
}

}  // namespace photo_edits
