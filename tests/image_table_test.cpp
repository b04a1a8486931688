// SPDX-License-Identifier: MIT
// The shared table of photographs (tests/images/table.tsv) through the image
// layer: each `equal` row must give ImageMagick's raster byte for byte, each
// `refused` row a decode_error whose message holds the row's fragment. The
// files are made before the run by tests/images/make_fixtures.py into the
// directory CONEMASK_FIXTURES names (the image_table fixture does it).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "image_decode.hpp"

namespace {

struct table_row {
    std::string name;
    std::string expected;  // "equal", or "refused:<fragment>"
};

std::vector<table_row> table_rows()
{
    std::vector<table_row> rows;
    std::ifstream table(CONEMASK_IMAGE_TABLE);
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        table_row row;
        std::getline(fields, row.name, '\t');
        std::getline(fields, row.expected, '\t');
        rows.push_back(row);
    }
    return rows;
}

std::string fixtures()
{
    const char* dir = std::getenv("CONEMASK_FIXTURES");
    return dir != nullptr ? dir : "";
}

// The manifest's shape of each file ImageMagick reads: cols and rows.
const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>>& shapes()
{
    static const auto loaded = [] {
        std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> m;
        std::ifstream manifest(fixtures() + "/manifest.tsv");
        for (std::string line; std::getline(manifest, line);) {
            std::istringstream fields(line);
            std::string name, expected, fragment, cols, rows;
            std::getline(fields, name, '\t');
            std::getline(fields, expected, '\t');
            std::getline(fields, fragment, '\t');
            std::getline(fields, cols, '\t');
            std::getline(fields, rows, '\t');
            m[name] = {static_cast<std::uint32_t>(std::stoul(cols)), static_cast<std::uint32_t>(std::stoul(rows))};
        }
        return m;
    }();
    return loaded;
}

class image_table : public testing::TestWithParam<table_row> {};

TEST_P(image_table, reads_as_imagemagick_does)
{
    const table_row& row = GetParam();
    if (fixtures().empty() || shapes().empty()) {
        GTEST_SKIP() << "note: the table's files were not made (ImageMagick missing?); skipped";
    }
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
    std::ifstream raster(path + ".rgb", std::ios::binary);
    const std::vector<std::uint8_t> expected{std::istreambuf_iterator<char>(raster), {}};
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

std::string row_name(const testing::TestParamInfo<table_row>& info)
{
    std::string name = info.param.name;
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(shared, image_table, testing::ValuesIn(table_rows()), row_name);

}  // namespace
