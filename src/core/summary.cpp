// SPDX-License-Identifier: MIT
#include "summary.hpp"

#include <algorithm>
#include <cstdio>

namespace conemask {

namespace {

// printf into a std::string; the formats here are short and fixed.
template <typename... Values>
std::string format(const char* pattern, Values... values)
{
    char text[64];
    const int length = std::snprintf(text, sizeof text, pattern, values...);
    return length < 0 ? std::string() : std::string(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
}

constexpr double per_cent = 100.0;

}  // namespace

void selection_tally::add(const mask_operands& operands, const std::uint8_t* rgb, const std::int16_t* samples,
                          std::size_t count)
{
    // A threshold of 1 or more makes every selected sample at least 1: the
    // selected are the nonzero samples, and the largest of all samples is
    // theirs. A loop without branches, which the compiler can vectorise, on
    // 32-bit sums over blocks of at most 2^16 samples (whose sum, at most
    // 2^16 x 2^15 in magnitude, a 32-bit integer holds): 64-bit lanes would
    // take several times as many instructions a sample.
    if (operands.thresh >= 1) {
        constexpr std::size_t block = std::size_t{1} << 16U;
        for (std::size_t start = 0; start < count; start += block) {
            const std::int16_t* const first = samples + start;
            const std::size_t length = std::min(block, count - start);
            std::uint32_t nonzero = 0;
            std::int32_t sum = 0;
            std::int16_t largest = 0;
            for (std::size_t i = 0; i < length; ++i) {
                nonzero += first[i] != 0 ? 1U : 0U;
                sum += first[i];
                largest = std::max(largest, first[i]);
            }
            if (nonzero > 0) {
                largest_ = selected_ == 0 ? largest : std::max(largest_, largest);
            }
            selected_ += nonzero;
            sample_sum_ += sum;
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t sample = samples[i];
        if (sample == 0) {
            const colour pixel{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
            float projection = 0.0F;
            const float angle = find_angle(operands.reference, pixel, projection);
            if (!is_selected(angle, projection, operands.max_angle, operands.thresh)) {
                continue;
            }
        }
        largest_ = selected_ == 0 ? sample : std::max(largest_, sample);
        ++selected_;
        sample_sum_ += sample;
    }
}

std::string csv_field(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

std::string summary_header()
{
    return "file,rows,cols,selected,share_percent,mean_sample,largest_sample,status,red,green,blue,theta,thresh\r\n";
}

std::string summary_line(const summary_row& row, const mask_operands& operands)
{
    std::string line = csv_field(row.file) + ',';
    if (row.status == "ok") {
        const selection_tally& t = row.tally;
        const double pixels = static_cast<double>(row.rows) * static_cast<double>(row.cols);
        line += format("%llu,%llu,%llu,", static_cast<unsigned long long>(row.rows),
                       static_cast<unsigned long long>(row.cols), static_cast<unsigned long long>(t.selected()));
        line += pixels > 0 ? format("%.6f,", per_cent * static_cast<double>(t.selected()) / pixels) : ",";
        if (t.selected() > 0) {
            line += format("%.4f,%d,", static_cast<double>(t.sample_sum()) / static_cast<double>(t.selected()),
                           static_cast<int>(t.largest_sample()));
        } else {
            line += ",,";
        }
    } else {
        line += ",,,,,,";
    }
    line += csv_field(row.status);
    line += format(",%ld,%ld,%ld,%.9g,%ld\r\n", static_cast<long>(operands.reference[0]),
                   static_cast<long>(operands.reference[1]), static_cast<long>(operands.reference[2]),
                   static_cast<double>(operands.max_angle), static_cast<long>(operands.thresh));
    return line;
}

}  // namespace conemask
