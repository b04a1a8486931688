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
#include "jpeg_damage.hpp"
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

}  // namespace

extern "C" {

// 1 when a JPEG file is sound by conemask::check_jpeg_damage (its markers
// in order, its Huffman-coded data read to the last block without a fault);
// 0 (conemask_read_error says why, in conemask-image's words) for one whose
// damage a browser would decode without a word.
EMSCRIPTEN_KEEPALIVE int conemask_jpeg_sound(const std::uint8_t* file, std::size_t size)
{
    return refused([&] { conemask::check_jpeg_damage(std::span(file, size)); }) ? 0 : 1;
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
