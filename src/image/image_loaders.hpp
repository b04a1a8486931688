// SPDX-License-Identifier: MIT
// The loaders behind open_image, one a format, and what they share: the
// size checks, and the way a library's fatal error comes back as a
// decode_error. Internal to the image layer.
#pragma once

#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "image_decode.hpp"

namespace conemask {

inline constexpr std::size_t rgb_bytes = 3;

// What a file's size lets a decoder hold whole before it has read a pixel:
// a buffer for the whole image (progressive JPEG's coefficients, a WebP's
// pixels, a TIFF strip) may take this many bytes for each byte of the file,
// or 64 MiB whatever the file. No compressed image stores more than ~1000
// samples a byte, so only a header that promises more than its data can
// hold is refused.
inline constexpr std::uint64_t whole_buffer_bytes_per_file_byte = 1024;
inline constexpr std::uint64_t whole_buffer_floor = std::uint64_t{64} << 20U;

// Refuses an image with no pixels or more than `pixel_limit`.
void check_size(std::uint64_t width, std::uint64_t height, std::uint64_t pixel_limit);
// Refuses a buffer of `bytes` for `what` that the file's size does not allow.
void check_whole_buffer(std::uint64_t bytes, std::uint64_t file_bytes, const char* what);
// The file's size from its start, and its position kept. Throws decode_error.
std::uint64_t file_size(std::FILE* file);

// A library's failure: where to jump back to, and its message.
struct library_failure {
    std::jmp_buf jump{};
    std::array<char, 200> message{};

    void set(const char* text) { (void)std::snprintf(message.data(), message.size(), "%s", text); }
};

// Runs `step` (calls into a library whose errors jump to `f.jump`) and turns
// such a jump into a decode_error. `step` holds nothing to be destroyed.
template <typename step_fn>
void guarded(library_failure& f, const char* format, step_fn step)
{
    if (setjmp(f.jump) != 0) {  // NOLINT(cert-err52-cpp): the libraries' only way to stop
        throw decode_error(std::string(format) + ": " + f.message.data());
    }
    step();
}

// Each reads from the file's current position, the signature included
// unless said otherwise.
std::unique_ptr<image_decoder> open_jpeg(std::FILE* file, std::uint64_t pixel_limit);
std::unique_ptr<image_decoder> open_png(std::FILE* file, std::uint64_t pixel_limit);  // after the signature
std::unique_ptr<image_decoder> open_webp(std::FILE* file, std::uint64_t pixel_limit);
std::unique_ptr<image_decoder> open_tiff(std::FILE* file, std::uint64_t pixel_limit);

}  // namespace conemask
