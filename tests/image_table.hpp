// SPDX-License-Identifier: MIT
// The shared table of photographs (tests/images/table.tsv) for the C++
// tests: its rows, and the files make_fixtures.py made for them in the
// directory CONEMASK_FIXTURES names.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace image_table {

// A row of the table is skipped where its files were not made.
#define SKIP_WITHOUT_TABLE()                                                                        \
    if (image_table::fixtures().empty() || image_table::shapes().empty()) {                         \
        GTEST_SKIP() << "note: the table's files were not made (ImageMagick missing?); skipped"; \
    }

struct table_row {
    std::string name;
    std::string expected;  // "equal", or "refused:<fragment>"
};

inline std::vector<table_row> table_rows()
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

inline std::string fixtures()
{
    const char* dir = std::getenv("CONEMASK_FIXTURES");
    return dir != nullptr ? dir : "";
}

// The manifest's shape of each file ImageMagick reads: cols and rows.
inline const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>>& shapes()
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

// The bytes of a file.
inline std::vector<std::uint8_t> file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A row's name as a test's name.
inline std::string row_name(const testing::TestParamInfo<table_row>& info)
{
    std::string name = info.param.name;
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return name;
}

}  // namespace image_table
