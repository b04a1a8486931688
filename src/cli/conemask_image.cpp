// SPDX-License-Identifier: MIT
// conemask-image: conemask for photographs. Decodes a JPEG or PNG a band of
// rows at a time, classifies each band as conemask does, and writes the mask
// (and, asked, its picture as a PNG) under temporary names that are renamed
// only once everything is complete.
//
// Run control: options and operands, the files, the pass, the turn that the
// photograph's EXIF orientation asks for, the error messages.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "conemask/classify.hpp"
#include "image_decode.hpp"
#include "conemask/operands.hpp"
#include "png_writer.hpp"

namespace {

using conemask::orientation;

constexpr int success_status = 0;
constexpr int failure_status = 1;
constexpr int usage_status = 2;
constexpr int operand_count = 6;

constexpr const char* program = "conemask-image";
constexpr const char* usage_text =
    "usage: conemask-image [--output MASK.raw] [--png MASK.png] IMAGE RED GREEN BLUE THETA THRESH\n"
    "Writes a 16-bit mask of the pixels of the JPEG or PNG photograph IMAGE whose colour\n"
    "lies within THETA radians of (RED, GREEN, BLUE) and whose strength along that colour\n"
    "is above THRESH: the bytes conemask writes for the photograph's RGB raster.\n"
    "\n"
    "  --output MASK.raw  the mask's name (default: IMAGE's, with .raw for its extension)\n"
    "  --png MASK.png     also draw the mask as an 8-bit grey picture, 253 as white\n"
    "  --help             print this text\n"
    "  --version          print the version\n";

// Pixels classified per band of rows: as conemask's blocks, a few hundred
// KiB of buffers that stay in cache.
constexpr std::size_t band_pixels = std::size_t{1} << 16;
// As fopen's "wb" creates files; the umask narrows it.
constexpr mode_t new_file_mode = 0666;

// Temporary files to remove if the run fails.
std::vector<std::string> temporaries;  // NOLINT(cert-err58-cpp): an empty vector does not throw

void remove_temporaries()
{
    for (const std::string& name : temporaries) {
        (void)unlink(name.c_str());  // a failure here has nowhere left to go
    }
    temporaries.clear();
}

// Ends at once, without the static destructors and stream cleanup of
// exit(), which the decoding thread may still be running beside.
[[noreturn]] void fail(const std::string& file, const std::string& message)
{
    remove_temporaries();
    (void)std::fprintf(stderr, "%s: %s: %s\n", program, file.c_str(), message.c_str());
    std::_Exit(failure_status);
}

[[noreturn]] void usage_error(const std::string& message)
{
    (void)std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, message.c_str(), program);
    std::exit(usage_status);
}

struct settings {
    std::string image;
    std::string mask;
    std::string picture;  // empty: no picture
    conemask::colour reference{};
    float max_angle = 0.0F;
    std::int32_t thresh = 0;
};

std::int32_t integer_operand(const char* text)
{
    std::int32_t value = 0;
    if (!conemask::convert_integer(text, value)) {
        usage_error("numeric operand too long");
    }
    return value;
}

// IMAGE with .raw in place of the extension of its last component, or added
// when it has none (a leading dot starts a name, not an extension).
std::string default_mask_name(const std::string& image)
{
    const std::size_t slash = image.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = image.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > start;
    return (has_extension ? image.substr(0, dot) : image) + ".raw";
}

// Options may come before, between or after the operands; "--" ends them.
// A lone "-" or a negative number such as "-1" is an operand.
settings parse(int argc, char** argv)
{
    settings s;
    std::vector<const char*> operands;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.rfind("--", 0) != 0) {
            operands.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "--help") {
            (void)std::fputs(usage_text, stdout);
            std::exit(std::fflush(stdout) == 0 ? success_status : failure_status);
        }
        if (arg == "--version") {
            (void)std::printf("%s %s\n", program, CONEMASK_VERSION);
            std::exit(std::fflush(stdout) == 0 ? success_status : failure_status);
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        std::string* target = name == "--output" ? &s.mask : name == "--png" ? &s.picture : nullptr;
        if (target == nullptr) {
            usage_error("unknown option '" + name + "'");
        }
        if (equals != std::string::npos) {
            *target = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            *target = argv[++i];
        } else {
            usage_error("option '" + name + "' needs a file name");
        }
        if (target->empty()) {
            usage_error("option '" + name + "' needs a file name");
        }
    }
    if (operands.size() != operand_count) {
        usage_error("expected 6 operands (IMAGE RED GREEN BLUE THETA THRESH), got " +
                    std::to_string(operands.size()));
    }
    s.image = operands[0];
    for (std::size_t i = 0; i < s.reference.size(); ++i) {
        s.reference[i] = integer_operand(operands[1 + i]);
    }
    if (!conemask::convert_angle(operands[4], s.max_angle)) {
        usage_error("numeric operand too long");
    }
    s.thresh = integer_operand(operands[5]);
    if (s.mask.empty()) {
        s.mask = default_mask_name(s.image);
    }
    return s;
}

// Refuses an output that is the image itself (under another name, too) or
// the other output: renaming over it would destroy it.
void check_output_name(const std::string& output, const std::string& image, const struct stat& image_status,
                       const std::string& other)
{
    struct stat status {};
    if (output == image ||
        (stat(output.c_str(), &status) == 0 && status.st_dev == image_status.st_dev &&
         status.st_ino == image_status.st_ino)) {
        fail(output, "the output would replace the image");
    }
    if (output == other) {
        fail(output, "the mask and its picture cannot be one file");
    }
}

// A temporary file beside `name`, with the permissions a new file gets.
int create_temporary(const std::string& name)
{
    std::string pattern = name + ".XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        fail(name, std::strerror(errno));
    }
    temporaries.push_back(pattern);
    const mode_t mask = umask(0);
    (void)umask(mask);
    if (fchmod(fd, new_file_mode & ~mask) != 0) {
        fail(name, std::strerror(errno));
    }
    return fd;
}

void write_at(int fd, const void* bytes, std::size_t size, off_t offset, const std::string& name)
{
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t put = pwrite(fd, data, size, offset);
        if (put > 0) {
            data += put;
            size -= static_cast<std::size_t>(put);
            offset += put;
        } else if (put == 0 || errno != EINTR) {
            fail(name, put == 0 ? "cannot write" : std::strerror(errno));
        }
    }
}

void read_at(int fd, void* bytes, std::size_t size, off_t offset, const std::string& name)
{
    auto* data = static_cast<std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t got = pread(fd, data, size, offset);
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
            offset += got;
        } else if (got == 0 || errno != EINTR) {
            fail(name, got == 0 ? "cannot read back the mask" : std::strerror(errno));
        }
    }
}

// Samples are written little-endian whatever the host's byte order; the same
// swap reads them back.
void swap_to_little_endian(std::int16_t* samples, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8U | bits >> 8U));
        }
    }
}

// The mask as displayed: cols by rows, the stored image turned.
struct mask_shape {
    std::size_t stored_width, stored_height;
    std::size_t cols, rows;
    orientation turn;
};

// Decoding runs in a thread of its own, a few bands ahead of the
// classification and the writing, which take the other core: a run then
// takes about as long as the decoding alone. A band carries its rows, or the
// decoder's complaint; after the last row, one more carries the check of the
// rest of the file.
class band_reader {
public:
    band_reader(conemask::image_decoder& decoder, std::size_t band_rows)
        : decoder_(decoder), band_rows_(band_rows)
    {
        for (band& b : bands_) {
            b.rgb.resize(band_rows * decoder.width() * 3);
        }
        worker_ = std::thread([this] { decode(); });
    }
    band_reader(const band_reader&) = delete;
    band_reader& operator=(const band_reader&) = delete;
    band_reader(band_reader&&) = delete;
    band_reader& operator=(band_reader&&) = delete;
    // Only after the last band was taken: the worker has then finished.
    ~band_reader() { worker_.join(); }

    struct band {
        std::vector<std::uint8_t> rgb;
        std::size_t rows = 0;
        std::string error;  // the decoder's, when not empty
    };

    // The next band, valid until release().
    const band& take()
    {
        full_.acquire();
        return bands_[taken_ % bands_.size()];
    }
    void release()
    {
        ++taken_;
        free_.release();
    }

private:
    static constexpr std::ptrdiff_t slots = 3;

    void decode()
    {
        const std::size_t height = decoder_.height();
        for (std::size_t y = 0, made = 0;; ++made) {
            free_.acquire();
            band& b = bands_[made % bands_.size()];
            b.rows = 0;
            try {
                if (y < height) {
                    b.rows = decoder_.read_rows(b.rgb.data(), std::min(band_rows_, height - y));
                    if (b.rows == 0) {
                        b.error = "the image ends before its last row";
                    }
                } else {
                    decoder_.finish();
                }
            } catch (const conemask::decode_error& e) {
                b.error = e.what();
            } catch (const std::bad_alloc&) {
                b.error = "not enough memory for an image of this size";
            } catch (const std::exception& e) {
                b.error = e.what();
            }
            y += b.rows;
            const bool last = b.rows == 0;
            full_.release();
            if (last) {
                return;
            }
        }
    }

    conemask::image_decoder& decoder_;
    std::size_t band_rows_;
    std::array<band, slots> bands_;
    std::counting_semaphore<slots> free_{slots};
    std::counting_semaphore<slots> full_{0};
    std::size_t taken_ = 0;
    std::thread worker_;
};

// The picture's file and encoder, from its header to its close.
class picture_file {
public:
    picture_file(std::string name, const mask_shape& shape) : name_(std::move(name))
    {
        const int fd = create_temporary(name_);
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr) {
            fail(name_, std::strerror(errno));
        }
        try {
            writer_ = std::make_unique<conemask::png_writer>(file_, static_cast<std::uint32_t>(shape.cols),
                                                             static_cast<std::uint32_t>(shape.rows));
        } catch (const conemask::png_write_error& e) {
            fail(name_, e.what());
        }
    }

    void write_row(const std::int16_t* samples)
    {
        try {
            writer_->write_row(samples);
        } catch (const conemask::png_write_error& e) {
            fail(name_, e.what());
        }
    }

    void close()
    {
        try {
            writer_->finish();
        } catch (const conemask::png_write_error& e) {
            fail(name_, e.what());
        }
        const bool flushed = std::fflush(file_) == 0;
        const int error = errno;
        if (std::fclose(file_) != 0 || !flushed) {
            fail(name_, std::strerror(flushed ? errno : error));
        }
    }

private:
    std::string name_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<conemask::png_writer> writer_;
};

// The pass. Turns that keep rows whole stream to the file, rows in place
// (mirrored or not) or at their mirrored position; a quarter turn scatters
// every stored row over a column, so that mask is held whole (2 bytes a
// pixel) and written at the end. The picture takes the rows as they come when
// they come in its order; otherwise it is drawn afterwards from the mask held
// whole or read back from its file.
void write_mask(conemask::image_decoder& decoder, const conemask::cone& cone, const mask_shape& shape, int fd,
                const std::string& image, const std::string& mask_name, picture_file* picture)
{
    const std::size_t width = shape.stored_width;
    const std::size_t height = shape.stored_height;
    const std::size_t band_rows = std::max<std::size_t>(1, band_pixels / width);
    std::vector<std::int16_t> samples(band_rows * width);
    const bool quarter_turn = conemask::swaps_axes(shape.turn);
    std::vector<std::int16_t> whole(quarter_turn ? width * height : 0);
    const bool mirrored = shape.turn == orientation::top_right || shape.turn == orientation::bottom_right;
    const bool upside_down = shape.turn == orientation::bottom_right || shape.turn == orientation::bottom_left;
    const bool picture_in_pass = picture != nullptr && !quarter_turn && !upside_down;
    const std::size_t row_bytes = width * sizeof(std::int16_t);

    band_reader reader(decoder, band_rows);
    for (std::size_t y = 0;; ) {
        const band_reader::band& band = reader.take();
        if (!band.error.empty()) {
            fail(image, band.error);
        }
        if (band.rows == 0) {
            break;  // past the last row, the rest of the file checked
        }
        const std::size_t rows = band.rows;
        conemask::classify_pixels(cone, band.rgb.data(), samples.data(), rows * width);
        reader.release();
        if (quarter_turn) {
            // Stored pixel (sx, sy) lands in row `to_row`, column `to_col` of
            // a mask `height` columns wide.
            const bool from_right = shape.turn == orientation::right_top || shape.turn == orientation::right_bottom;
            const bool from_bottom = shape.turn == orientation::right_bottom || shape.turn == orientation::left_bottom;
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t sy = y + r;
                const std::int16_t* row = samples.data() + r * width;
                const std::size_t to_col = from_right ? height - 1 - sy : sy;
                for (std::size_t sx = 0; sx < width; ++sx) {
                    const std::size_t to_row = from_bottom ? width - 1 - sx : sx;
                    whole[to_row * height + to_col] = row[sx];
                }
            }
        } else {
            for (std::size_t r = 0; mirrored && r < rows; ++r) {
                std::reverse(samples.begin() + static_cast<std::ptrdiff_t>(r * width),
                             samples.begin() + static_cast<std::ptrdiff_t>((r + 1) * width));
            }
            for (std::size_t r = 0; picture_in_pass && r < rows; ++r) {
                picture->write_row(samples.data() + r * width);
            }
            swap_to_little_endian(samples.data(), rows * width);
            if (upside_down) {
                for (std::size_t r = 0; r < rows; ++r) {
                    write_at(fd, samples.data() + r * width, row_bytes,
                             static_cast<off_t>((height - 1 - y - r) * row_bytes), mask_name);
                }
            } else {
                write_at(fd, samples.data(), rows * row_bytes, static_cast<off_t>(y * row_bytes), mask_name);
            }
        }
        y += rows;
    }
    reader.release();

    if (quarter_turn) {
        for (std::size_t y = 0; picture != nullptr && y < shape.rows; ++y) {
            picture->write_row(whole.data() + y * shape.cols);
        }
        swap_to_little_endian(whole.data(), whole.size());
        write_at(fd, whole.data(), whole.size() * sizeof(std::int16_t), 0, mask_name);
    } else if (picture != nullptr && !picture_in_pass) {
        std::vector<std::int16_t> row(shape.cols);
        const std::size_t mask_row_bytes = shape.cols * sizeof(std::int16_t);
        for (std::size_t y = 0; y < shape.rows; ++y) {
            read_at(fd, row.data(), mask_row_bytes, static_cast<off_t>(y * mask_row_bytes), mask_name);
            swap_to_little_endian(row.data(), row.size());
            picture->write_row(row.data());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const settings s = parse(argc, argv);

    std::FILE* image = nullptr;
    try {
        image = conemask::open_photograph(s.image);
    } catch (const conemask::decode_error& e) {
        fail(s.image, e.what());
    }
    struct stat image_status {};
    if (fstat(fileno(image), &image_status) != 0) {
        fail(s.image, std::strerror(errno));
    }
    if (S_ISDIR(image_status.st_mode)) {
        fail(s.image, "is a directory");
    }
    check_output_name(s.mask, s.image, image_status, s.picture);
    if (!s.picture.empty()) {
        check_output_name(s.picture, s.image, image_status, s.mask);
    }

    std::unique_ptr<conemask::image_decoder> decoder;
    try {
        decoder = conemask::open_image(image);
    } catch (const conemask::decode_error& e) {
        fail(s.image, e.what());
    }
    const bool quarter_turn = conemask::swaps_axes(decoder->turn());
    const mask_shape shape{decoder->width(), decoder->height(), quarter_turn ? decoder->height() : decoder->width(),
                           quarter_turn ? decoder->width() : decoder->height(), decoder->turn()};

    const int mask_fd = create_temporary(s.mask);
    try {
        std::unique_ptr<picture_file> picture;
        if (!s.picture.empty()) {
            picture = std::make_unique<picture_file>(s.picture, shape);
        }
        write_mask(*decoder, conemask::make_cone(s.reference, s.max_angle, s.thresh), shape, mask_fd, s.image,
                   s.mask, picture.get());
        if (picture) {
            picture->close();
        }
    } catch (const std::bad_alloc&) {
        fail(s.image, "not enough memory for an image of this size");
    }
    decoder.reset();
    // A file system may report a deferred write error only at the close.
    if (close(mask_fd) != 0) {
        fail(s.mask, std::strerror(errno));
    }
    (void)std::fclose(image);  // read only: closing it cannot lose data

    // The picture first: a failure between the two renames then leaves a
    // new picture beside an old mask, never a mask without its picture.
    if (!s.picture.empty() && std::rename(temporaries[1].c_str(), s.picture.c_str()) != 0) {
        fail(s.picture, std::strerror(errno));
    }
    if (std::rename(temporaries[0].c_str(), s.mask.c_str()) != 0) {
        fail(s.mask, std::strerror(errno));
    }
    temporaries.clear();
    return success_status;
}
