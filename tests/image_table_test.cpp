// SPDX-License-Identifier: MIT
// The shared table of photographs (tests/images/table.tsv) through the image
// layer: each `equal` row must give ImageMagick's raster byte for byte, each
// `refused` row a decode_error whose message holds the row's fragment. The
// files are made before the run by tests/images/make_fixtures.py into the
// directory CONEMASK_FIXTURES names (the image_table fixture does it).

#include <gtest/gtest.h>

#include "image_decode.hpp"
#include "image_table.hpp"

namespace {

using namespace image_table;

class shared_table : public testing::TestWithParam<table_row> {};

TEST_P(shared_table, reads_as_imagemagick_does)
{
    const table_row& row = GetParam();
    SKIP_WITHOUT_TABLE();
    const std::string path = fixtures() + "/" + row.name;
    const std::string refused = "refused:";
    if (row.expected.starts_with(refused)) {
        const std::string fragment = row.expected.substr(refused.size());
        try {
            (void)conemask::read_photograph(path);
            FAIL() << "read, though it must be refused with \"" << fragment << "\"";
        } catch (const conemask::decode_error& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
        return;
    }
    const conemask::shown_raster shown = conemask::read_photograph(path);
    const std::vector<std::uint8_t> expected = file_bytes(path + ".rgb");
    const auto [cols, rows] = shapes().at(row.name);
    ASSERT_EQ(shown.cols, cols);
    ASSERT_EQ(shown.rows, rows);
    ASSERT_EQ(shown.rgb.size(), expected.size());
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = shown.rgb.size(); i-- > 0;) {
        if (shown.rgb[i] != expected[i]) {
            ++differing;
            first = i;
        }
    }
    EXPECT_EQ(differing, 0U) << "first at sample " << first << ": " << int{shown.rgb[first]} << " for ImageMagick's "
                             << int{expected[first]};
}

INSTANTIATE_TEST_SUITE_P(photographs, shared_table, testing::ValuesIn(table_rows()), row_name);

}  // namespace
