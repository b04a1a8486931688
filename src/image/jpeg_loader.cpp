// SPDX-License-Identifier: MIT
// JPEG through libjpeg-turbo, a few rows at a time. Its fatal error callback
// must not return: it jumps back (longjmp) into guarded(), the one frame
// that calls into the library, which turns it into a decode_error. No frame
// between the two holds anything with a destructor.
#include "image_loaders.hpp"

// jpeglib.h needs FILE and size_t declared before it.
#include <cstdio>
#include <jpeglib.h>
// jerror.h after jpeglib.h: its ERREXIT and WARNMS report as the library does.
#include <jerror.h>

#include <algorithm>
#include <span>
#include <vector>

#include "cmyk_rules.hpp"
#include "exif.hpp"
#include "jpeg_damage.hpp"

namespace conemask {

namespace {

static_assert(JMSG_LENGTH_MAX <= sizeof(library_failure::message));

// The error manager first, so that the library's pointer to it is also a
// pointer to the whole.
struct jpeg_failure {
    jpeg_error_mgr manager;
    library_failure f;
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

// The file, handed to libjpeg at most 511 bytes at a time. libjpeg-turbo
// decodes Huffman-coded data by a faster path while 512 bytes or more stand
// in its source's buffer for each block of a MCU, and that path takes a code
// no table holds for a zero without a warning. Fed less, it always decodes
// by the path that warns: the same damage is refused wherever in the file
// it lies, as the page's reading rule refuses it.
struct chunked_source {
    static constexpr std::size_t handed_bytes = 511;
    static constexpr std::size_t read_bytes = std::size_t{64} << 10U;

    jpeg_source_mgr manager{};  // first: libjpeg's pointer to it is one to the whole
    std::FILE* file = nullptr;
    std::vector<JOCTET> buffer = std::vector<JOCTET>(read_bytes);
    std::size_t filled = 0;
    std::size_t handed = 0;
    bool started = false;
};

void init_chunked(j_decompress_ptr /*info*/) {}
void term_chunked(j_decompress_ptr /*info*/) {}

// As jpeg_stdio_src fills: an empty file is an error; one that ends early
// gets a warning (which refuses it) and an end-of-image marker.
boolean fill_chunked(j_decompress_ptr info)
{
    auto* source = reinterpret_cast<chunked_source*>(info->src);  // NOLINT: the manager is its first member
    if (source->handed == source->filled) {
        source->filled = std::fread(source->buffer.data(), 1, source->buffer.size(), source->file);
        source->handed = 0;
        if (source->filled == 0) {
            if (!source->started) {
                ERREXIT(info, JERR_INPUT_EMPTY);
            }
            WARNMS(info, JWRN_JPEG_EOF);
            source->buffer[0] = 0xFF;
            source->buffer[1] = JPEG_EOI;
            source->filled = 2;
        }
        source->started = true;
    }
    const std::size_t count = std::min(chunked_source::handed_bytes, source->filled - source->handed);
    info->src->next_input_byte = source->buffer.data() + source->handed;
    info->src->bytes_in_buffer = count;
    source->handed += count;
    return TRUE;
}

void skip_chunked(j_decompress_ptr info, long count)
{
    if (count <= 0) {
        return;
    }
    auto remaining = static_cast<std::size_t>(count);
    while (remaining > info->src->bytes_in_buffer) {
        remaining -= info->src->bytes_in_buffer;
        (void)fill_chunked(info);
    }
    info->src->next_input_byte += remaining;
    info->src->bytes_in_buffer -= remaining;
}

void use_chunked_source(jpeg_decompress_struct& info, chunked_source& source, std::FILE* file)
{
    source.file = file;
    source.manager.init_source = init_chunked;
    source.manager.fill_input_buffer = fill_chunked;
    source.manager.skip_input_data = skip_chunked;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = term_chunked;
    info.src = &source.manager;
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

// The bytes libjpeg holds for a whole image's coefficients, which it takes
// at once for an image of several scans (progressive, or one scan a
// component): 64 coefficients of 2 bytes a block.
std::uint64_t coefficient_bytes(const jpeg_decompress_struct& info)
{
    constexpr std::uint64_t block_bytes = 64 * sizeof(JCOEF);
    std::uint64_t bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        const std::uint64_t wide = (std::uint64_t{info.image_width} * static_cast<std::uint64_t>(component.h_samp_factor) +
                                    8U * static_cast<std::uint64_t>(info.max_h_samp_factor) - 1) /
                                   (8U * static_cast<std::uint64_t>(info.max_h_samp_factor));
        const std::uint64_t high = (std::uint64_t{info.image_height} * static_cast<std::uint64_t>(component.v_samp_factor) +
                                    8U * static_cast<std::uint64_t>(info.max_v_samp_factor) - 1) /
                                   (8U * static_cast<std::uint64_t>(info.max_v_samp_factor));
        bytes += (wide + 2) * (high + 2) * block_bytes;  // rounded up to whole MCUs
    }
    return bytes;
}

// The largest file whose refusal is worded by check_jpeg_damage: read whole
// only once libjpeg has refused it.
constexpr std::uint64_t damage_check_limit = whole_buffer_floor;

// libjpeg's refusal of `file` (from `start`, `size` bytes), given instead in
// the words of the damage rule where that rule refuses the file too: the
// page has no libjpeg and refuses by that rule, and both give one reason.
void word_by_damage_rule(std::FILE* file, long start, std::uint64_t size)
{
    if (size > damage_check_limit || std::fseek(file, start, SEEK_SET) != 0) {
        return;
    }
    std::vector<std::uint8_t> bytes(size);
    if (std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size()) {
        check_jpeg_damage(bytes);
    }
}

class jpeg_decoder final : public image_decoder {
public:
    jpeg_decoder(std::FILE* file, std::uint64_t pixel_limit) : file_(file), start_(std::ftell(file))
    {
        const std::uint64_t size = file_size(file);
        size_ = size;
        info_.err = jpeg_std_error(&failed_.manager);
        failed_.manager.error_exit = on_jpeg_error;
        failed_.manager.emit_message = on_jpeg_message;
        constexpr unsigned max_marker_length = 0xFFFF;
        library_step([&] {
            jpeg_create_decompress(&info_);
            use_chunked_source(info_, source_, file);
            jpeg_save_markers(&info_, JPEG_APP0 + 1, max_marker_length);
            (void)jpeg_read_header(&info_, TRUE);
        });
        check_size(info_.image_width, info_.image_height, pixel_limit);
        if (jpeg_has_multiple_scans(&info_) != 0) {
            check_whole_buffer(coefficient_bytes(info_), size, "a JPEG of several scans");
        }
        // The first APP1 that holds EXIF, as ImageMagick takes it.
        for (jpeg_saved_marker_ptr m = info_.marker_list; m != nullptr; m = m->next) {
            const std::span<const std::uint8_t> data(m->data, m->data_length);
            if (const auto tag = orientation_in_app1(data)) {
                turn_ = tag->turn();
                break;
            }
        }
        choose_colour_space();
        library_step([&] { (void)jpeg_start_decompress(&info_); });
        width_ = info_.output_width;
        height_ = info_.output_height;
        row_.resize(std::size_t{width_} * static_cast<std::size_t>(info_.output_components));
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        std::size_t done = 0;
        const bool cmyk = info_.out_color_space == JCS_CMYK;
        library_step([&] {
            while (done < rows && info_.output_scanline < info_.output_height) {
                std::uint8_t* out = rgb + done * row_bytes;
                JSAMPROW line = cmyk ? row_.data() : out;
                done += jpeg_read_scanlines(&info_, &line, 1);
                if (cmyk) {
                    cmyk_to_rgb(cmyk_table_, row_.data(), width_, out);
                }
            }
        });
        return done;
    }

    void finish() override
    {
        library_step([&] { (void)jpeg_finish_decompress(&info_); });
    }

private:
    // A call into libjpeg; its refusal worded by the damage rule.
    template <typename step_fn>
    void library_step(step_fn step)
    {
        try {
            guarded(failed_.f, "JPEG", step);
        } catch (const decode_error&) {
            word_by_damage_rule(file_, start_, size_);
            throw;
        }
    }

    void choose_colour_space()
    {
        switch (info_.jpeg_color_space) {
        case JCS_GRAYSCALE:
        case JCS_YCbCr:
        case JCS_RGB:
            info_.out_color_space = JCS_RGB;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            info_.out_color_space = JCS_CMYK;
            cmyk_table_ = cmyk_table();
            break;
        default:
            throw decode_error("JPEG: a colour space other than grey, RGB, YCbCr, CMYK and YCCK");
        }
    }

    std::FILE* file_;
    long start_;
    std::uint64_t size_ = 0;
    jpeg_failure failed_{};
    chunked_source source_;  // before the handle: it outlives libjpeg's use of it
    jpeg_handle handle_;
    jpeg_decompress_struct& info_ = handle_.info;
    std::vector<std::uint8_t> row_;
    std::vector<std::uint8_t> cmyk_table_;
};

}  // namespace

std::unique_ptr<image_decoder> open_jpeg(std::FILE* file, std::uint64_t pixel_limit)
{
    return std::make_unique<jpeg_decoder>(file, pixel_limit);
}

}  // namespace conemask
