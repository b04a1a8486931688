// SPDX-License-Identifier: MIT
// WebP through libwebp, lossy and lossless: alpha dropped, the colours kept
// as stored (not premultiplied), as ImageMagick reads them. ImageMagick does
// not turn a WebP by its EXIF orientation, so neither does this.
#include "image_loaders.hpp"

#include <webp/decode.h>

#include <cstring>
#include <vector>

namespace conemask {

namespace {

class webp_decoder final : public image_decoder {
public:
    webp_decoder(std::FILE* file, std::uint64_t pixel_limit)
    {
        const std::uint64_t size = file_size(file);
        // The whole file is read before it is decoded; it exists, so it
        // promises nothing.
        file_.resize(static_cast<std::size_t>(size));
        if (std::fread(file_.data(), 1, file_.size(), file) != file_.size()) {
            throw decode_error(std::ferror(file) != 0 ? "WebP: the file cannot be read" : "WebP: the file ends early");
        }
        int width = 0;
        int height = 0;
        if (WebPGetInfo(file_.data(), file_.size(), &width, &height) == 0) {
            throw decode_error("WebP: not a WebP image libwebp can read, or a damaged one");
        }
        check_size(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), pixel_limit);
        const std::uint64_t pixels_bytes = rgb_bytes * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
        const std::uint64_t file_bytes = size;
        check_whole_buffer(pixels_bytes, file_bytes, "a WebP image");
        width_ = static_cast<std::uint32_t>(width);
        height_ = static_cast<std::uint32_t>(height);
        pixels_.resize(static_cast<std::size_t>(pixels_bytes));
        const int stride = width * static_cast<int>(rgb_bytes);
        if (WebPDecodeRGBInto(file_.data(), file_.size(), pixels_.data(), pixels_.size(), stride) == nullptr) {
            throw decode_error("WebP: the image data is damaged or ends early");
        }
        file_ = {};
    }

    std::size_t read_rows(std::uint8_t* rgb, std::size_t rows) override
    {
        const std::size_t row_bytes = rgb_bytes * width_;
        const std::size_t count = std::min<std::size_t>(rows, height_ - next_row_);
        std::memcpy(rgb, pixels_.data() + next_row_ * row_bytes, count * row_bytes);
        next_row_ += count;
        return count;
    }

    void finish() override {}

private:
    std::vector<std::uint8_t> file_;
    std::vector<std::uint8_t> pixels_;
    std::size_t next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_decoder> open_webp(std::FILE* file, std::uint64_t pixel_limit)
{
    return std::make_unique<webp_decoder>(file, pixel_limit);
}

}  // namespace conemask
