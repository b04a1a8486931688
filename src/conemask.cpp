// conemask: select the pixels of an 8-bit RGB raster whose colour points the
// same way as a reference colour, and write their strength along it as a
// 16-bit mask.
//
// Run control: operands and their echo, the two files, the raster pass and the
// fatal error report. The per-pixel arithmetic lives in colour_geometry.

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "colour_geometry.hpp"
#include "operands.hpp"

namespace {

using conemask::colour;
using conemask::file_name;

constexpr int operand_count = 8;
constexpr int success_status = 0;
constexpr int failure_status = 1;

constexpr const char* usage_text =
    "usage: conemask red green blue theta thresh basefilename rows cols\n"
    "Writes basefilename.raw, a 16-bit mask of the pixels of the rows x cols RGB raster\n"
    "basefilename.rgb whose colour lies within theta radians of (red, green, blue) and\n"
    "whose strength along that colour is above thresh.\n";

constexpr const char* input_open_failure = "in main, cannot open data input file ";
constexpr const char* output_open_failure = "in fprint_short_int_mat, cannot open data output file ";
constexpr const char* same_file_failure = "output file is the input file";
constexpr const char* read_failure = "error reading input file, probably file size error";
constexpr const char* write_failure = "output file does not contain correct number of pixels";
constexpr const char* numeric_too_long = "numeric operand too long";
constexpr const char* base_too_long = "base file name too long";

constexpr std::size_t bytes_per_pixel = 3;
// Pixels per read and write: large enough that the stream calls cost little
// per pixel, small enough that the buffers stay in cache.
constexpr std::size_t block_pixels = std::size_t{1} << 15;

// The one way a failure is reported: the same text on standard output, then
// on standard error, then a normal exit, which flushes every open stream so
// that samples already written reach their file.
// The report's own writes are not checked: there is nowhere left to report
// their failure, and the exit status carries the code in any case.
[[noreturn]] void on_error(const char* message, int code)
{
    (void)std::fputs("\n execution error", stdout);
    (void)std::printf("\n%s, \nexit code %d", message, code);
    (void)std::fputs("\n execution error", stderr);
    (void)std::fprintf(stderr, "\n%s, \nexit code %d", message, code);
    std::exit(code);
}

std::int32_t integer_operand(const char* text)
{
    std::int32_t value = 0;
    if (!conemask::convert_integer(text, value)) {
        on_error(numeric_too_long, failure_status);
    }
    return value;
}

// Opens the input raster for reading and makes sure it is a file that can be
// read as one, not a directory.
std::FILE* open_input(const file_name& name, struct stat& status)
{
    std::FILE* input = std::fopen(name.data(), "rb");
    if (input == nullptr) {
        on_error(input_open_failure, failure_status);
    }
    if (fstat(fileno(input), &status) != 0 || S_ISDIR(status.st_mode)) {
        on_error(input_open_failure, failure_status);
    }
    return input;
}

// Creates (or truncates) the output raster, refusing a name that leads to the
// input itself through a link: truncating it would destroy the input.
std::FILE* open_output(const file_name& name, const struct stat& input_status)
{
    struct stat output_status {};
    if (stat(name.data(), &output_status) == 0 && output_status.st_dev == input_status.st_dev &&
        output_status.st_ino == input_status.st_ino) {
        on_error(same_file_failure, failure_status);
    }
    std::FILE* output = std::fopen(name.data(), "wb");
    if (output == nullptr) {
        on_error(output_open_failure, failure_status);
    }
    return output;
}

// Flushes, checks the stream's error flag and closes: on a full disk a small
// raster's samples may fail only here, when the buffer finally goes out.
void close_output(std::FILE* output)
{
    const bool flushed = std::fflush(output) == 0 && std::ferror(output) == 0;
    const bool closed = std::fclose(output) == 0;
    if (!flushed || !closed) {
        on_error(write_failure, failure_status);
    }
}

// Samples are written little-endian whatever the host's byte order.
void to_little_endian(std::int16_t* samples, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8U | bits >> 8U));
        }
    }
}

// One pass over rows x cols pixels, a block at a time. Every complete pixel
// before a short read is written before the read failure is reported, and no
// byte past the raster is asked for.
void filter_raster(std::FILE* input, std::FILE* output, const conemask::cone& cone, std::int32_t rows,
                   std::int32_t cols)
{
    static std::array<std::uint8_t, bytes_per_pixel * block_pixels> rgb;
    static std::array<std::int16_t, block_pixels> samples;

    // Two counts below 2^31 multiply to less than 2^62: no overflow.
    std::uint64_t remaining =
        rows > 0 && cols > 0 ? static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols) : 0;
    while (remaining > 0) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, block_pixels));
        const std::size_t complete = std::fread(rgb.data(), 1, wanted * bytes_per_pixel, input) / bytes_per_pixel;
        conemask::classify_pixels(cone, rgb.data(), samples.data(), complete);
        to_little_endian(samples.data(), complete);
        if (std::fwrite(samples.data(), sizeof(std::int16_t), complete, output) != complete) {
            on_error(write_failure, failure_status);
        }
        if (complete < wanted) {
            on_error(read_failure, failure_status);
        }
        remaining -= wanted;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != operand_count + 1) {
        (void)std::fputs(usage_text, stdout);
        return failure_status;
    }

    colour a{};
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = integer_operand(argv[1 + i]);
        std::printf("\na[%zu] = %d", i, a[i]);
    }

    float max_angle = 0.0F;
    if (!conemask::convert_angle(argv[4], max_angle)) {
        on_error(numeric_too_long, failure_status);
    }
    std::printf("\nmax_angle = %f", static_cast<double>(max_angle));

    const std::int32_t thresh = integer_operand(argv[5]);
    std::printf("\nthresh = %d", thresh);

    file_name input_base{};
    if (!conemask::copy_base_name(argv[6], input_base)) {
        on_error(base_too_long, failure_status);
    }
    std::printf("\ninput_base = %s", input_base.data());

    const std::int32_t rows = integer_operand(argv[7]);
    const std::int32_t cols = integer_operand(argv[8]);

    const file_name input_file_name = conemask::derive_file_name(input_base, ".rgb");
    std::printf("\ninput_file_name = %s", input_file_name.data());
    const file_name output_file_name = conemask::derive_file_name(input_base, ".raw");
    std::printf("\noutput_file_name = %s\n", output_file_name.data());

    // The input is opened first so that a missing input leaves any earlier
    // output of the same name untouched.
    struct stat input_status {};
    std::FILE* input = open_input(input_file_name, input_status);
    std::FILE* output = open_output(output_file_name, input_status);

    filter_raster(input, output, conemask::make_cone(a, max_angle, thresh), rows, cols);

    close_output(output);
    (void)std::fclose(input);  // read only: closing it cannot lose data
    return success_status;
}
