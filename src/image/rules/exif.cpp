// SPDX-License-Identifier: MIT
#include "exif.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace conemask {

namespace {

constexpr std::array<std::uint8_t, 6> exif_header{'E', 'x', 'i', 'f', 0, 0};

bool starts_with(std::span<const std::uint8_t> bytes, std::size_t at, const std::uint8_t* what, std::size_t size)
{
    return bytes.size() >= at + size && std::memcmp(bytes.data() + at, what, size) == 0;
}

// Reads integers of either byte order from a TIFF structure.
struct tiff_reader {
    std::span<const std::uint8_t> bytes;
    bool little;

    [[nodiscard]] std::uint32_t u16(std::size_t at) const
    {
        return little ? std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8U
                      : std::uint32_t{bytes[at]} << 8U | std::uint32_t{bytes[at + 1]};
    }
    [[nodiscard]] std::uint32_t u32(std::size_t at) const
    {
        return little ? u16(at) | u16(at + 2) << 16U : u16(at) << 16U | u16(at + 2);
    }
};

// A found tag's offset moved from within `part` to within what holds it.
std::optional<exif_orientation_tag> shifted(std::optional<exif_orientation_tag> tag, std::size_t by)
{
    if (tag) {
        tag->offset += by;
    }
    return tag;
}

}  // namespace

std::optional<exif_orientation_tag> orientation_in_tiff(std::span<const std::uint8_t> tiff)
{
    constexpr std::uint32_t orientation_tag = 0x0112;
    constexpr std::uint32_t short_type = 3;
    constexpr std::uint32_t long_type = 4;
    constexpr std::uint32_t tiff_magic = 42;
    constexpr std::size_t entry_size = 12;
    if (tiff.size() < 8) {
        return std::nullopt;
    }
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) {
        return std::nullopt;
    }
    const tiff_reader in{tiff, little};
    if (in.u16(2) != tiff_magic) {
        return std::nullopt;
    }
    const std::size_t directory = in.u32(4);
    if (directory > tiff.size() - 2) {
        return std::nullopt;
    }
    const std::size_t entries = in.u16(directory);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + i * entry_size;
        if (entry + entry_size > tiff.size()) {
            return std::nullopt;
        }
        if (in.u16(entry) != orientation_tag) {
            continue;
        }
        const std::uint32_t type = in.u16(entry + 2);
        if (in.u32(entry + 4) != 1 || (type != short_type && type != long_type)) {
            return std::nullopt;
        }
        const bool is_long = type == long_type;
        return exif_orientation_tag{is_long ? in.u32(entry + 8) : in.u16(entry + 8), entry + 8, is_long, little};
    }
    return std::nullopt;
}

std::optional<exif_orientation_tag> orientation_in_app1(std::span<const std::uint8_t> segment)
{
    if (!starts_with(segment, 0, exif_header.data(), exif_header.size())) {
        return std::nullopt;
    }
    return shifted(orientation_in_tiff(segment.subspan(exif_header.size())), exif_header.size());
}

std::optional<exif_orientation_tag> orientation_in_jpeg(std::span<const std::uint8_t> file)
{
    constexpr std::uint8_t app1 = 0xE1;
    constexpr std::uint8_t start_of_scan = 0xDA;
    constexpr std::uint8_t end_of_image = 0xD9;
    for (std::size_t at = 2; at + 4 <= file.size();) {
        if (file[at] != 0xFF) {
            return std::nullopt;
        }
        const std::uint8_t marker = file[at + 1];
        if (marker == 0xFF) {  // fill byte
            at += 1;
            continue;
        }
        if (marker == start_of_scan || marker == end_of_image) {
            return std::nullopt;
        }
        const std::size_t length = std::size_t{file[at + 2]} << 8U | file[at + 3];
        if (length < 2) {
            return std::nullopt;
        }
        const std::size_t end = std::min(file.size(), at + 2 + length);
        if (marker == app1 && starts_with(file, at + 4, exif_header.data(), exif_header.size())) {
            return shifted(orientation_in_app1(file.subspan(at + 4, end - (at + 4))), at + 4);
        }
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<exif_orientation_tag> orientation_in_webp(std::span<const std::uint8_t> file)
{
    constexpr std::size_t riff_header = 12;
    constexpr std::size_t chunk_header = 8;
    if (!starts_with(file, 0, reinterpret_cast<const std::uint8_t*>("RIFF"), 4) ||
        !starts_with(file, 8, reinterpret_cast<const std::uint8_t*>("WEBP"), 4)) {
        return std::nullopt;
    }
    for (std::size_t at = riff_header; at + chunk_header <= file.size();) {
        const std::size_t length = std::size_t{file[at + 4]} | std::size_t{file[at + 5]} << 8U |
                                   std::size_t{file[at + 6]} << 16U | std::size_t{file[at + 7]} << 24U;
        const std::size_t start = at + chunk_header;
        const std::size_t end = length > file.size() - start ? file.size() : start + length;
        if (starts_with(file, at, reinterpret_cast<const std::uint8_t*>("EXIF"), 4)) {
            // Some writers keep JPEG's "Exif\0\0" before the TIFF structure.
            const std::size_t skip =
                end - start >= exif_header.size() && starts_with(file, start, exif_header.data(), exif_header.size())
                    ? exif_header.size()
                    : 0;
            return shifted(orientation_in_tiff(file.subspan(start + skip, end - start - skip)), start + skip);
        }
        if (length > file.size() - start) {
            return std::nullopt;
        }
        at = start + length + (length & 1U);
    }
    return std::nullopt;
}

}  // namespace conemask
