// SPDX-License-Identifier: MIT
// Every 16-bit sample, both ways: the decoder reduces each to 8 bits as
// ImageMagick does, and the picture levels each as the README's recipe does.
// ImageMagick itself is the reference; without it the tests are skipped.
#include "image_decode.hpp"
#include "png_writer.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string convert = CONEMASK_CONVERT;
const std::string compare = CONEMASK_COMPARE;
constexpr std::size_t side = 256;  // 256 x 256: every 16-bit value once

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class every_sample : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (convert.empty() || compare.empty()) {
            GTEST_SKIP() << "note: ImageMagick's convert and compare are not installed; skipped";
        }
        std::string pattern = (fs::temp_directory_path() / "image-decode-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    bool shell(const std::string& command) const
    {
        return std::system(("cd '" + dir.string() + "' && " + command).c_str()) == 0;
    }

    // The raster of the photograph `name`, of side x side pixels, as its
    // decoder gives it; empty where the file cannot be opened.
    std::string decode_whole(const std::string& name) const
    {
        std::FILE* file = std::fopen((dir / name).c_str(), "rb");
        if (file == nullptr) {
            ADD_FAILURE() << name << " cannot be opened";
            return "";
        }
        std::string decoded(side * side * 3, '\0');
        {
            const std::unique_ptr<conemask::image_decoder> decoder = conemask::open_image(file);
            EXPECT_EQ(decoder->read_rows(reinterpret_cast<std::uint8_t*>(decoded.data()), side), side);
            decoder->finish();
        }
        (void)std::fclose(file);
        return decoded;
    }

    // Little-endian 16-bit samples, `channels` a pixel, in `name`.
    void write_samples(const std::string& name, const std::vector<std::uint16_t>& values) const
    {
        std::ofstream out(dir / name, std::ios::binary);
        for (const std::uint16_t v : values) {
            out.put(static_cast<char>(v & 0xFFU)).put(static_cast<char>(v >> 8U));
        }
    }

    fs::path dir;
};

// Grey and RGB PNGs of 16 bits, each channel taking every value.
TEST_F(every_sample, reduces_to_8_bits_as_imagemagick_does)
{
    std::vector<std::uint16_t> grey(side * side);
    std::vector<std::uint16_t> rgb;
    for (std::size_t v = 0; v < grey.size(); ++v) {
        grey[v] = static_cast<std::uint16_t>(v);
        rgb.insert(rgb.end(), {static_cast<std::uint16_t>(v), static_cast<std::uint16_t>(65535 - v),
                               static_cast<std::uint16_t>(v * 40503U)});
    }
    write_samples("grey.raw", grey);
    write_samples("rgb.raw", rgb);
    const std::string size = " -size 256x256 -depth 16 -endian LSB ";
    for (const std::string kind : {"gray", "rgb"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(shell(convert + size + kind + ":" + (kind == "gray" ? "grey" : "rgb") + ".raw -define "
                          "png:bit-depth=16 photo.png"));
        ASSERT_TRUE(shell(convert + " photo.png -alpha off -colorspace sRGB -depth 8 rgb:expected.rgb"));
        EXPECT_TRUE(decode_whole("photo.png") == read_file(dir / "expected.rgb"));
    }
}

// CMYK noise: the inks and black in many combinations, each turned into RGB
// by ImageMagick's formula (the JPEG's loss is the same for both readers).
TEST_F(every_sample, cmyk_becomes_rgb_as_imagemagick_turns_it)
{
    ASSERT_TRUE(shell(convert + " -size 256x256 xc: -seed 1 +noise Random -colorspace CMYK -quality 100 cmyk.jpg"));
    ASSERT_TRUE(shell(convert + " cmyk.jpg -alpha off -colorspace sRGB -depth 8 rgb:expected.rgb"));
    EXPECT_TRUE(decode_whole("cmyk.jpg") == read_file(dir / "expected.rgb"));
}

// Every sample, negative ones too, in a picture beside the recipe's.
TEST_F(every_sample, are_levelled_as_the_readme_recipe_draws_them)
{
    std::vector<std::uint16_t> values(side * side);
    std::vector<std::int16_t> samples(values.size());
    for (std::size_t v = 0; v < values.size(); ++v) {
        values[v] = static_cast<std::uint16_t>(v);
        samples[v] = static_cast<std::int16_t>(values[v]);
    }
    write_samples("mask.raw", values);
    std::FILE* file = std::fopen((dir / "picture.png").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    {
        conemask::png_writer picture(file, side, side);
        for (std::size_t y = 0; y < side; ++y) {
            picture.write_row(samples.data() + y * side);
        }
        picture.finish();
    }
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_TRUE(shell(convert + " -size 256x256 -depth 16 -endian LSB gray:mask.raw -level 0,253 -depth 8 recipe.png"));
    EXPECT_TRUE(shell("[ \"$(" + compare + " -metric AE picture.png recipe.png null: 2>&1)\" = 0 ]"));
}

}  // namespace
