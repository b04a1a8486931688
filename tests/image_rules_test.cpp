// SPDX-License-Identifier: MIT
// The shared reading rules as the page's WebAssembly module uses them, on
// the shared table: a PNG walked by inspect_png, its image data inflated
// (here by zlib, in the page by the browser) and turned into RGB by
// png_to_rgb must give ImageMagick's raster, or be refused as the row says;
// a JPEG's orientation found by orientation_in_jpeg must be the one the
// native decoder turns by; a JPEG refused by check_jpeg_damage must be one
// the native decoder refuses, for the same reason, and every damage libjpeg
// reports must be refused by it.

#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "exif.hpp"
#include "image_decode.hpp"
#include "image_table.hpp"
#include "jpeg_damage.hpp"
#include "png_rules.hpp"

namespace {

using namespace image_table;

// The zlib stream of every IDAT, inflated: all of it, so that data beyond
// the stated size shows. Throws decode_error when it does not inflate.
std::vector<std::uint8_t> inflate_image_data(const std::vector<std::uint8_t>& file, const conemask::png_layout& layout)
{
    std::vector<std::uint8_t> stream;
    for (const conemask::png_extent& part : layout.image_data) {
        stream.insert(stream.end(), file.begin() + static_cast<std::ptrdiff_t>(part.offset),
                      file.begin() + static_cast<std::ptrdiff_t>(part.offset + part.size));
    }
    std::vector<std::uint8_t> out(layout.inflated_size + 1);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        throw conemask::decode_error("zlib cannot start");
    }
    z.next_in = stream.data();
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    const std::size_t produced = out.size() - z.avail_out;
    (void)inflateEnd(&z);
    if (status != Z_STREAM_END && status != Z_BUF_ERROR) {
        throw conemask::decode_error("PNG: the image data does not inflate");
    }
    out.resize(produced);
    return out;
}

std::vector<table_row> rows_of(const char* prefix)
{
    std::vector<table_row> rows;
    for (const table_row& row : table_rows()) {
        if (row.name.starts_with(prefix)) {
            rows.push_back(row);
        }
    }
    return rows;
}

class png_in_the_page : public testing::TestWithParam<table_row> {};

TEST_P(png_in_the_page, reads_as_imagemagick_does)
{
    const table_row& row = GetParam();
    SKIP_WITHOUT_TABLE();
    const std::string path = fixtures() + "/" + row.name;
    const std::vector<std::uint8_t> file = file_bytes(path);
    const std::string refused = "refused:";
    std::vector<std::uint8_t> rgb;
    try {
        const conemask::png_layout layout = conemask::inspect_png(file);
        const std::vector<std::uint8_t> inflated = inflate_image_data(file, layout);
        rgb.resize(std::size_t{3} * layout.width * layout.height);
        conemask::png_to_rgb(layout, inflated, rgb.data());
    } catch (const conemask::decode_error& e) {
        ASSERT_TRUE(row.expected.starts_with(refused)) << e.what();
        EXPECT_NE(std::string(e.what()).find(row.expected.substr(refused.size())), std::string::npos) << e.what();
        return;
    }
    ASSERT_FALSE(row.expected.starts_with(refused)) << "read, though it must be " << row.expected;
    EXPECT_EQ(rgb, file_bytes(path + ".rgb"));
}

INSTANTIATE_TEST_SUITE_P(photographs, png_in_the_page, testing::ValuesIn(rows_of("png-")), row_name);

class jpeg_orientation : public testing::TestWithParam<table_row> {};

TEST_P(jpeg_orientation, is_the_one_the_decoder_turns_by)
{
    const table_row& row = GetParam();
    if (fixtures().empty() || shapes().empty() || !row.expected.starts_with("equal")) {
        GTEST_SKIP() << "note: no file, or one that is refused";
    }
    const std::string path = fixtures() + "/" + row.name;
    const std::vector<std::uint8_t> file = file_bytes(path);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(conemask::open_photograph(path), std::fclose);
    const std::unique_ptr<conemask::image_decoder> decoder = conemask::open_image(opened.get());
    const auto tag = conemask::orientation_in_jpeg(file);
    EXPECT_EQ(tag ? tag->turn() : conemask::orientation::top_left, decoder->turn());
    if (tag) {
        // Where the page sets the tag upright for the browser.
        const std::size_t bytes = tag->is_long ? 4 : 2;
        std::uint32_t stored = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            const std::size_t at = tag->little_endian ? tag->offset + bytes - 1 - i : tag->offset + i;
            stored = stored << 8U | file[at];
        }
        EXPECT_EQ(stored, tag->value);
    }
}

INSTANTIATE_TEST_SUITE_P(photographs, jpeg_orientation, testing::ValuesIn(rows_of("jpeg-")), row_name);

// Why the native decoder refuses the file at `path`, read whole; "" when it reads it.
std::string decoder_refusal(const std::string& path)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(conemask::open_photograph(path), std::fclose);
    try {
        const std::unique_ptr<conemask::image_decoder> decoder = conemask::open_image(opened.get());
        std::vector<std::uint8_t> row(std::size_t{3} * decoder->width());
        while (decoder->read_rows(row.data(), 1) == 1) {
        }
        decoder->finish();
    } catch (const conemask::decode_error& e) {
        return e.what();
    }
    return "";
}

// The page refuses a damaged JPEG by the damage rule (a browser decodes
// damaged data without a word): never one the program reads, and every one
// whose damage libjpeg reports, with the program's reason, which the
// summary's status carries.
class jpeg_damage : public testing::TestWithParam<table_row> {};

bool reports_damage(const std::string& refusal)
{
    return refusal.starts_with("JPEG: Corrupt JPEG data") || refusal.starts_with("JPEG: Premature end");
}

TEST_P(jpeg_damage, refuse_as_the_program_does)
{
    const table_row& row = GetParam();
    SKIP_WITHOUT_TABLE();
    const std::string path = fixtures() + "/" + row.name;
    std::string rule_refusal;
    try {
        conemask::check_jpeg_damage(file_bytes(path));
    } catch (const conemask::decode_error& e) {
        rule_refusal = e.what();
    }
    if (row.expected.starts_with("equal")) {
        EXPECT_EQ(rule_refusal, "");
    } else if (const std::string program = decoder_refusal(path); !rule_refusal.empty() || reports_damage(program)) {
        EXPECT_EQ(rule_refusal, program);
    }
}

INSTANTIATE_TEST_SUITE_P(photographs, jpeg_damage, testing::ValuesIn(rows_of("jpeg-")), row_name);

}  // namespace
