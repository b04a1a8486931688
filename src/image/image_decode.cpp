// SPDX-License-Identifier: MIT
// The image layer's front: a photograph opened without blocking, its format
// told by its first bytes and handed to that format's loader, and the whole
// raster as shown for callers that want it at once.
#include "image_decode.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "image_loaders.hpp"

namespace conemask {

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

void check_whole_buffer(std::uint64_t bytes, std::uint64_t file_bytes, const char* what)
{
    const std::uint64_t allowed = std::max(whole_buffer_floor, whole_buffer_bytes_per_file_byte * file_bytes);
    if (bytes > allowed) {
        throw decode_error(std::string(what) + " needs " + std::to_string(bytes >> 20U) +
                           " MiB at once, more than the limit for a file of its size (" +
                           std::to_string(whole_buffer_bytes_per_file_byte) + " bytes a byte of file, or " +
                           std::to_string(whole_buffer_floor >> 20U) + " MiB): its data cannot fill it");
    }
}

std::uint64_t file_size(std::FILE* file)
{
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) {
        throw decode_error("cannot find the file's size");
    }
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, here, SEEK_SET) != 0) {
        throw decode_error("cannot find the file's size");
    }
    return static_cast<std::uint64_t>(end);
}

namespace {

// Formats told apart only to say what a file is, when it is not one of ours.
const char* other_format(const std::uint8_t* head, std::size_t size)
{
    const auto starts = [&](const char* magic) {
        const std::size_t length = std::strlen(magic);
        return size >= length && std::memcmp(head, magic, length) == 0;
    };
    if (starts("GIF8")) {
        return "GIF";
    }
    if (starts("BM")) {
        return "BMP";
    }
    return nullptr;
}

bool starts_with(const std::uint8_t* head, std::size_t size, std::size_t at, const char* magic, std::size_t length)
{
    return size >= at + length && std::memcmp(head + at, magic, length) == 0;
}

}  // namespace

std::unique_ptr<image_decoder> open_image(std::FILE* file, std::uint64_t pixel_limit)
{
    constexpr std::size_t head_size = 12;
    std::array<std::uint8_t, head_size> head{};
    const std::size_t got = std::fread(head.data(), 1, head.size(), file);
    if (std::ferror(file) != 0) {
        throw decode_error("cannot be read");
    }
    const auto is = [&](std::size_t at, const char* magic, std::size_t length) {
        return starts_with(head.data(), got, at, magic, length);
    };
    const bool png = is(0, "\x89PNG\r\n\x1A\n", 8);
    // libpng goes on from the signature; the others read it again.
    if (std::fseek(file, png ? 8 : 0, SEEK_SET) != 0) {
        throw decode_error("cannot be read again from its start");
    }
    if (png) {
        return open_png(file, pixel_limit);
    }
    if (is(0, "\xFF\xD8\xFF", 3)) {
        return open_jpeg(file, pixel_limit);
    }
    if (is(0, "RIFF", 4) && is(8, "WEBP", 4)) {
        return open_webp(file, pixel_limit);
    }
    // TIFF's byte-order mark and 42, little- or big-endian (a NUL among them).
    constexpr std::array<char, 4> tiff_little{'I', 'I', '*', '\0'};
    constexpr std::array<char, 4> tiff_big{'M', 'M', '\0', '*'};
    if (is(0, tiff_little.data(), 4) || is(0, tiff_big.data(), 4)) {
        return open_tiff(file, pixel_limit);
    }
    if (const char* format = other_format(head.data(), got)) {
        throw decode_error(std::string("unsupported format: a ") + format + " image, not a JPEG, PNG, WebP or TIFF");
    }
    throw decode_error("not a JPEG, PNG, WebP or TIFF image");
}

std::FILE* open_photograph(const std::string& path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // NOLINT: a flag argument
    if (fd < 0) {
        throw decode_error(std::strerror(errno));
    }
    struct stat status {};
    const char* refused = nullptr;
    // Blocking reads again for a regular file, as stdio expects.
    if (fstat(fd, &status) != 0 || (S_ISREG(status.st_mode) && fcntl(fd, F_SETFL, O_RDONLY) != 0)) {
        refused = std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        refused = "is a directory";
    } else if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
        refused = "is a pipe or socket, not a file: a photograph is read from a file";
    } else if (!S_ISREG(status.st_mode)) {
        refused = "is a device, not a file: a photograph is read from a file";
    }
    std::FILE* file = refused == nullptr ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        const std::string reason = refused != nullptr ? refused : std::strerror(errno);
        (void)close(fd);  // read only: closing it cannot lose data
        throw decode_error(reason);
    }
    return file;
}

shown_raster read_photograph(const std::string& path, std::uint64_t pixel_limit)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_photograph(path), std::fclose);
    const std::unique_ptr<image_decoder> decoder = open_image(file.get(), pixel_limit);
    const std::size_t row_bytes = rgb_bytes * decoder->width();
    // Grown band by band as rows are decoded, never on the header's word.
    constexpr std::size_t band_rows = 64;
    std::vector<std::uint8_t> stored;
    for (std::size_t rows = 0; rows < decoder->height();) {
        const std::size_t band = std::min<std::size_t>(band_rows, decoder->height() - rows);
        stored.resize((rows + band) * row_bytes);
        const std::size_t got = decoder->read_rows(stored.data() + rows * row_bytes, band);
        if (got == 0) {
            throw decode_error("the image data ends early");
        }
        rows += got;
    }
    decoder->finish();
    shown_raster shown;
    const orientation turn = decoder->turn();
    shown.rows = swaps_axes(turn) ? decoder->width() : decoder->height();
    shown.cols = swaps_axes(turn) ? decoder->height() : decoder->width();
    if (turn == orientation::top_left) {
        shown.rgb = std::move(stored);
    } else {
        shown.rgb.resize(stored.size());
        orient_raster(turn, stored.data(), decoder->height(), decoder->width(), rgb_bytes, shown.rgb.data());
    }
    return shown;
}

}  // namespace conemask
