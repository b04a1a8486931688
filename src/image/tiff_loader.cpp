// SPDX-License-Identifier: MIT
// TIFF through libtiff: strips or tiles of 1 to 16 bits, grey (either
// photometric), palette or RGB, samples interleaved; extra samples such as
// alpha dropped; the orientation tag reported for the turn. Rows are decoded
// a strip or a row of tiles at a time.
#include "image_loaders.hpp"

#include <tiffio.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "png_rules.hpp"

namespace conemask {

namespace {

// libtiff's last error, kept for the decode_error; its warnings are dropped.
thread_local std::array<char, 200> tiff_message{};

void on_tiff_error(const char* /*module*/, const char* format, va_list arguments)
{
    (void)std::vsnprintf(tiff_message.data(), tiff_message.size(), format, arguments);
}

void on_tiff_warning(const char* /*module*/, const char* /*format*/, va_list /*arguments*/) {}

[[noreturn]] void refuse_tiff(const char* what)
{
    const std::string detail = tiff_message[0] != '\0' ? std::string(": ") + tiff_message.data() : "";
    throw decode_error(std::string("TIFF: ") + what + detail);
}

tmsize_t read_proc(thandle_t handle, void* data, tmsize_t size)
{
    return static_cast<tmsize_t>(std::fread(data, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(handle)));
}
tmsize_t write_proc(thandle_t /*handle*/, void* /*data*/, tmsize_t /*size*/) { return -1; }
toff_t seek_proc(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<std::FILE*>(handle);
    if (offset > static_cast<toff_t>(LONG_MAX) || std::fseek(file, static_cast<long>(offset), whence) != 0) {
        return static_cast<toff_t>(-1);
    }
    return static_cast<toff_t>(std::ftell(file));
}
int close_proc(thandle_t /*handle*/) { return 0; }  // the file stays the caller's
toff_t size_proc(thandle_t handle)
{
    try {
        return file_size(static_cast<std::FILE*>(handle));
    } catch (const decode_error&) {
        return 0;
    }
}

template <typename value>
value field(TIFF* tiff, ttag_t tag, value otherwise)
{
    value v = otherwise;
    return TIFFGetFieldDefaulted(tiff, tag, &v) == 1 ? v : otherwise;
}

class tiff_decoder final : public image_decoder {
public:
    tiff_decoder(std::FILE* file, std::uint64_t pixel_limit) : file_bytes_(file_size(file))
    {
        tiff_message[0] = '\0';
        (void)TIFFSetErrorHandler(on_tiff_error);
        (void)TIFFSetWarningHandler(on_tiff_warning);
        handle_.reset(TIFFClientOpen("photograph", "rm", file, read_proc, write_proc, seek_proc, close_proc,
                                     size_proc, nullptr, nullptr));
        tiff_ = handle_.get();
        if (tiff_ == nullptr) {
            refuse_tiff("cannot be read");
        }
        width_ = field<std::uint32_t>(tiff_, TIFFTAG_IMAGEWIDTH, 0);
        height_ = field<std::uint32_t>(tiff_, TIFFTAG_IMAGELENGTH, 0);
        check_size(width_, height_, pixel_limit);
        bits_ = field<std::uint16_t>(tiff_, TIFFTAG_BITSPERSAMPLE, 1);
        samples_ = field<std::uint16_t>(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1);
        photometric_ = field<std::uint16_t>(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        turn_ = orientation_of_tag(field<std::uint16_t>(tiff_, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT));
        check_kind();
        if (photometric_ == PHOTOMETRIC_PALETTE) {
            std::uint16_t* red = nullptr;
            std::uint16_t* green = nullptr;
            std::uint16_t* blue = nullptr;
            if (TIFFGetField(tiff_, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) {
                refuse_tiff("a palette image without its colour map");
            }
            const std::size_t entries = std::size_t{1} << bits_;
            for (std::size_t i = 0; i < entries; ++i) {
                palette_.insert(palette_.end(), {reduce_to_8_bits(red[i]), reduce_to_8_bits(green[i]),
                                                 reduce_to_8_bits(blue[i])});
            }
        }
        tiled_ = TIFFIsTiled(tiff_) != 0;
        band_height_ = tiled_ ? field<std::uint32_t>(tiff_, TIFFTAG_TILELENGTH, 0)
                              : std::min(field<std::uint32_t>(tiff_, TIFFTAG_ROWSPERSTRIP, height_), height_);
        if (band_height_ == 0) {
            refuse_tiff("a strip or tile of no rows");
        }
        const std::uint64_t row_bytes = (std::uint64_t{width_} * samples_ * bits_ + 7) / 8;
        check_whole_buffer(row_bytes * band_height_, file_bytes_, "a TIFF strip or row of tiles");
        band_.resize(static_cast<std::size_t>(row_bytes * band_height_));
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = (std::size_t{width_} * samples_ * bits_ + 7) / 8;
        std::size_t done = 0;
        for (; done < rows && next_row_ < height_; ++done, ++next_row_) {
            if (next_row_ % band_height_ == 0) {
                read_band(static_cast<std::uint32_t>(next_row_));
            }
            convert(band_.data() + (next_row_ % band_height_) * row_bytes, rgb + done * rgb_bytes * width_);
        }
        return done;
    }

    void finish() override {}

private:
    void check_kind()
    {
        if (field<std::uint16_t>(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != PLANARCONFIG_CONTIG) {
            refuse_tiff("samples stored in separate planes, which this program does not read");
        }
        if (field<std::uint16_t>(tiff_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) != SAMPLEFORMAT_UINT) {
            refuse_tiff("samples other than unsigned integers, which this program does not read");
        }
        const bool grey = photometric_ == PHOTOMETRIC_MINISBLACK || photometric_ == PHOTOMETRIC_MINISWHITE;
        const bool packed = bits_ == 1 || bits_ == 2 || bits_ == 4;
        const bool ok = (grey && samples_ >= 1 && (packed || bits_ == 8 || bits_ == 16)) ||
                        (photometric_ == PHOTOMETRIC_PALETTE && samples_ >= 1 && (packed || bits_ == 8)) ||
                        (photometric_ == PHOTOMETRIC_RGB && samples_ >= 3 && (bits_ == 8 || bits_ == 16));
        if (!ok || (packed && samples_ != 1)) {
            refuse_tiff(("a kind this program does not read (photometric " + std::to_string(photometric_) + ", " +
                         std::to_string(samples_) + " samples of " + std::to_string(bits_) + " bits)")
                            .c_str());
        }
    }

    // The next strip, or row of tiles, into band_, as rows of samples.
    void read_band(std::uint32_t first_row)
    {
        const std::size_t row_bytes = (std::size_t{width_} * samples_ * bits_ + 7) / 8;
        if (!tiled_) {
            const tstrip_t strip = TIFFComputeStrip(tiff_, first_row, 0);
            const std::size_t rows = std::min<std::size_t>(band_height_, height_ - first_row);
            if (TIFFReadEncodedStrip(tiff_, strip, band_.data(), static_cast<tmsize_t>(rows * row_bytes)) < 0) {
                refuse_tiff("a damaged strip");
            }
            return;
        }
        const std::uint32_t tile_width = field<std::uint32_t>(tiff_, TIFFTAG_TILEWIDTH, 0);
        const std::size_t tile_row_bytes = (std::size_t{tile_width} * samples_ * bits_ + 7) / 8;
        // A tile may state itself far wider than the image: its size is the header's word.
        check_whole_buffer(TIFFTileSize64(tiff_), file_bytes_, "a TIFF tile");
        tile_.resize(static_cast<std::size_t>(TIFFTileSize64(tiff_)));
        if (tile_width == 0 || tile_.size() < tile_row_bytes * band_height_) {
            refuse_tiff("tiles of no size");
        }
        for (std::uint32_t x = 0; x < width_; x += tile_width) {
            if (TIFFReadTile(tiff_, tile_.data(), x, first_row, 0, 0) < 0) {
                refuse_tiff("a damaged tile");
            }
            const std::size_t offset = (std::size_t{x} * samples_ * bits_) / 8;
            const std::size_t take = std::min(tile_row_bytes, row_bytes - offset);
            for (std::size_t r = 0; r < band_height_; ++r) {
                std::memcpy(band_.data() + r * row_bytes + offset, tile_.data() + r * tile_row_bytes, take);
            }
        }
    }

    // One row of samples (native byte order for 16 bits) into RGB.
    void convert(const std::uint8_t* row, std::uint8_t* rgb) const
    {
        const bool invert = photometric_ == PHOTOMETRIC_MINISWHITE;
        for (std::size_t x = 0; x < width_; ++x, rgb += rgb_bytes) {
            if (bits_ == 16) {
                const auto* wide = reinterpret_cast<const std::uint16_t*>(row) + x * samples_;  // NOLINT: libtiff's samples
                for (std::size_t c = 0; c < rgb_bytes; ++c) {
                    const std::uint16_t v = wide[photometric_ == PHOTOMETRIC_RGB ? c : 0];
                    rgb[c] = reduce_to_8_bits(invert ? static_cast<std::uint16_t>(0xFFFF - v) : v);
                }
                continue;
            }
            if (bits_ == 8) {
                const std::uint8_t* p = row + x * samples_;
                if (photometric_ == PHOTOMETRIC_RGB) {
                    std::memcpy(rgb, p, rgb_bytes);
                } else if (photometric_ == PHOTOMETRIC_PALETTE) {
                    std::memcpy(rgb, palette_.data() + rgb_bytes * p[0], rgb_bytes);
                } else {
                    rgb[0] = rgb[1] = rgb[2] = invert ? static_cast<std::uint8_t>(255 - p[0]) : p[0];
                }
                continue;
            }
            const unsigned mask = (1U << bits_) - 1U;
            const std::size_t bit = x * bits_;
            const unsigned value = (unsigned{row[bit >> 3U]} >> (8U - bits_ - (bit & 7U))) & mask;
            if (photometric_ == PHOTOMETRIC_PALETTE) {
                std::memcpy(rgb, palette_.data() + rgb_bytes * value, rgb_bytes);
            } else {
                const unsigned grey = (invert ? mask - value : value) * 255U / mask;
                rgb[0] = rgb[1] = rgb[2] = static_cast<std::uint8_t>(grey);
            }
        }
    }

    std::uint64_t file_bytes_;
    std::unique_ptr<TIFF, void (*)(TIFF*)> handle_{nullptr, TIFFClose};
    TIFF* tiff_ = nullptr;
    std::uint16_t bits_ = 0;
    std::uint16_t samples_ = 0;
    std::uint16_t photometric_ = 0;
    bool tiled_ = false;
    std::uint32_t band_height_ = 0;
    std::vector<std::uint8_t> palette_;
    std::vector<std::uint8_t> band_;
    std::vector<std::uint8_t> tile_;
    std::size_t next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_decoder> open_tiff(std::FILE* file, std::uint64_t pixel_limit)
{
    return std::make_unique<tiff_decoder>(file, pixel_limit);
}

}  // namespace conemask
