// SPDX-License-Identifier: MIT
// conemask-image's command line: its options and operands, read into the
// settings of one run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "summary.hpp"

namespace conemask {

inline constexpr int success_status = 0;
inline constexpr int failure_status = 1;
inline constexpr int usage_status = 2;

struct image_settings {
    std::vector<std::string> photographs;
    mask_operands operands;
    std::string mask;        // --output: one photograph's mask
    std::string picture;     // --png: one photograph's picture
    std::string output_dir;  // empty: each mask beside its photograph
    bool pictures = false;   // --pictures: every mask's picture
    std::string summary;     // empty: none; "-": standard output
    bool masks = true;       // false: the summary alone
    std::size_t jobs = 0;    // photographs at once
    bool decode_ahead = false;  // fewer jobs than processors: one free to decode beside each
};

// Reads the command line; prints --help and --version and ends, and ends with
// status 2 on a usage error.
image_settings read_command_line(int argc, char** argv);

// Where the mask of `photograph` goes: beside it, or in `output_dir`, under
// its name with .raw for its extension.
std::string mask_name(const std::string& photograph, const std::string& output_dir);

// A mask's picture under --pictures: the mask's name, .raw become .mask.png
// (never the name of a PNG photograph beside it).
std::string picture_name(const std::string& mask);

}  // namespace conemask
