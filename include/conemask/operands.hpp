// SPDX-License-Identifier: MIT
// Conversion of the command-line operands into the values the run holds.
//
// Operands and file names live in fixed-size buffers; a text that does not
// fit is refused rather than cut.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace conemask {

// Room for 99 characters and the terminating NUL.
inline constexpr std::size_t numeric_operand_capacity = 100;
// Room for 299 characters and the terminating NUL.
inline constexpr std::size_t file_name_capacity = 300;
// ".rgb" and ".raw" are both this long.
inline constexpr std::size_t file_name_suffix_length = 4;
// The longest base name whose derived file names still fit.
inline constexpr std::size_t max_base_name_length = file_name_capacity - 1 - file_name_suffix_length;

using file_name = std::array<char, file_name_capacity>;

// A decimal integer read leniently, as strtoll does with base 10 (leading
// blanks skipped, trailing text ignored, no digits giving 0, out-of-range
// values clamped to 64 bits: scan_integer), then cut to its low 32 bits.
// Returns false, leaving `value` unchanged, when `text` is longer than 99
// characters.
bool convert_integer(const char* text, std::int32_t& value);

// A floating-point number read as sscanf's "%f" reads it into a float in the
// "C" locale (scan_float), whatever the locale. Text that does not scan as a
// number gives 0, which selects nothing. Returns false, leaving `value`
// unchanged, when `text` is longer than 99 characters.
bool convert_angle(const char* text, float& value);

// Copies `text` into `base`. Returns false, leaving `base` unchanged, when
// `text` is longer than max_base_name_length characters.
bool copy_base_name(const char* text, file_name& base);

// `base` followed by `suffix` (a suffix of file_name_suffix_length characters).
file_name derive_file_name(const file_name& base, const char* suffix);

}  // namespace conemask
