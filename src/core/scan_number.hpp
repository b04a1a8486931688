// SPDX-License-Identifier: MIT
// How an operand's text becomes a number, written out in full rather than
// left to the C library: every face (the program, the Python module, the
// WebAssembly module, whose musl scans otherwise) reads the same number from
// the same text, whatever the locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace conemask {

// The float that glibc's sscanf(text, "%f", &value) leaves in a value that
// starts at 0, in the "C" locale: leading white space, a sign, a decimal or
// hexadecimal number correctly rounded (to nearest, ties to even), "inf",
// "infinity" and "nan" in any case; text after the number is ignored. Text
// that does not scan as a number gives +0.
float scan_float(std::string_view text);

// What strtoll(text, nullptr, 10) gives, in the "C" locale: leading white
// space, a sign, the longest run of digits (none gives 0), clamped to the
// 64-bit range.
std::int64_t scan_integer(std::string_view text);

}  // namespace conemask
