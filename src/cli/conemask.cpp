// SPDX-License-Identifier: MIT
// conemask: select the pixels of an 8-bit RGB raster whose colour points the
// same way as a reference colour, and write their strength along it as a
// 16-bit mask.
//
// Run control: operands and their echo, the two files, the raster pass and the
// fatal error report. The per-pixel arithmetic lives in colour_geometry and
// its batch form in classify.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "conemask/classify.hpp"
#include "conemask/operands.hpp"
#include "posix_io.hpp"

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

// Scripts around the program match its reports, so their texts are kept
// word for word. The first two still name the functions that reported them
// in the program's first form ("main", "fprint_short_int_mat"), though the
// output is no longer opened by such a function: correcting the names would
// break the scripts that match them.
constexpr const char* input_open_failure = "in main, cannot open data input file ";
constexpr const char* output_open_failure = "in fprint_short_int_mat, cannot open data output file ";
constexpr const char* same_file_failure = "output file is the input file";
constexpr const char* read_failure = "error reading input file, probably file size error";
constexpr const char* write_failure = "output file does not contain correct number of pixels";
constexpr const char* numeric_too_long = "numeric operand too long";
constexpr const char* base_too_long = "base file name too long";

constexpr std::size_t bytes_per_pixel = 3;
// Pixels per read and write: one system call each way per block, large
// enough that the calls cost little per pixel, small enough that the buffers
// (320 KiB) stay in cache. Larger blocks measured no faster.
constexpr std::size_t block_pixels = std::size_t{1} << 16;

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
int open_input(const file_name& name, struct stat& status)
{
    const int input = open(name.data(), O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        on_error(input_open_failure, failure_status);
    }
    if (fstat(input, &status) != 0 || S_ISDIR(status.st_mode)) {
        on_error(input_open_failure, failure_status);
    }
    return input;
}

// True when `name` is the input under another name (a link, another
// spelling): the same file identity as conemask-image's check.
bool is_the_input(const file_name& name, const struct stat& input_status)
{
    try {
        return conemask::identify(name.data()) == conemask::file_identity{input_status.st_dev, input_status.st_ino, ""};
    } catch (const conemask::io_error&) {
        return false;  // no such file nor folder: the open that follows reports it
    }
}

// Creates (or truncates) the output raster, refusing a name that leads to the
// input itself through a link: truncating it would destroy the input.
int open_output(const file_name& name, const struct stat& input_status)
{
    if (is_the_input(name, input_status)) {
        on_error(same_file_failure, failure_status);
    }
    const int output = open(name.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, conemask::new_file_mode);
    if (output < 0) {
        on_error(output_open_failure, failure_status);
    }
    return output;
}

// Reads until `size` bytes are in or the input ends, retrying interrupted
// calls. Returns the bytes read; fewer than `size` means the end of the input
// or a read error, which the caller reports alike.
std::size_t read_fully(int input, std::uint8_t* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read(input, data + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

// Writes all `size` bytes (through short counts and interruptions); any
// failure is fatal, reported in the program's own words.
void write_fully(int output, const void* bytes, std::size_t size)
{
    try {
        conemask::write_all(output, bytes, size, "output");
    } catch (const conemask::io_error&) {
        on_error(write_failure, failure_status);
    }
}

// Nothing is buffered, but a file system may still report a deferred write
// error (NFS, a full disk under delayed allocation) only at the close.
void close_output(int output)
{
    if (close(output) != 0) {
        on_error(write_failure, failure_status);
    }
}

// One pass over rows x cols pixels, a block at a time. Every complete pixel
// before a short read is written before the read failure is reported, and no
// byte past the raster is asked for.
void filter_raster(int input, int output, const conemask::cone& cone, std::int32_t rows, std::int32_t cols)
{
    static std::array<std::uint8_t, bytes_per_pixel * block_pixels> rgb;
    static std::array<std::int16_t, block_pixels> samples;

    // Two counts below 2^31 multiply to less than 2^62: no overflow.
    std::uint64_t remaining =
        rows > 0 && cols > 0 ? static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols) : 0;
    while (remaining > 0) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, block_pixels));
        const std::size_t complete = read_fully(input, rgb.data(), wanted * bytes_per_pixel) / bytes_per_pixel;
        conemask::classify_pixels(cone, rgb.data(), samples.data(), complete);
        conemask::store_little_endian(samples.data(), complete);
        write_fully(output, samples.data(), complete * sizeof(std::int16_t));
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
    const int input = open_input(input_file_name, input_status);
    const int output = open_output(output_file_name, input_status);

    filter_raster(input, output, conemask::make_cone(a, max_angle, thresh), rows, cols);

    close_output(output);
    (void)close(input);  // read only: closing it cannot lose data
    return success_status;
}
