// SPDX-License-Identifier: MIT
// The page's batch rows: the summary CSV's header and a photograph's row,
// made by the program's own summary code (src/summary), so that the page's
// CSV is byte for byte what `conemask-image --summary` writes.
#include <emscripten/emscripten.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "summary.hpp"

namespace {

// The last line made, for the page to copy out before the next call.
std::string& last_line()
{
    static std::string text;
    return text;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* conemask_summary_header()
{
    last_line() = conemask::summary_header();
    return last_line().c_str();
}

// The row of the photograph `file` of rows x cols pixels as displayed, whose
// `count` pixels `rgb` the program's samples `samples` are; with a status
// other than "ok" (the reason it was refused) the pixels are not looked at.
EMSCRIPTEN_KEEPALIVE const char* conemask_summary_line(const char* file, const char* status, std::uint32_t rows,
                                                       std::uint32_t cols, std::int32_t red, std::int32_t green,
                                                       std::int32_t blue, float max_angle, std::int32_t thresh,
                                                       const std::uint8_t* rgb, const std::int16_t* samples,
                                                       std::size_t count)
{
    const conemask::mask_operands operands{conemask::colour{red, green, blue}, max_angle, thresh};
    conemask::summary_row row{file, rows, cols, {}, status};
    if (row.status == "ok") {
        row.tally.add(operands, rgb, samples, count);
    }
    last_line() = conemask::summary_line(row, operands);
    return last_line().c_str();
}

}  // extern "C"
