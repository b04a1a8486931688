// SPDX-License-Identifier: MIT
// The page's reading of a photograph, through the program's own reading
// rules (src/png_rules, src/exif, src/orient): which PNG chunks count, the
// linear-light rule and the conversion of samples, the EXIF orientation and
// its turn. The worker's JavaScript only walks bytes it hands over, inflates
// with the browser, and has the browser decode JPEG and WebP.
#include <emscripten/emscripten.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>

#include "decode_error.hpp"
#include "exif.hpp"
#include "orient.hpp"
#include "png_rules.hpp"

namespace {

// The last refusal's reason, for conemask_read_error().
std::string& last_error()
{
    static std::string text;
    return text;
}

// Runs `read`; false, with the reason kept, when it refuses the file.
template <typename Read>
bool refused(Read&& read)
{
    try {
        read();
        return false;
    } catch (const conemask::decode_error& error) {
        last_error() = error.what();
    } catch (const std::bad_alloc&) {
        last_error() = "not enough memory to read it";
    }
    return true;
}

// Markers of JPEG's entropy-coded data: RST0 to RST7, and the end of the image.
constexpr std::uint8_t rst0 = 0xD0;
constexpr std::uint8_t rst7 = 0xD7;
constexpr std::uint8_t start_of_scan = 0xDA;
constexpr std::uint8_t end_of_image = 0xD9;
constexpr std::uint8_t define_restart = 0xDD;

std::size_t be16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return std::size_t{bytes[at]} << 8U | bytes[at + 1];
}

// One scan's entropy-coded data from `at`: the offset of the marker that
// ends it. libjpeg warns of (and conemask-image refuses) a marker in it
// other than the restart markers a restart interval calls for, in turn.
std::size_t skip_entropy_coded(std::span<const std::uint8_t> bytes, std::size_t at, bool restarts)
{
    std::size_t next_restart = 0;
    for (; at + 1 < bytes.size(); ++at) {
        if (bytes[at] != 0xFF || bytes[at + 1] == 0x00 || bytes[at + 1] == 0xFF) {
            continue;
        }
        const std::uint8_t marker = bytes[at + 1];
        if (marker < rst0 || marker > rst7) {
            return at;
        }
        if (!restarts || marker != rst0 + next_restart) {
            throw conemask::decode_error("JPEG: corrupt data: a restart marker out of place in its image data");
        }
        next_restart = (next_restart + 1) % 8;
        ++at;
    }
    throw conemask::decode_error("JPEG: the file ends in its image data");
}

// The segments and scans of a JPEG file, up to its end-of-image marker.
void check_jpeg_structure(std::span<const std::uint8_t> bytes)
{
    bool restarts = false;
    std::size_t at = 2;
    for (;;) {
        while (at < bytes.size() && bytes[at] == 0xFF && at + 1 < bytes.size() && bytes[at + 1] == 0xFF) {
            ++at;  // fill bytes before a marker
        }
        if (at + 1 >= bytes.size()) {
            throw conemask::decode_error("JPEG: the file ends before its end-of-image marker");
        }
        if (bytes[at] != 0xFF) {
            throw conemask::decode_error("JPEG: corrupt data: bytes where a marker should be");
        }
        const std::uint8_t marker = bytes[at + 1];
        if (marker == end_of_image) {
            return;
        }
        if (at + 4 > bytes.size() || be16(bytes, at + 2) < 2 || at + 2 + be16(bytes, at + 2) > bytes.size()) {
            throw conemask::decode_error("JPEG: the file ends in a segment");
        }
        const std::size_t length = be16(bytes, at + 2);
        if (marker == define_restart && length >= 4) {
            restarts = be16(bytes, at + 4) != 0;
        }
        at += 2 + length;
        if (marker == start_of_scan) {
            at = skip_entropy_coded(bytes, at, restarts);
        }
    }
}

}  // namespace

extern "C" {

// 1 when a JPEG file's markers are in order: its segments whole, in its
// image data no marker but the restart markers in turn, an end-of-image
// marker. A browser decodes a picture from damaged data without a word
// where libjpeg warns; 0 (conemask_read_error says why) for such a file.
EMSCRIPTEN_KEEPALIVE int conemask_jpeg_sound(const std::uint8_t* file, std::size_t size)
{
    return refused([&] { check_jpeg_structure(std::span(file, size)); }) ? 0 : 1;
}

EMSCRIPTEN_KEEPALIVE const char* conemask_read_error()
{
    return last_error().c_str();
}

// The facts of the PNG file at `file`, kept until conemask_png_free: null
// when it is refused (conemask_read_error says why). `facts` receives
// width, height, the size of the inflated image data, and the number of
// IDAT chunks; conemask_png_image_data gives their places.
EMSCRIPTEN_KEEPALIVE conemask::png_layout* conemask_png_inspect(const std::uint8_t* file, std::size_t size,
                                                                std::uint32_t* facts)
{
    conemask::png_layout* layout = nullptr;
    if (refused([&] { layout = new conemask::png_layout(conemask::inspect_png(std::span(file, size))); })) {
        return nullptr;
    }
    facts[0] = layout->width;
    facts[1] = layout->height;
    facts[2] = static_cast<std::uint32_t>(layout->inflated_size);
    facts[3] = static_cast<std::uint32_t>(layout->image_data.size());
    return layout;
}

// The offset and size, in the file, of the data of IDAT chunk `index`.
EMSCRIPTEN_KEEPALIVE void conemask_png_image_data(const conemask::png_layout* layout, std::size_t index,
                                                  std::uint32_t* extent)
{
    extent[0] = static_cast<std::uint32_t>(layout->image_data.at(index).offset);
    extent[1] = static_cast<std::uint32_t>(layout->image_data.at(index).size);
}

// The raster, width x height x 3 bytes into `rgb`, from the inflated image
// data; 0 when it is refused.
EMSCRIPTEN_KEEPALIVE int conemask_png_to_rgb(const conemask::png_layout* layout, const std::uint8_t* inflated,
                                             std::size_t size, std::uint8_t* rgb)
{
    return refused([&] { conemask::png_to_rgb(*layout, std::span(inflated, size), rgb); }) ? 0 : 1;
}

EMSCRIPTEN_KEEPALIVE void conemask_png_free(conemask::png_layout* layout)
{
    delete layout;
}

// The EXIF orientation tag of a JPEG (`webp` 0) or WebP file (`webp` 1):
// 1 with `tag` = value, offset, is a LONG, is little-endian; 0 when none.
EMSCRIPTEN_KEEPALIVE int conemask_exif_orientation(const std::uint8_t* file, std::size_t size, int webp,
                                                   std::uint32_t* tag)
{
    const std::span bytes(file, size);
    const std::optional<conemask::exif_orientation_tag> found =
        webp != 0 ? conemask::orientation_in_webp(bytes) : conemask::orientation_in_jpeg(bytes);
    if (!found) {
        return 0;
    }
    tag[0] = found->value;
    tag[1] = static_cast<std::uint32_t>(found->offset);
    tag[2] = found->is_long ? 1U : 0U;
    tag[3] = found->little_endian ? 1U : 0U;
    return 1;
}

// ImageMagick's -auto-orient turn for a tag's value, of a raster of rows x
// cols RGB pixels into `shown`; returns 1 when rows and cols exchange.
EMSCRIPTEN_KEEPALIVE int conemask_orient(std::uint32_t tag_value, const std::uint8_t* stored, std::uint32_t rows,
                                         std::uint32_t cols, std::uint8_t* shown)
{
    const conemask::orientation turn = conemask::orientation_of_tag(tag_value);
    conemask::orient_raster(turn, stored, rows, cols, 3, shown);
    return conemask::swaps_axes(turn) ? 1 : 0;
}

}  // extern "C"
