// SPDX-License-Identifier: MIT
// A photograph's summary: how many of its pixels the classification selects,
// their share, and the mean and largest of their samples; and its row of the
// summary CSV (RFC 4180), the bytes every face writes for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "conemask/colour_geometry.hpp"

namespace conemask {

// The operands a mask was made with, as the program holds them.
struct mask_operands {
    colour reference{};
    float max_angle = 0.0F;
    std::int32_t thresh = 0;
};

// The selected pixels of a raster, gathered a block at a time.
class selection_tally {
public:
    // `samples` are classify_pixels' for the `count` pixels of `rgb`. A
    // sample of 0 may belong to a selected pixel (a projection in (-1, 1)
    // above a threshold below 1): those pixels are decided again by the
    // definition, whose decision the samples come from.
    void add(const mask_operands& operands, const std::uint8_t* rgb, const std::int16_t* samples, std::size_t count);

    [[nodiscard]] std::uint64_t selected() const { return selected_; }
    [[nodiscard]] std::int64_t sample_sum() const { return sample_sum_; }
    [[nodiscard]] std::int16_t largest_sample() const { return largest_; }

private:
    std::uint64_t selected_ = 0;
    std::int64_t sample_sum_ = 0;
    std::int16_t largest_ = 0;  // meaningful only when selected_ > 0
};

// One photograph's row. `status` is "ok" when it was masked, else the reason
// it was refused; its counts are then left empty.
struct summary_row {
    std::string file;
    std::uint64_t rows = 0;  // as displayed
    std::uint64_t cols = 0;
    selection_tally tally;
    std::string status = "ok";
};

// The header line, CRLF-terminated.
std::string summary_header();

// The row's line, CRLF-terminated: the file; rows and cols; the pixels
// selected and their share of all pixels in per cent (6 decimals); the mean
// (4 decimals) and largest of their samples, empty when none is selected;
// the status; then the operands as read (theta to 9 significant digits,
// which give its float back), so that the row can be made again.
std::string summary_line(const summary_row& row, const mask_operands& operands);

// A field as RFC 4180 writes it: in double quotes, its quotes doubled, when
// it holds a comma, a quote, a CR or an LF; as it is otherwise.
std::string csv_field(std::string_view text);

}  // namespace conemask
