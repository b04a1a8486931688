// SPDX-License-Identifier: MIT
// End-to-end tests of conemask-image: each case runs the built program in a
// fresh temporary directory and checks its exit status, both output streams
// and every file left behind. The photographs are made from the example by
// ImageMagick, which also gives each one's expected mask: its own reading of
// the photograph (`convert ... rgb:`) followed by conemask. Without
// ImageMagick those cases are skipped with a note.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_program.hpp"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using namespace end_to_end;

// Every entry of a directory: a file's contents, "<dir>" for a directory.
std::map<std::string, bytes> take_snapshot(const fs::path& dir)
{
    std::map<std::string, bytes> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        entries[entry.path().filename().string()] = entry.is_directory() ? "<dir>" : read_file(entry.path());
    }
    return entries;
}

const std::string convert = CONEMASK_CONVERT;
const std::string compare = CONEMASK_COMPARE;
const std::string example = "-size 600x400 -depth 8 rgb:" CONEMASK_EXAMPLES "/coffee.rgb";

// Runs a shell command in `dir`; true on status 0.
bool shell(const fs::path& dir, const std::string& command)
{
    return std::system(("cd '" + dir.string() + "' && " + command).c_str()) == 0;
}

// An APP1 segment's EXIF: a little-endian TIFF header and one IFD holding
// only the orientation tag (a SHORT).
bytes exif_orientation(int value)
{
    using namespace std::string_literals;
    return "Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0"s + char(value) + "\0\0\0\0\0\0\0"s;
}

std::uint32_t crc32(const bytes& data)
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char c : data) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1U) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

bytes big_endian(std::uint32_t v)
{
    return bytes{char(v >> 24U), char(v >> 16U), char(v >> 8U), char(v)};
}

bytes png_chunk(const bytes& type, const bytes& data)
{
    return big_endian(static_cast<std::uint32_t>(data.size())) + type + data + big_endian(crc32(type + data));
}

constexpr std::size_t png_signature = 8;
constexpr std::size_t ihdr_chunk = 12 + 13;

// `png` with `chunk` right after its IHDR.
bytes insert_chunk(const bytes& png, const bytes& chunk)
{
    return png.substr(0, png_signature + ihdr_chunk) + chunk + png.substr(png_signature + ihdr_chunk);
}

// `png` stating another size in its IHDR, the chunk's CRC mended.
bytes restate_size(const bytes& png, std::uint32_t width, std::uint32_t height)
{
    const bytes ihdr = big_endian(width) + big_endian(height) + png.substr(png_signature + 16, 5);
    return png.substr(0, png_signature) + png_chunk("IHDR", ihdr) + png.substr(png_signature + ihdr_chunk);
}

// `jpeg` stating another height in its baseline frame header (SOF0).
bytes jpeg_restate_height(const bytes& jpeg, std::uint16_t height)
{
    const std::size_t frame = jpeg.find("\xFF\xC0");
    return jpeg.substr(0, frame + 5) + char(height >> 8U) + char(height & 0xFFU) + jpeg.substr(frame + 7);
}

class conemask_image_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-image-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        dir = root / "work";
        fs::create_directory(dir);
    }
    void TearDown() override { fs::remove_all(root); }

    // A photograph made from the example by `convert EXAMPLE options file`,
    // in `where`.
    void make_photo(const fs::path& where, const std::string& file, const std::string& options) const
    {
        for (int value = 1; value <= 8; ++value) {
            write_file(where / ("orientation" + std::to_string(value) + ".exif"), exif_orientation(value));
        }
        ASSERT_TRUE(shell(where, convert + " " + example + " " + options + " " + file)) << file;
    }

    // ImageMagick's raster of `photo` as conemask's input, then conemask's
    // mask of it, in `where`: returns the mask, and sets `size` to "rows cols".
    bytes reference_mask(const fs::path& where, const std::string& photo, const std::vector<std::string>& numbers,
                         std::string& size) const
    {
        EXPECT_TRUE(shell(where, convert + " " + photo +
                                     " -auto-orient -alpha off -colorspace sRGB -depth 8 -print '%h %w' "
                                     "rgb:reference.rgb >size.txt"));
        size = read_file(where / "size.txt");
        const std::size_t blank = size.find(' ');
        std::vector<std::string> operands = numbers;
        operands.insert(operands.end(), {"reference", size.substr(0, blank), size.substr(blank + 1)});
        EXPECT_EQ(run_program(CONEMASK_PATH, where, root, operands).status, 0);
        const bytes mask = read_file(where / "reference.raw");
        for (const char* name : {"reference.rgb", "reference.raw", "size.txt"}) {
            fs::remove(where / name);
        }
        return mask;
    }

    fs::path root;
    fs::path dir;
};

#define SKIP_WITHOUT_IMAGEMAGICK()                                                          \
    if (convert.empty() || compare.empty()) {                                               \
        GTEST_SKIP() << "note: ImageMagick's convert and compare are not installed; skipped"; \
    }

// The demo's reference (the saucer), and one that takes every pixel with a
// direction, so that a difference anywhere in the photograph shows.
const std::vector<std::string> saucer = {"180", "40", "15", "0.12", "10"};
const std::vector<std::string> everything = {"40", "90", "200", "4", "-128"};

struct decode_case {
    const char* file;
    std::string options;  // how convert makes it from the example
    std::string format = "";  // a prefix to the file name that picks an encoding
};

// The kinds of photograph met in practice, each read as ImageMagick reads it.
const decode_case decode_cases[] = {
    {"orientation1.jpg", "-profile APP1:orientation1.exif -quality 90"},
    {"orientation2.jpg", "-profile APP1:orientation2.exif -quality 90"},
    {"orientation3.jpg", "-profile APP1:orientation3.exif -quality 90"},
    {"orientation4.jpg", "-profile APP1:orientation4.exif -quality 90"},
    {"orientation5.jpg", "-profile APP1:orientation5.exif -quality 90"},
    {"orientation6.jpg", "-profile APP1:orientation6.exif -quality 90"},
    {"orientation7.jpg", "-profile APP1:orientation7.exif -quality 90"},
    {"orientation8.jpg", "-profile APP1:orientation8.exif -quality 90"},
    {"rgb16.png", "-evaluate multiply 0.99 -depth 16"},
    {"grey16.png", "-colorspace Gray -depth 16"},
    {"grey-alpha.png", "-colorspace Gray -alpha set -channel A -fx i/w +channel"},
    {"rgba-transparent.png", "-alpha set -channel A -fx 'i<300?0:1' +channel"},
    {"palette-trns.png", "-alpha set -channel A -fx 'i<100?0:1' +channel -colors 64", "png8:"},
    {"adam7.png", "-interlace PNG"},
    {"grey1.png", "-colorspace Gray -depth 1"},
    {"grey2.png", "-colorspace Gray -depth 2"},
    {"grey4.png", "-colorspace Gray -depth 4"},
    {"grey.jpg", "-colorspace Gray -quality 90"},
    {"progressive.jpg", "-interlace JPEG -quality 85"},
    {"subsampled-420.jpg", "-sampling-factor 2x2 -quality 85"},
    {"cmyk.jpg", "-colorspace CMYK -quality 90"},
    {"profile.jpg", "-profile /usr/share/color/icc/compatibleWithAdobeRGB1998.icc -quality 90"},
    {"profile.png", "-profile /usr/share/color/icc/compatibleWithAdobeRGB1998.icc"},
};

TEST_F(conemask_image_run, reads_each_photograph_as_imagemagick_does)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    for (const decode_case& c : decode_cases) {
        SCOPED_TRACE(c.file);
        const fs::path where = dir / c.file;
        fs::create_directory(where);
        make_photo(where, c.format + c.file, c.options);
        const std::string base = fs::path(c.file).stem().string();
        for (const auto* numbers : {&saucer, &everything}) {
            std::string size;
            const bytes expected = reference_mask(where, c.file, *numbers, size);
            std::vector<std::string> args = {"--png", "picture.png", c.file};
            args.insert(args.end(), numbers->begin(), numbers->end());
            const run_result result = run_program(CONEMASK_IMAGE_PATH, where, root, args);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "");
            EXPECT_TRUE(read_file(where / (base + ".raw")) == expected) << "the masks differ";

            // The picture is the one the README's recipe draws from the mask.
            const std::string width = size.substr(size.find(' ') + 1);
            const std::string height = size.substr(0, size.find(' '));
            ASSERT_TRUE(shell(where, convert + " -size " + width + "x" + height + " -depth 16 -endian LSB gray:" +
                                         base + ".raw -level 0,253 -depth 8 recipe.png"));
            EXPECT_TRUE(shell(where, "[ \"$(" + compare +
                                         " -metric AE picture.png recipe.png null: 2>&1)\" = 0 ]"))
                << "the pictures differ";
            fs::remove(where / "recipe.png");
        }
        // Nothing else is left: no temporary file.
        std::set<std::string> left;
        for (const fs::directory_entry& entry : fs::directory_iterator(where)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".exif") == std::string::npos) {
                left.insert(name);
            }
        }
        EXPECT_EQ(left, (std::set<std::string>{c.file, base + ".raw", "picture.png"}));
    }
}

// A PNG's eXIf chunk: ImageMagick 6 does not turn a PNG by it, so neither does
// conemask-image.
TEST_F(conemask_image_run, leaves_a_png_as_stored_whatever_its_exif)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    make_photo(dir, "stored.png", "");
    write_file(dir / "turned.png",
               insert_chunk(read_file(dir / "stored.png"), png_chunk("eXIf", exif_orientation(6).substr(6))));
    std::string size;
    const bytes expected = reference_mask(dir, "turned.png", saucer, size);
    EXPECT_EQ(size, "400 600");
    std::vector<std::string> args = {"turned.png"};
    args.insert(args.end(), saucer.begin(), saucer.end());
    EXPECT_EQ(run_program(CONEMASK_IMAGE_PATH, dir, root, args).status, 0);
    EXPECT_TRUE(read_file(dir / "turned.raw") == expected);
}

const std::string try_help = "Try 'conemask-image --help'.\n";

struct bad_case {
    const char* name;
    std::function<void(const fs::path& dir, const fs::path& photos)> setup;
    std::vector<std::string> args;
    std::string err;
    rlim_t file_size_limit = RLIM_INFINITY;
};

std::function<void(const fs::path&, const fs::path&)> photo_as(const char* name, const char* as,
                                                               std::function<bytes(bytes)> change = nullptr)
{
    return [=](const fs::path& d, const fs::path& photos) {
        bytes data = read_file(photos / name);
        write_file(d / as, change ? change(data) : data);
        write_file(d / "earlier.raw", "an earlier mask");
        write_file(d / "earlier.png", "an earlier picture");
    };
}

bytes with_byte(bytes b, std::size_t at, char value) { return b.replace(at, 1, 1, value); }

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

// Every failure: a message naming the file, status 1, and no output; an
// earlier output of the same name stays as it was.
const bad_case bad_cases[] = {
    {"not an image", photo_as("photo.jpg", "x.jpg", [](const bytes&) { return bytes("hello\n"); }),
     with({"--output", "earlier.raw", "x.jpg"}, saucer), "conemask-image: x.jpg: not a JPEG, PNG, WebP or TIFF image\n"},
    {"unsupported format", photo_as("photo.jpg", "x.gif", [](const bytes&) { return bytes("GIF89a\x01\0\x01\0", 10); }),
     with({"x.gif"}, saucer), "conemask-image: x.gif: unsupported format: a GIF image, not a JPEG, PNG, WebP or TIFF\n"},
    {"truncated JPEG", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return b.substr(0, b.size() / 2); }),
     with({"--output", "earlier.raw", "--png", "earlier.png", "x.jpg"}, saucer),
     "conemask-image: x.jpg: JPEG: Premature end of JPEG file\n"},
    {"JPEG cut at its last marker", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return b.substr(0, b.size() - 2); }),
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: JPEG: Premature end of JPEG file\n"},
    {"truncated PNG", photo_as("photo.png", "x.png", [](const bytes& b) { return b.substr(0, b.size() / 2); }),
     with({"--output", "earlier.raw", "x.png"}, saucer), "conemask-image: x.png: PNG: the file ends early\n"},
    {"truncated interlaced PNG", photo_as("adam7.png", "x.png", [](const bytes& b) { return b.substr(0, b.size() - 100); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: the file ends early\n"},
    {"corrupt IHDR", photo_as("photo.png", "x.png", [](const bytes& b) { return with_byte(b, png_signature + 8, 1); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: IHDR: CRC error\n"},
    {"corrupt image data", photo_as("photo.png", "x.png", [](const bytes& b) { return with_byte(b, 1000, char(~b.at(1000))); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: bad adaptive filter value\n"},
    {"corrupt JPEG data", photo_as("photo.jpg", "x.jpg", [](bytes b) { b.replace(b.size() / 2, 4, "\xFF\xD9\xFF\xD9"); return b; }),
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: JPEG: Corrupt JPEG data: premature end of data segment\n"},
    {"PNG taller than its data", photo_as("photo.png", "x.png", [](const bytes& b) { return restate_size(b, 600, 30000); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: Not enough image data\n"},
    {"PNG data beyond its stated size", photo_as("photo.png", "x.png", [](const bytes& b) { return restate_size(b, 600, 200); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: IDAT: Too much image data\n"},
    {"JPEG data beyond its stated size", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return jpeg_restate_height(b, 200); }),
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: JPEG: Corrupt JPEG data: 51503 extraneous bytes before marker 0xd9\n"},
    {"PNG too large to hold", photo_as("adam7.png", "x.png", [](const bytes& b) { return restate_size(b, 100000, 100000); }),
     with({"x.png"}, saucer),
     "conemask-image: x.png: the image is too large: 100000 x 100000 pixels, more than 1073741824\n"},
    {"directory", [](const fs::path& d, const fs::path&) { fs::create_directory(d / "x.jpg"); },
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: is a directory\n"},
    {"missing file", [](const fs::path&, const fs::path&) {}, with({"x.jpg"}, saucer),
     "conemask-image: x.jpg: No such file or directory\n"},
    {"output in a missing directory", photo_as("photo.jpg", "x.jpg"), with({"--output", "no/x.raw", "x.jpg"}, saucer),
     "conemask-image: no/x.raw: No such file or directory\n"},
    {"output would replace the image", photo_as("photo.jpg", "x.jpg"), with({"--png", "./x.jpg", "x.jpg"}, saucer),
     "conemask-image: ./x.jpg: the output would replace the image\n"},
    {"mask and picture one file", photo_as("photo.jpg", "x.jpg"), with({"--png", "x.raw", "x.jpg"}, saucer),
     "conemask-image: x.raw: the mask and its picture cannot be one file\n"},
    {"mask cannot be written whole", photo_as("photo.jpg", "x.jpg"), with({"--output", "earlier.raw", "x.jpg"}, saucer),
     "conemask-image: earlier.raw: File too large\n", 100000},
    {"picture cannot be written after the mask", photo_as("photo.jpg", "x.jpg"),
     with({"--output", "earlier.raw", "--png", "no/x.png", "x.jpg"}, saucer),
     "conemask-image: no/x.png: No such file or directory\n"},
};

TEST_F(conemask_image_run, refuses_bad_input_and_leaves_no_output)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    const fs::path photos = root / "photos";
    fs::create_directory(photos);
    make_photo(photos, "photo.jpg", "-quality 90");
    make_photo(photos, "photo.png", "");
    make_photo(photos, "adam7.png", "-interlace PNG");
    for (const bad_case& c : bad_cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directory(dir);
        c.setup(dir, photos);
        const auto before = take_snapshot(dir);
        const run_result result = run_program(CONEMASK_IMAGE_PATH, dir, root, c.args, c.file_size_limit);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(take_snapshot(dir), before);
    }
}

struct usage_case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

TEST_F(conemask_image_run, follows_the_command_line_conventions)
{
    // `out`: how standard output begins.
    const usage_case cases[] = {
        {{"--version"}, 0, "conemask-image " CONEMASK_VERSION "\n", ""},
        {{"x.jpg", "1", "--help"}, 0, "usage: conemask-image [--output MASK.raw] [--png MASK.png] IMAGE RED GREEN BLUE THETA THRESH\n", ""},
        {{}, 2, "", "conemask-image: expected IMAGE... RED GREEN BLUE THETA THRESH, got 0 operands\n" + try_help},
        {{"1", "2", "3", "0.1", "4"}, 2, "",
         "conemask-image: expected IMAGE... RED GREEN BLUE THETA THRESH, got 5 operands\n" + try_help},
        {{"x.jpg", "y.jpg", "1", "2", "3", "0.1", "4", "--output", "m.raw"}, 2, "",
         "conemask-image: --output and --png name one photograph's files; for 2 use --output-dir and --pictures\n" +
             try_help},
        {{"--png", "a.png", "x.jpg", "1", "2", "3", "0.1", "4", "--png", "b.png"}, 2, "",
         "conemask-image: option '--png' given twice\n" + try_help},
        {{"--jobs", "0", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
         "conemask-image: --jobs takes a whole number from 1 to 1024, not '0'\n" + try_help},
        {{"--no-mask", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
         "conemask-image: --no-mask needs --summary and writes no mask or picture\n" + try_help},
        {{"--pictures=yes", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
         "conemask-image: option '--pictures' takes no value\n" + try_help},
        {{"--frobnicate", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "", "conemask-image: unknown option '--frobnicate'\n" + try_help},
        {{"x.jpg", "1", "2", "3", "0.1", "4", "--png"}, 2, "", "conemask-image: option '--png' needs a file name\n" + try_help},
        {{"--output=", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
         "conemask-image: option '--output' needs a file name\n" + try_help},
        {{"x.jpg", std::string(100, '1'), "2", "3", "0.1", "4"}, 2, "", "conemask-image: numeric operand too long\n" + try_help},
    };
    for (const usage_case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no operands" : c.args[0]);
        const run_result result = run_program(CONEMASK_IMAGE_PATH, dir, root, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(result.out.empty(), c.out.empty());
        EXPECT_EQ(result.err, c.err);
        EXPECT_TRUE(fs::is_empty(dir));
    }
}

// Options anywhere, "--" before an operand that starts with a dash, names
// given with '=', and the default name: IMAGE's extension replaced.
TEST_F(conemask_image_run, takes_options_anywhere_and_names_the_mask_after_the_image)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    make_photo(dir, "photo.jpg", "-quality 90");
    std::string size;
    const bytes expected = reference_mask(dir, "photo.jpg", {"-180", "40", "15", "3.2", "-100"}, size);
    const bytes unchanged = read_file(dir / "photo.jpg");
    struct naming_case {
        std::vector<std::string> args;
        const char* mask;
    };
    fs::create_directory(dir / "d.e");
    fs::copy_file(dir / "photo.jpg", dir / "d.e" / "photo");
    fs::copy_file(dir / "photo.jpg", dir / "-photo.jpg");
    const naming_case cases[] = {
        {{"photo.jpg", "-180", "40", "15", "3.2", "-100"}, "photo.raw"},
        {{"photo.jpg", "-180", "40", "15", "3.2", "-100", "--output", "m.raw"}, "m.raw"},
        {{"photo.jpg", "-180", "--output=n.raw", "40", "15", "3.2", "-100"}, "n.raw"},
        {{"d.e/photo", "-180", "40", "15", "3.2", "-100"}, "d.e/photo.raw"},
        {{"--", "-photo.jpg", "-180", "40", "15", "3.2", "-100"}, "-photo.raw"},
    };
    for (const naming_case& c : cases) {
        SCOPED_TRACE(c.mask);
        const run_result result = run_program(CONEMASK_IMAGE_PATH, dir, root, c.args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(read_file(dir / c.mask) == expected);
    }
    EXPECT_TRUE(read_file(dir / "photo.jpg") == unchanged);
}

}  // namespace
