// SPDX-License-Identifier: MIT
// PNG: the chunks up to the image data walked by the shared rules
// (png_rules.hpp), which decide the colours; then libpng inflates and
// unfilters, and the shared rules turn each row into RGB. libpng's fatal
// error callback jumps back into guarded(), as libjpeg's does.
#include "image_loaders.hpp"

#include <png.h>

#include <cstring>
#include <vector>

#include "png_rules.hpp"

namespace conemask {

namespace {

[[noreturn]] void on_png_error(png_structp png, png_const_charp message)
{
    auto* f = static_cast<library_failure*>(png_get_error_ptr(png));
    f->set(message);
    std::longjmp(f->jump, 1);  // NOLINT(cert-err52-cpp)
}

// Image data beyond the stated size is only a warning to libpng: refused
// here, like data that falls short. Other warnings concern ancillary chunks,
// whose rules the chunk walk keeps.
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

void read_exactly(std::FILE* file, std::uint8_t* to, std::size_t size)
{
    if (std::fread(to, 1, size, file) != size) {
        throw decode_error(std::ferror(file) != 0 ? "PNG: the file cannot be read" : "PNG: the file ends early");
    }
}

std::uint32_t big_endian(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24U | std::uint32_t{p[1]} << 16U | std::uint32_t{p[2]} << 8U | p[3];
}

// The chunks from after the signature to the first IDAT, through the shared
// walk. Only the start of each chunk's data is kept (no chunk the walk reads
// needs more), but all of it goes through the CRC.
png_layout walk_to_image_data(std::FILE* file)
{
    constexpr std::size_t kept_bytes = 1024;  // more than PLTE's 768
    constexpr std::uint32_t longest_chunk = 0x7FFF'FFFF;
    png_chunk_walk walk;
    std::vector<std::uint8_t> data(kept_bytes);
    std::vector<std::uint8_t> block(std::size_t{1} << 16U);
    std::size_t offset = 8;
    while (!walk.image_data_reached()) {
        std::array<std::uint8_t, 8> head{};
        read_exactly(file, head.data(), head.size());
        const std::uint32_t length = big_endian(head.data());
        if (length > longest_chunk) {
            throw decode_error("PNG: PNG unsigned integer out of range");
        }
        const std::uint32_t type = big_endian(head.data() + 4);
        if (type == png_chunk_type("IDAT")) {
            walk.take(type, {}, png_extent{offset + 8, length}, true);
            break;
        }
        std::uint32_t crc = png_crc(std::span<const std::uint8_t>(head).subspan(4));
        std::size_t kept = 0;
        for (std::size_t left = length; left > 0;) {
            const std::size_t part = std::min(left, block.size());
            read_exactly(file, block.data(), part);
            crc = png_crc(std::span<const std::uint8_t>(block.data(), part), crc);
            const std::size_t keep = std::min(part, kept_bytes - kept);
            std::memcpy(data.data() + kept, block.data(), keep);
            kept += keep;
            left -= part;
        }
        std::array<std::uint8_t, 4> stored{};
        read_exactly(file, stored.data(), stored.size());
        walk.take(type, std::span<const std::uint8_t>(data.data(), kept), png_extent{offset + 8, length},
                  crc == big_endian(stored.data()));
        offset += 12 + std::size_t{length};
    }
    return walk.layout();
}

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
    png_decoder(std::FILE* file, std::uint64_t pixel_limit) : layout_(walk_to_image_data(file))
    {
        check_size(layout_.width, layout_.height, pixel_limit);
        constexpr long after_signature = 8;
        if (std::fseek(file, after_signature, SEEK_SET) != 0) {
            throw decode_error("PNG: cannot be read again from its start");
        }
        handle_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failed_, on_png_error, on_png_warning);
        if (handle_.png == nullptr || (handle_.info = png_create_info_struct(handle_.png)) == nullptr) {
            throw decode_error("PNG: out of memory");
        }
        png_ = handle_.png;
        guarded(failed_, "PNG", [&] {
            png_set_read_fn(png_, file, read_png_data);
            png_set_sig_bytes(png_, after_signature);
            // The walk already decided on the dimensions, against our limit.
            png_set_user_limits(png_, largest_dimension, largest_dimension);
            png_read_info(png_, handle_.info);
            png_read_update_info(png_, handle_.info);
        });
        width_ = layout_.width;
        height_ = layout_.height;
        // Rows as stored: packed samples, 16 bits big-endian.
        row_.resize(png_row_bytes(layout_, width_));
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        if (layout_.interlaced && !interlace_read_) {
            read_interlaced();
        }
        std::size_t done = 0;
        guarded(failed_, "PNG", [&] {
            for (; done < rows && next_row_ < height_; ++done, ++next_row_) {
                std::uint8_t* out = rgb + done * row_bytes;
                if (layout_.interlaced) {
                    std::memcpy(out, whole_[next_row_].data(), row_bytes);
                    whole_[next_row_] = {};
                } else {
                    png_read_row(png_, row_.data(), nullptr);
                    png_row_to_rgb(layout_, row_.data(), width_, out);
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
    static constexpr png_uint_32 largest_dimension = 0x7FFF'FFFF;

    // Adam7 spreads every row over seven passes, so the image is held whole
    // first; each row is taken only when its first pixel arrives, so that
    // what is held grows with the data, not with the stated size.
    void read_interlaced()
    {
        interlace_read_ = true;
        guarded(failed_, "PNG", [&] {
            for (const png_pass& pass : png_passes(true)) {
                const std::size_t cols = png_pass_count(width_, pass.first_col, pass.col_step);
                const std::size_t pass_rows = png_pass_count(height_, pass.first_row, pass.row_step);
                if (cols == 0 || pass_rows == 0) {
                    continue;  // libpng skips an empty pass
                }
                for (std::size_t r = 0; r < pass_rows; ++r) {
                    png_read_row(png_, row_.data(), nullptr);
                    const std::size_t y = pass.first_row + r * pass.row_step;
                    if (whole_.size() <= y) {
                        whole_.resize(y + 1);
                    }
                    std::vector<std::uint8_t>& line = whole_[y];
                    line.resize(rgb_bytes * width_);
                    png_row_to_rgb(layout_, row_.data(), cols, line.data() + rgb_bytes * pass.first_col,
                                   pass.col_step);
                }
            }
        });
    }

    png_layout layout_;
    library_failure failed_{};
    png_handle handle_;
    png_structp png_ = nullptr;
    std::vector<std::uint8_t> row_;
    std::vector<std::vector<std::uint8_t>> whole_;
    std::size_t next_row_ = 0;
    bool interlace_read_ = false;
};

}  // namespace

std::unique_ptr<image_decoder> open_png(std::FILE* file, std::uint64_t pixel_limit)
{
    return std::make_unique<png_decoder>(file, pixel_limit);
}

}  // namespace conemask
