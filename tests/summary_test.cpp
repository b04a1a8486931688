// SPDX-License-Identifier: MIT
// The summary's tally over a band of samples with a threshold of 1 or more,
// where the selected are the nonzero samples: summed in blocks, whose edges
// must neither drop nor count twice a sample, and whose totals must not wrap.
#include "summary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

namespace {

using conemask::mask_operands;
using conemask::selection_tally;

constexpr std::size_t block = std::size_t{1} << 16U;

struct tally_case {
    const char* name;
    std::size_t count;
    std::size_t period;  // every period-th sample is `value`, the rest 0
    std::size_t offset;  // the first such sample
    std::int16_t value;
};

void PrintTo(const tally_case& c, std::ostream* out) { *out << c.name; }

const tally_case tally_cases[] = {
    {"one_band_of_a_photograph", 64000, 3, 0, 200},
    {"two_blocks_and_a_tail_all_largest", 2 * block + 7, 1, 0, 32767},
    {"only_the_first_of_the_second_block", 2 * block, block, block, 5},
    {"only_the_last_sample", 3 * block + 1, 3 * block + 1, 3 * block, 9},
    {"none_selected", block + 1, 1, block + 1, 0},
};

class tally : public testing::TestWithParam<tally_case> {};

TEST_P(tally, counts_sums_and_takes_the_largest_nonzero_sample)
{
    const tally_case& c = GetParam();
    std::vector<std::int16_t> samples(c.count, 0);
    for (std::size_t i = c.offset; i < c.count; i += c.period) {
        samples[i] = c.value;
    }
    std::uint64_t selected = 0;
    std::int64_t sum = 0;
    std::int16_t largest = 0;
    for (const std::int16_t s : samples) {
        selected += s != 0 ? 1U : 0U;
        sum += s;
        largest = std::max(largest, s);
    }
    const mask_operands operands{{180, 40, 15}, 0.12F, 10};
    const std::vector<std::uint8_t> rgb(3 * c.count, 0);  // not read above a threshold of 0
    selection_tally t;
    t.add(operands, rgb.data(), samples.data(), c.count);
    EXPECT_EQ(t.selected(), selected);
    EXPECT_EQ(t.sample_sum(), sum);
    if (selected > 0) {
        EXPECT_EQ(t.largest_sample(), largest);
    }
}

INSTANTIATE_TEST_SUITE_P(blocks, tally, testing::ValuesIn(tally_cases),
                         [](const testing::TestParamInfo<tally_case>& row) { return std::string(row.param.name); });

}  // namespace
