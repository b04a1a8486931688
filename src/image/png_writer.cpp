// SPDX-License-Identifier: MIT
#include "png_writer.hpp"

#include <png.h>
#include <zlib.h>

#include <array>
#include <csetjmp>
#include <string>
#include <vector>

namespace conemask {

namespace {

constexpr int grey_depth = 8;
// A mask is mostly runs of one value: zlib's fastest level with run-length
// matching only, on unfiltered rows, takes a third less time than level 1's
// usual search on a 12-megapixel mask and gives a smaller file; the higher
// levels cost several times as much.
constexpr int compression_level = 1;

}  // namespace

// libpng's fatal errors jump back to guarded(); nothing with a destructor
// lives in the frames it skips.
struct png_writer::state {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::jmp_buf jump{};
    std::string message;
    std::vector<std::uint8_t> row;

    state() = default;
    state(const state&) = delete;
    state& operator=(const state&) = delete;
    state(state&&) = delete;
    state& operator=(state&&) = delete;
    ~state() { png_destroy_write_struct(&png, &info); }

    template <typename step_fn>
    void guarded(step_fn step)
    {
        if (setjmp(jump) != 0) {  // NOLINT(cert-err52-cpp): libpng's only way to stop
            throw png_write_error("PNG: " + message);
        }
        step();
    }
};

namespace {

[[noreturn]] void on_error(png_structp png, png_const_charp message)
{
    auto* s = static_cast<png_writer::state*>(png_get_error_ptr(png));
    s->message = message;
    std::longjmp(s->jump, 1);  // NOLINT(cert-err52-cpp)
}

void on_warning(png_structp /*png*/, png_const_charp /*message*/) {}

void write_data(png_structp png, png_bytep data, std::size_t size)
{
    if (std::fwrite(data, 1, size, static_cast<std::FILE*>(png_get_io_ptr(png))) != size) {
        png_error(png, "cannot write the picture");
    }
}

// Flushing is left to the caller, which checks it.
void flush_data(png_structp /*png*/) {}

}  // namespace

png_writer::png_writer(std::FILE* file, std::uint32_t width, std::uint32_t height) : state_(std::make_unique<state>())
{
    state& s = *state_;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, on_error, on_warning);
    if (s.png == nullptr || (s.info = png_create_info_struct(s.png)) == nullptr) {
        throw png_write_error("PNG: out of memory");
    }
    s.row.resize(width);
    s.guarded([&] {
        png_set_write_fn(s.png, file, write_data, flush_data);
        png_set_compression_level(s.png, compression_level);
        png_set_compression_strategy(s.png, Z_RLE);
        png_set_filter(s.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
        png_set_IHDR(s.png, s.info, width, height, grey_depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        png_write_info(s.png, s.info);
    });
}

png_writer::~png_writer() = default;

void png_writer::write_row(const std::int16_t* samples)
{
    state& s = *state_;
    for (std::size_t x = 0; x < s.row.size(); ++x) {
        s.row[x] = picture_level(samples[x]);
    }
    s.guarded([&] { png_write_row(s.png, s.row.data()); });
}

void png_writer::finish()
{
    state& s = *state_;
    s.guarded([&] { png_write_end(s.png, nullptr); });
}

}  // namespace conemask
