// SPDX-License-Identifier: MIT
// JPEG through libjpeg-turbo, PNG through libpng, each a few rows at a time.
//
// Both libraries report a fatal error through a callback that must not
// return; it jumps back (longjmp) into guarded(), the one frame that calls
// into the library, which turns it into a decode_error. No frame between the
// two holds anything with a destructor.
#include "image_decode.hpp"

// jpeglib.h needs FILE and size_t declared before it.
#include <cstdio>
#include <jpeglib.h>
#include <png.h>

#include <array>
#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

namespace conemask {

bool swaps_axes(orientation o) { return static_cast<int>(o) >= static_cast<int>(orientation::left_top); }

namespace {

constexpr std::size_t rgb_bytes = 3;
constexpr std::size_t sample_levels = 256;  // of an 8-bit sample

// A library's failure: where to jump back to, and its message.
struct failure {
    std::jmp_buf jump{};
    std::array<char, JMSG_LENGTH_MAX> message{};

    void set(const char* text)
    {
        (void)std::snprintf(message.data(), message.size(), "%s", text);
    }
};

// Runs `step` (calls into a library whose errors jump to `f.jump`) and turns
// such a jump into a decode_error. `step` holds nothing to be destroyed.
template <typename step_fn>
void guarded(failure& f, const char* format, step_fn step)
{
    if (setjmp(f.jump) != 0) {  // NOLINT(cert-err52-cpp): the libraries' only way to stop
        throw decode_error(std::string(format) + ": " + f.message.data());
    }
    step();
}

void check_size(std::uint64_t width, std::uint64_t height, std::uint64_t pixel_limit)
{
    if (width == 0 || height == 0) {
        throw decode_error("the image has no pixels");
    }
    if (width * height > pixel_limit) {
        throw decode_error("the image is too large: " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels, more than " + std::to_string(pixel_limit));
    }
}

// ---------------------------------------------------------------- JPEG

// The error manager first, so that the library's pointer to it is also a
// pointer to the whole.
struct jpeg_failure {
    jpeg_error_mgr manager;
    failure f;
};

[[noreturn]] void on_jpeg_error(j_common_ptr info)
{
    auto* failed = reinterpret_cast<jpeg_failure*>(info->err);  // NOLINT: the manager is its first member
    info->err->format_message(info, failed->f.message.data());
    std::longjmp(failed->f.jump, 1);  // NOLINT(cert-err52-cpp)
}

// A warning means corrupt data or a file that ends early, which libjpeg
// would paper over with grey: refused, like any error. Traces are dropped.
void on_jpeg_message(j_common_ptr info, int level)
{
    if (level < 0) {
        on_jpeg_error(info);
    }
}

// Reads the orientation tag of IFD0 from an APP1 segment holding EXIF, as
// "Exif\0\0" and a TIFF structure; anything missing or out of range leaves
// the image as stored.
orientation exif_orientation(const std::uint8_t* data, std::size_t size)
{
    constexpr std::array<std::uint8_t, 6> exif_header{'E', 'x', 'i', 'f', 0, 0};
    constexpr std::uint16_t orientation_tag = 0x0112;
    constexpr std::uint16_t short_type = 3;
    constexpr std::size_t entry_size = 12;
    if (size < exif_header.size() + 8 || std::memcmp(data, exif_header.data(), exif_header.size()) != 0) {
        return orientation::top_left;
    }
    const std::uint8_t* tiff = data + exif_header.size();
    const std::size_t tiff_size = size - exif_header.size();
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) {
        return orientation::top_left;
    }
    const auto u16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(little ? tiff[at] | tiff[at + 1] << 8U : tiff[at] << 8U | tiff[at + 1]);
    };
    const auto u32 = [&](std::size_t at) {
        return little ? std::uint32_t{u16(at)} | std::uint32_t{u16(at + 2)} << 16U
                      : std::uint32_t{u16(at)} << 16U | std::uint32_t{u16(at + 2)};
    };
    const std::uint32_t ifd = u32(4);
    if (ifd > tiff_size - 2) {
        return orientation::top_left;
    }
    const std::uint16_t entries = u16(ifd);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + i * entry_size;
        if (entry + entry_size > tiff_size) {
            break;
        }
        if (u16(entry) == orientation_tag && u16(entry + 2) == short_type && u32(entry + 4) == 1) {
            const std::uint16_t value = u16(entry + 8);
            if (value >= 1 && value <= 8) {
                return static_cast<orientation>(value);
            }
            break;
        }
    }
    return orientation::top_left;
}

// ImageMagick's CMYK to RGB, on the inverted samples that Adobe's CMYK JPEGs
// store, for one ink and black: in its 16-bit quanta and double precision,
// rounded to a quantum, then reduced to 8 bits as every sample is.
std::uint8_t cmyk_channel(unsigned stored_ink, unsigned stored_black)
{
    constexpr double quantum_range = 65535.0;
    constexpr double quantum_scale = 1.0 / quantum_range;
    const double ink = quantum_range - 257.0 * stored_ink;
    const double black = quantum_range - 257.0 * stored_black;
    const double value = quantum_range - (quantum_scale * ink * (quantum_range - black) + black);
    const double clamped = value <= 0.0 ? 0.0 : value >= quantum_range ? quantum_range : value + 0.5;
    return reduce_to_8_bits(static_cast<std::uint16_t>(clamped));
}

// Released whatever the constructor of its owner got through.
struct jpeg_handle {
    jpeg_decompress_struct info{};
    jpeg_handle() = default;
    jpeg_handle(const jpeg_handle&) = delete;
    jpeg_handle& operator=(const jpeg_handle&) = delete;
    jpeg_handle(jpeg_handle&&) = delete;
    jpeg_handle& operator=(jpeg_handle&&) = delete;
    ~jpeg_handle() { jpeg_destroy_decompress(&info); }
};

class jpeg_decoder final : public image_decoder {
public:
    jpeg_decoder(std::FILE* file, std::uint64_t pixel_limit)
    {
        info_.err = jpeg_std_error(&failed_.manager);
        failed_.manager.error_exit = on_jpeg_error;
        failed_.manager.emit_message = on_jpeg_message;
        constexpr unsigned max_marker_length = 0xFFFF;
        guarded(failed_.f, "JPEG", [&] {
            jpeg_create_decompress(&info_);
            jpeg_stdio_src(&info_, file);
            jpeg_save_markers(&info_, JPEG_APP0 + 1, max_marker_length);
            (void)jpeg_read_header(&info_, TRUE);
        });
        check_size(info_.image_width, info_.image_height, pixel_limit);
        for (jpeg_saved_marker_ptr m = info_.marker_list; m != nullptr; m = m->next) {
            turn_ = exif_orientation(m->data, m->data_length);
            if (turn_ != orientation::top_left) {
                break;
            }
        }
        switch (info_.jpeg_color_space) {
        case JCS_GRAYSCALE:
        case JCS_YCbCr:
        case JCS_RGB:
            info_.out_color_space = JCS_RGB;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            info_.out_color_space = JCS_CMYK;
            cmyk_table_.resize(sample_levels * sample_levels);
            for (unsigned ink = 0; ink < sample_levels; ++ink) {
                for (unsigned black = 0; black < sample_levels; ++black) {
                    cmyk_table_[ink * sample_levels + black] = cmyk_channel(ink, black);
                }
            }
            break;
        default:
            throw decode_error("JPEG: a colour space other than grey, RGB, YCbCr, CMYK and YCCK");
        }
        guarded(failed_.f, "JPEG", [&] { (void)jpeg_start_decompress(&info_); });
        width_ = info_.output_width;
        height_ = info_.output_height;
        row_.resize(std::size_t{width_} * static_cast<std::size_t>(info_.output_components));
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        std::size_t done = 0;
        const bool cmyk = info_.out_color_space == JCS_CMYK;
        guarded(failed_.f, "JPEG", [&] {
            while (done < rows && info_.output_scanline < info_.output_height) {
                std::uint8_t* out = rgb + done * row_bytes;
                JSAMPROW line = cmyk ? row_.data() : out;
                done += jpeg_read_scanlines(&info_, &line, 1);
                if (cmyk) {
                    from_cmyk(out);
                }
            }
        });
        return done;
    }

    void finish() override
    {
        guarded(failed_.f, "JPEG", [&] { (void)jpeg_finish_decompress(&info_); });
    }

private:
    void from_cmyk(std::uint8_t* out) const
    {
        const std::uint8_t* in = row_.data();
        for (std::uint32_t x = 0; x < width_; ++x, in += 4, out += rgb_bytes) {
            const std::size_t black = in[3];
            for (std::size_t c = 0; c < rgb_bytes; ++c) {
                out[c] = cmyk_table_[in[c] * sample_levels + black];
            }
        }
    }

    jpeg_failure failed_{};
    jpeg_handle handle_;
    jpeg_decompress_struct& info_ = handle_.info;
    std::vector<std::uint8_t> row_;
    std::vector<std::uint8_t> cmyk_table_;
};

// ---------------------------------------------------------------- PNG

[[noreturn]] void on_png_error(png_structp png, png_const_charp message)
{
    auto* f = static_cast<failure*>(png_get_error_ptr(png));
    f->set(message);
    std::longjmp(f->jump, 1);  // NOLINT(cert-err52-cpp)
}

// Image data beyond the stated size is only a warning to libpng: refused
// here, like data that falls short. Other warnings concern ancillary chunks,
// which do not change the pixels.
void on_png_warning(png_structp png, png_const_charp message)
{
    for (const char* excess : {"Too much image data", "Extra compressed data", "Extra compression data"}) {
        if (std::strstr(message, excess) != nullptr) {
            on_png_error(png, message);
        }
    }
}

void read_png_data(png_structp png, png_bytep data, std::size_t size)
{
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fread(data, 1, size, file) != size) {
        png_error(png, std::ferror(file) != 0 ? "the file cannot be read" : "the file ends early");
    }
}

// Adam7: where each of the seven passes starts, and its steps.
struct adam7_pass {
    std::size_t first_row, first_col, row_step, col_step;

    // How many of `size` places from `first` a pass visits in steps of `step`.
    static std::size_t count(std::size_t size, std::size_t first, std::size_t step)
    {
        return size > first ? (size - first + step - 1) / step : 0;
    }
};
constexpr std::array<adam7_pass, 7> adam7{{
    {0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4}, {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1},
}};

struct png_handle {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_handle() = default;
    png_handle(const png_handle&) = delete;
    png_handle& operator=(const png_handle&) = delete;
    png_handle(png_handle&&) = delete;
    png_handle& operator=(png_handle&&) = delete;
    ~png_handle() { png_destroy_read_struct(&png, &info, nullptr); }
};

class png_decoder final : public image_decoder {
public:
    png_decoder(std::FILE* file, std::uint64_t pixel_limit, std::size_t signature_bytes)
    {
        handle_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failed_, on_png_error, on_png_warning);
        if (handle_.png == nullptr || (handle_.info = png_create_info_struct(handle_.png)) == nullptr) {
            throw decode_error("PNG: out of memory");
        }
        png_ = handle_.png;
        info_ = handle_.info;
        int bit_depth = 0;
        int colour_type = 0;
        int interlace = 0;
        guarded(failed_, "PNG", [&] {
            png_set_read_fn(png_, file, read_png_data);
            png_set_sig_bytes(png_, static_cast<int>(signature_bytes));
            png_read_info(png_, info_);
            png_uint_32 width = 0;
            png_uint_32 height = 0;
            png_get_IHDR(png_, info_, &width, &height, &bit_depth, &colour_type, &interlace, nullptr, nullptr);
            width_ = width;
            height_ = height;
        });
        check_size(width_, height_, pixel_limit);
        // Palettes and grey become RGB, alpha is dropped; a tRNS chunk is
        // left alone, so transparent pixels keep their colour. 16-bit
        // samples are reduced here, by ImageMagick's rule, not libpng's.
        if (colour_type == PNG_COLOR_TYPE_PALETTE) {
            png_set_palette_to_rgb(png_);
        }
        if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) {
            png_set_expand_gray_1_2_4_to_8(png_);
            png_set_gray_to_rgb(png_);
        }
        // A palette's tRNS chunk comes out of the expansion as alpha.
        if ((colour_type & PNG_COLOR_MASK_ALPHA) != 0 || colour_type == PNG_COLOR_TYPE_PALETTE) {
            png_set_strip_alpha(png_);
        }
        wide_ = bit_depth == 16;
        interlaced_ = interlace != PNG_INTERLACE_NONE;
        const std::size_t row_bytes = std::size_t{width_} * rgb_bytes * (wide_ ? 2 : 1);
        guarded(failed_, "PNG", [&] { png_read_update_info(png_, info_); });
        // Rows are decoded straight into buffers of this size.
        if (png_get_rowbytes(png_, info_) != row_bytes || png_get_channels(png_, info_) != rgb_bytes) {
            throw decode_error("PNG: a pixel format this program cannot expand to RGB");
        }
        row_.resize(row_bytes);
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        if (interlaced_ && whole_.empty()) {
            read_interlaced();
        }
        std::size_t done = 0;
        guarded(failed_, "PNG", [&] {
            for (; done < rows && next_row_ < height_; ++done, ++next_row_) {
                std::uint8_t* out = rgb + done * row_bytes;
                if (interlaced_) {
                    std::memcpy(out, whole_.data() + next_row_ * row_bytes, row_bytes);
                } else {
                    png_read_row(png_, wide_ ? row_.data() : out, nullptr);
                    if (wide_) {
                        reduce(row_.data(), out, row_bytes);
                    }
                }
            }
        });
        return done;
    }

    void finish() override
    {
        guarded(failed_, "PNG", [&] { png_read_end(png_, nullptr); });
    }

private:
    // 16-bit samples are stored big-endian.
    static void reduce(const std::uint8_t* wide, std::uint8_t* out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i, wide += 2) {
            out[i] = reduce_to_8_bits(static_cast<std::uint16_t>(wide[0] << 8U | wide[1]));
        }
    }

    // Adam7 spreads every row over seven passes, so the image is decoded
    // whole first: each pass comes as a smaller image, put in place here.
    void read_interlaced()
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        whole_.resize(row_bytes * height_);
        std::vector<std::uint8_t> narrow(row_bytes);
        guarded(failed_, "PNG", [&] {
            for (const adam7_pass& pass : adam7) {
                const std::size_t cols = adam7_pass::count(width_, pass.first_col, pass.col_step);
                const std::size_t pass_rows = adam7_pass::count(height_, pass.first_row, pass.row_step);
                if (cols == 0 || pass_rows == 0) {
                    continue;  // libpng skips an empty pass
                }
                for (std::size_t r = 0; r < pass_rows; ++r) {
                    png_read_row(png_, wide_ ? row_.data() : narrow.data(), nullptr);
                    if (wide_) {
                        reduce(row_.data(), narrow.data(), cols * rgb_bytes);
                    }
                    const std::size_t y = pass.first_row + r * pass.row_step;
                    for (std::size_t c = 0; c < cols; ++c) {
                        const std::size_t x = pass.first_col + c * pass.col_step;
                        std::memcpy(whole_.data() + y * row_bytes + x * rgb_bytes, narrow.data() + c * rgb_bytes,
                                    rgb_bytes);
                    }
                }
            }
        });
    }

    failure failed_{};
    png_handle handle_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    std::vector<std::uint8_t> row_;
    std::vector<std::uint8_t> whole_;
    std::size_t next_row_ = 0;
    bool wide_ = false;
    bool interlaced_ = false;
};

// Formats told apart only to say what a file is, when it is not one of ours.
const char* other_format(const std::uint8_t* head, std::size_t size)
{
    const auto starts = [&](const char* magic, std::size_t at = 0) {
        const std::size_t length = std::strlen(magic);
        return size >= at + length && std::memcmp(head + at, magic, length) == 0;
    };
    if (starts("GIF8")) {
        return "GIF";
    }
    if (starts("RIFF") && starts("WEBP", 8)) {
        return "WebP";
    }
    if (starts("II*") || starts("MM")) {
        return "TIFF";
    }
    if (starts("BM")) {
        return "BMP";
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<image_decoder> open_image(std::FILE* file, std::uint64_t pixel_limit)
{
    constexpr std::array<std::uint8_t, 3> jpeg_magic{0xFF, 0xD8, 0xFF};
    constexpr std::array<std::uint8_t, 8> png_magic{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t head_size = 12;
    std::array<std::uint8_t, head_size> head{};
    const std::size_t got = std::fread(head.data(), 1, head.size(), file);
    if (std::ferror(file) != 0) {
        throw decode_error("cannot be read");
    }
    if (got >= png_magic.size() && std::memcmp(head.data(), png_magic.data(), png_magic.size()) == 0) {
        // libpng goes on from the signature; it needs the rest in order.
        if (std::fseek(file, static_cast<long>(png_magic.size()), SEEK_SET) != 0) {
            throw decode_error("cannot be read again from its start");
        }
        return std::make_unique<png_decoder>(file, pixel_limit, png_magic.size());
    }
    if (got >= jpeg_magic.size() && std::memcmp(head.data(), jpeg_magic.data(), jpeg_magic.size()) == 0) {
        if (std::fseek(file, 0, SEEK_SET) != 0) {
            throw decode_error("cannot be read again from its start");
        }
        return std::make_unique<jpeg_decoder>(file, pixel_limit);
    }
    if (const char* format = other_format(head.data(), got)) {
        throw decode_error(std::string("unsupported format: a ") + format + " image, not a JPEG or PNG");
    }
    throw decode_error("not a JPEG or PNG image");
}

}  // namespace conemask
