// SPDX-License-Identifier: MIT
// End-to-end tests of conemask-image: each row runs the built program in a
// fresh temporary directory and checks its exit status, both output streams
// and every file left behind. The photographs are made from the example by
// ImageMagick, which also gives each one's expected mask: its own reading of
// the photograph (`convert ... rgb:`) followed by conemask. Without
// ImageMagick those rows are skipped with a note.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "image_run_fixture.hpp"
#include "photo_edits.hpp"
#include "run_program.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using namespace end_to_end;
using namespace image_run;
using namespace photo_edits;

const std::string example = "-size 600x400 -depth 8 rgb:" CONEMASK_EXAMPLES "/coffee.rgb";

// A photograph made from the example by `convert EXAMPLE options file`, in
// `where`, beside the eight orientations' EXIF that options may name.
bool make_photo(const fs::path& where, const std::string& file, const std::string& options)
{
    for (int value = 1; value <= 8; ++value) {
        write_file(where / ("orientation" + std::to_string(value) + ".exif"), exif_orientation(value));
    }
    return shell(where, convert + " " + example + " " + options + " " + file);
}

// ImageMagick's raster of `photo` as conemask's input, then conemask's mask
// of it, in `where`: returns the mask, and sets `size` to "rows cols".
bytes reference_mask(const fs::path& where, const std::string& photo, const std::vector<std::string>& numbers,
                     std::string& size)
{
    EXPECT_TRUE(shell(where, convert + " " + photo +
                                 " -auto-orient -alpha off -colorspace sRGB -depth 8 -print '%h %w' "
                                 "rgb:reference.rgb >size.txt"));
    size = read_file(where / "size.txt");
    const std::size_t blank = size.find(' ');
    std::vector<std::string> operands = numbers;
    operands.insert(operands.end(), {"reference", size.substr(0, blank), size.substr(blank + 1)});
    // Its output streams are kept beside `where`, not in it.
    EXPECT_EQ(run_program(CONEMASK_PATH, where, where.parent_path(), operands).status, 0);
    const bytes mask = read_file(where / "reference.raw");
    for (const char* name : {"reference.rgb", "reference.raw", "size.txt"}) {
        fs::remove(where / name);
    }
    return mask;
}

// A table of rows, each run in a work directory of its own.
template <typename row>
class conemask_image_rows : public ::testing::TestWithParam<row> {
protected:
    void SetUp() override { ASSERT_FALSE(work.root.empty()); }

    work_dir work;
};

template <typename row>
std::string row_name(const ::testing::TestParamInfo<row>& info)
{
    return test_name(info.param.name);
}

#define SKIP_WITHOUT_IMAGEMAGICK()                                                          \
    if (convert.empty() || compare.empty()) {                                               \
        GTEST_SKIP() << "note: ImageMagick's convert and compare are not installed; skipped"; \
    }

// A reference that takes every pixel with a direction, so that a difference
// anywhere in the photograph shows.
const std::vector<std::string> everything = {"40", "90", "200", "4", "-128"};

struct decode_case {
    const char* name;  // the photograph's file
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

using photograph_reading = conemask_image_rows<decode_case>;

TEST_P(photograph_reading, is_imagemagicks)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    const decode_case& c = GetParam();
    const fs::path& where = work.dir;
    ASSERT_TRUE(make_photo(where, c.format + c.name, c.options));
    const std::string base = fs::path(c.name).stem().string();
    for (const auto* numbers : {&saucer, &everything}) {
        std::string size;
        const bytes expected = reference_mask(where, c.name, *numbers, size);
        const run_result result = run_program(CONEMASK_IMAGE_PATH, where, work.root, with({"--png", "picture.png", c.name}, *numbers));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(read_file(where / (base + ".raw")) == expected) << "the masks differ";

        // The picture is the one the README's recipe draws from the mask.
        const std::string width = size.substr(size.find(' ') + 1);
        const std::string height = size.substr(0, size.find(' '));
        ASSERT_TRUE(shell(where, convert + " -size " + width + "x" + height + " -depth 16 -endian LSB gray:" + base +
                                     ".raw -level 0,253 -depth 8 recipe.png"));
        EXPECT_TRUE(shell(where, "[ \"$(" + compare + " -metric AE picture.png recipe.png null: 2>&1)\" = 0 ]"))
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
    EXPECT_EQ(left, (std::set<std::string>{c.name, base + ".raw", "picture.png"}));
}

INSTANTIATE_TEST_SUITE_P(kinds, photograph_reading, ::testing::ValuesIn(decode_cases), row_name<decode_case>);

// A PNG's eXIf chunk: ImageMagick 6 does not turn a PNG by it, so neither does
// conemask-image.
TEST(conemask_image_run, leaves_a_png_as_stored_whatever_its_exif)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    const work_dir work;
    ASSERT_TRUE(make_photo(work.dir, "stored.png", ""));
    write_file(work.dir / "turned.png",
               insert_chunk(read_file(work.dir / "stored.png"), png_chunk("eXIf", exif_orientation(6).substr(6))));
    std::string size;
    const bytes expected = reference_mask(work.dir, "turned.png", saucer, size);
    EXPECT_EQ(size, "400 600");
    EXPECT_EQ(run_program(CONEMASK_IMAGE_PATH, work.dir, work.root, with({"turned.png"})).status, 0);
    EXPECT_TRUE(read_file(work.dir / "turned.raw") == expected);
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

inline bytes with_byte(bytes b, std::size_t at, char value) { return b.replace(at, 1, 1, value); }

// Every failure: a message naming the file, status 1, and no output; an
// earlier output of the same name stays as it was. None holds more memory
// than a few tens of MiB, whatever size the file states.
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
    // Early in the data, where libjpeg-turbo reads fastest and, fed from a FILE, passes over it without a word.
    {"JPEG code no Huffman table holds", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return jpeg_with_bad_code(b, 400); }),
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: JPEG: Corrupt JPEG data: bad Huffman code\n"},
    {"PNG taller than its data", photo_as("photo.png", "x.png", [](const bytes& b) { return restate_size(b, 600, 30000); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: Not enough image data\n"},
    {"PNG data beyond its stated size", photo_as("photo.png", "x.png", [](const bytes& b) { return restate_size(b, 600, 200); }),
     with({"x.png"}, saucer), "conemask-image: x.png: PNG: IDAT: Too much image data\n"},
    {"JPEG data beyond its stated size", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return jpeg_restate_height(b, 200); }),
     with({"x.jpg"}, saucer), "conemask-image: x.jpg: JPEG: Corrupt JPEG data: 51509 extraneous bytes before marker 0xd9\n"},
    {"JPEG stating 30000 x 30000, turned a quarter", photo_as("photo.jpg", "x.jpg", [](const bytes& b) { return jpeg_turned_stating(b, 30000); }),
     with({"--output", "earlier.raw", "--png", "earlier.png", "x.jpg"}, saucer),
     "conemask-image: x.jpg: JPEG: Corrupt JPEG data: premature end of data segment\n"},
    {"TIFF tile wider than its image", [](const fs::path& d, const fs::path&) { write_file(d / "x.tif", tiff_of_a_wide_tile()); },
     with({"x.tif"}, saucer),
     "conemask-image: x.tif: a TIFF tile needs 768 MiB at once, more than the limit for a file of its size (1024 bytes a "
     "byte of file, or 64 MiB): its data cannot fill it\n"},
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

using refusal = conemask_image_rows<bad_case>;

TEST_P(refusal, names_the_file_and_leaves_no_output)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    const bad_case& c = GetParam();
    const fs::path photos = work.root / "photos";
    fs::create_directory(photos);
    ASSERT_TRUE(make_photo(photos, "photo.jpg", "-quality 90"));
    ASSERT_TRUE(make_photo(photos, "photo.png", ""));
    ASSERT_TRUE(make_photo(photos, "adam7.png", "-interlace PNG"));
    c.setup(work.dir, photos);
    const auto before = take_snapshot(work.dir);
    const run_result result = run_program(CONEMASK_IMAGE_PATH, work.dir, work.root, c.args, c.file_size_limit);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(take_snapshot(work.dir), before);
    // Above what a sanitized or emulated run holds, far below a buffer sized from a header.
    EXPECT_LT(result.peak_kib, 256L << 10U);
}

INSTANTIATE_TEST_SUITE_P(cases, refusal, ::testing::ValuesIn(bad_cases), row_name<bad_case>);

struct usage_case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;  // how standard output begins
    std::string err;
};

const usage_case usage_cases[] = {
    {"version", {"--version"}, 0, "conemask-image " CONEMASK_VERSION "\n", ""},
    {"help_after_operands", {"x.jpg", "1", "--help"}, 0, "usage: conemask-image [--output MASK.raw] [--png MASK.png] IMAGE RED GREEN BLUE THETA THRESH\n", ""},
    {"no_operands", {}, 2, "", "conemask-image: expected IMAGE... RED GREEN BLUE THETA THRESH, got 0 operands\n" + try_help},
    {"five_operands", {"1", "2", "3", "0.1", "4"}, 2, "",
     "conemask-image: expected IMAGE... RED GREEN BLUE THETA THRESH, got 5 operands\n" + try_help},
    {"output_for_two_photographs", {"x.jpg", "y.jpg", "1", "2", "3", "0.1", "4", "--output", "m.raw"}, 2, "",
     "conemask-image: --output and --png name one photograph's files; for 2 use --output-dir and --pictures\n" +
         try_help},
    {"png_twice", {"--png", "a.png", "x.jpg", "1", "2", "3", "0.1", "4", "--png", "b.png"}, 2, "",
     "conemask-image: option '--png' given twice\n" + try_help},
    {"zero_jobs", {"--jobs", "0", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
     "conemask-image: --jobs takes a whole number from 1 to 1024, not '0'\n" + try_help},
    {"no_mask_without_summary", {"--no-mask", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
     "conemask-image: --no-mask needs --summary and writes no mask or picture\n" + try_help},
    {"value_for_a_flag", {"--pictures=yes", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
     "conemask-image: option '--pictures' takes no value\n" + try_help},
    {"unknown_option", {"--frobnicate", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "", "conemask-image: unknown option '--frobnicate'\n" + try_help},
    {"png_without_a_name", {"x.jpg", "1", "2", "3", "0.1", "4", "--png"}, 2, "", "conemask-image: option '--png' needs a file name\n" + try_help},
    {"empty_output_name", {"--output=", "x.jpg", "1", "2", "3", "0.1", "4"}, 2, "",
     "conemask-image: option '--output' needs a file name\n" + try_help},
    {"operand_too_long", {"x.jpg", std::string(100, '1'), "2", "3", "0.1", "4"}, 2, "", "conemask-image: numeric operand too long\n" + try_help},
};

using usage = conemask_image_rows<usage_case>;

TEST_P(usage, follows_the_command_line_conventions)
{
    const usage_case& c = GetParam();
    const run_result result = run_program(CONEMASK_IMAGE_PATH, work.dir, work.root, c.args);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(result.out.empty(), c.out.empty());
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(fs::is_empty(work.dir));
}

INSTANTIATE_TEST_SUITE_P(cases, usage, ::testing::ValuesIn(usage_cases), row_name<usage_case>);

// Options anywhere, "--" before an operand that starts with a dash, names
// given with '=', and the default name: IMAGE's extension replaced.
struct naming_case {
    const char* name;
    std::vector<std::string> args;
    const char* mask;
};

const naming_case naming_cases[] = {
    {"extension_replaced", {"photo.jpg", "-180", "40", "15", "3.2", "-100"}, "photo.raw"},
    {"output_after_the_operands", {"photo.jpg", "-180", "40", "15", "3.2", "-100", "--output", "m.raw"}, "m.raw"},
    {"output_with_equals_among_them", {"photo.jpg", "-180", "--output=n.raw", "40", "15", "3.2", "-100"}, "n.raw"},
    {"no_extension_in_a_dotted_folder", {"d.e/photo", "-180", "40", "15", "3.2", "-100"}, "d.e/photo.raw"},
    {"a_dash_after_the_double_dash", {"--", "-photo.jpg", "-180", "40", "15", "3.2", "-100"}, "-photo.raw"},
};

using naming = conemask_image_rows<naming_case>;

TEST_P(naming, takes_options_anywhere_and_names_the_mask_after_the_image)
{
    SKIP_WITHOUT_IMAGEMAGICK();
    const naming_case& c = GetParam();
    const fs::path& dir = work.dir;
    ASSERT_TRUE(make_photo(dir, "photo.jpg", "-quality 90"));
    std::string size;
    const bytes expected = reference_mask(dir, "photo.jpg", {"-180", "40", "15", "3.2", "-100"}, size);
    const bytes unchanged = read_file(dir / "photo.jpg");
    fs::create_directory(dir / "d.e");
    fs::copy_file(dir / "photo.jpg", dir / "d.e" / "photo");
    fs::copy_file(dir / "photo.jpg", dir / "-photo.jpg");
    const run_result result = run_program(CONEMASK_IMAGE_PATH, dir, work.root, c.args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(read_file(dir / c.mask) == expected);
    EXPECT_TRUE(read_file(dir / "photo.jpg") == unchanged);
}

INSTANTIATE_TEST_SUITE_P(cases, naming, ::testing::ValuesIn(naming_cases), row_name<naming_case>);

}  // namespace
