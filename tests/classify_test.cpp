// SPDX-License-Identifier: MIT
#include "conemask/classify.hpp"
#include "geometry_cases.hpp"
#include "classify_loop.hpp"
#include "kernel_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using conemask_test::geometry_case;
using conemask_test::geometry_cases;
using conemask_test::nan;
using conemask::colour;
using conemask::cone;
using conemask::decide_sample;
using conemask::find_angle;
using conemask::kernel_row;
using conemask::make_cone;
// Every row of the table: each test runs once a kernel, named after it, and
// is skipped where the processor lacks the kernel.
class every_kernel : public testing::TestWithParam<kernel_row> {
protected:
    void SetUp() override
    {
        const std::vector<kernel_row> here = conemask::kernels_here();
        if (std::none_of(here.begin(), here.end(), [](const kernel_row& row) { return row.name == GetParam().name; })) {
            GTEST_SKIP() << GetParam().name << " does not run on this processor";
        }
    }
};
INSTANTIATE_TEST_SUITE_P(kernels, every_kernel, testing::ValuesIn(conemask::kernel_table),
                         [](const testing::TestParamInfo<kernel_row>& row) { return std::string(row.param.name); });

struct decision_operands {
    float max_angle;
    std::int32_t thresh;
};

// Half-angles from none to all, thresholds from below any projection to above all,
// so that the pre-test, the quick decision and the exact path each decide many
// pixels each way.
const decision_operands operand_cases[] = {
    {0.05F, 20}, {0.3F, 0}, {1.0F, 100}, {1.6F, -128}, {3.2F, -100000},
    {0.0F, 0},   {nan, 0},  {0.2F, 2147483647}, {2.5F, 1}, {4.0F, 51},
};

std::int16_t scalar_sample(const colour& reference, const colour& pixel, const decision_operands& l)
{
    float projection = 0.0F;
    const float angle = find_angle(reference, pixel, projection);
    return decide_sample(angle, projection, l.max_angle, l.thresh);
}

// The colours the kernel comparisons visit: all 2^24 natively. Under
// emulation, every CONEMASK_COLOUR_STRIDE-th colour of the cube, plus the
// colours where rounding is closest to a boundary: every grey, and every
// pixel of the exact cases above.
std::vector<std::uint32_t> colours_to_check()
{
    constexpr std::uint32_t colours = std::uint32_t{1} << 24;
    constexpr std::uint32_t stride = CONEMASK_COLOUR_STRIDE;
    std::vector<std::uint32_t> chosen;
    chosen.reserve(colours / stride + 512);
    for (std::uint32_t c = 0; c < colours; c += stride) {
        chosen.push_back(c);
    }
    if (stride > 1) {
        const auto pack = [](const colour& p) {
            return static_cast<std::uint32_t>(p[0]) << 16U | static_cast<std::uint32_t>(p[1]) << 8U |
                   static_cast<std::uint32_t>(p[2]);
        };
        for (std::int32_t g = 0; g <= 255; ++g) {
            chosen.push_back(pack(colour{g, g, g}));
        }
        for (const geometry_case& c : geometry_cases) {
            chosen.push_back(pack(c.pixel));
        }
    }
    return chosen;
}

// Every colour, against the scalar path.
TEST_P(every_kernel, equals_the_scalar_path_on_every_colour)
{
    const conemask::kernel classify = GetParam().entry;
    const colour references[] = {
        {0, 0, 0}, {1, 1, 1}, {60, 120, 40}, {-60, 120, -40}, {-200, -30, 100}, {2147483647, -2147483648, 5},
        // Length 5: some projections are integers, where truncation is closest
        // to rounding the other way.
        {3, 4, 0},
        // The edges of exact integer sums: 255 (|r0| + |r1| + |r2|) = 2^24 - 1
        // is inside, 2^24 + 254 outside, and so is a component of 32768.
        {32767, -32767, 259}, {32767, 32767, 260}, {32768, 1, -5},
    };
    // In the cube's order, the colours past a pre-test come in runs; shuffled,
    // they are scattered as in noise, and the kernels decide them in their
    // other modes.
    const std::vector<std::uint32_t> in_order = colours_to_check();
    const std::vector<std::uint32_t> shuffled = [&in_order] {
        std::vector<std::uint32_t> colours = in_order;
        std::shuffle(colours.begin(), colours.end(), std::mt19937(11));
        return colours;
    }();
    for (const std::vector<std::uint32_t>* order : {&in_order, &shuffled}) {
        const std::vector<std::uint32_t>& colours = *order;
        constexpr std::size_t block = std::size_t{1} << 16;
        std::vector<std::uint8_t> rgb(3 * block);
        std::vector<float> angles(block);
        std::vector<float> projections(block);
        std::vector<std::int16_t> expected(block);
        std::vector<std::int16_t> actual(block);
        for (const colour& reference : references) {
            std::vector<cone> cones;
            for (const decision_operands& l : operand_cases) {
                cones.push_back(make_cone(reference, l.max_angle, l.thresh));
            }
            std::size_t mismatches = 0;
            for (std::size_t first = 0; first < colours.size(); first += block) {
                const std::size_t count = std::min(block, colours.size() - first);
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint32_t c = colours[first + i];
                    const colour pixel{static_cast<std::int32_t>(c >> 16U),
                                       static_cast<std::int32_t>((c >> 8U) & 0xFFU),
                                       static_cast<std::int32_t>(c & 0xFFU)};
                    rgb[3 * i] = static_cast<std::uint8_t>(pixel[0]);
                    rgb[3 * i + 1] = static_cast<std::uint8_t>(pixel[1]);
                    rgb[3 * i + 2] = static_cast<std::uint8_t>(pixel[2]);
                    angles[i] = find_angle(reference, pixel, projections[i]);
                }
                for (std::size_t l = 0; l < std::size(operand_cases); ++l) {
                    for (std::size_t i = 0; i < count; ++i) {
                        expected[i] = decide_sample(angles[i], projections[i], operand_cases[l].max_angle,
                                                    operand_cases[l].thresh);
                    }
                    classify(cones[l].constants(), rgb.data(), actual.data(), count);
                    for (std::size_t i = 0; i < count; ++i) {
                        if (actual[i] != expected[i] && mismatches++ < 5) {
                            ADD_FAILURE() << (order == &shuffled ? "shuffled" : "in order") << " reference "
                                          << reference[0] << "," << reference[1] << "," << reference[2] << " max_angle "
                                          << operand_cases[l].max_angle << " thresh " << operand_cases[l].thresh
                                          << " colour " << std::hex << colours[first + i] << std::dec << ": "
                                          << actual[i] << " instead of " << expected[i];
                        }
                    }
                }
            }
            EXPECT_EQ(mismatches, 0U);
        }
    }
}

// Lengths around the chunk size and unaligned starts: every sample in range is
// right and nothing outside it is touched.
using whole_cone_classify = std::function<void(const cone&, const std::uint8_t*, std::int16_t*, std::size_t)>;

void check_any_length_and_alignment(const whole_cone_classify& classify)
{
    const colour reference{200, 40, 40};
    const decision_operands l{0.6F, 10};
    std::mt19937 random(7);
    std::vector<std::uint8_t> rgb(3 * 200 + 3);
    for (std::uint8_t& byte : rgb) {
        byte = static_cast<std::uint8_t>(random() >> 24U);
    }
    constexpr std::int16_t guard = 0x5A5A;
    for (std::size_t offset = 0; offset < 3; ++offset) {
        for (std::size_t count = 0; count <= 200; ++count) {
            std::vector<std::int16_t> samples(count + 2, guard);
            classify(make_cone(reference, l.max_angle, l.thresh), rgb.data() + offset, samples.data() + 1, count);
            ASSERT_EQ(samples.front(), guard) << count;
            ASSERT_EQ(samples.back(), guard) << count;
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint8_t* p = rgb.data() + offset + 3 * i;
                ASSERT_EQ(samples[1 + i], scalar_sample(reference, colour{p[0], p[1], p[2]}, l))
                    << "count " << count << " offset " << offset << " pixel " << i;
            }
        }
    }
}

TEST_P(every_kernel, is_run_when_the_variable_names_it)
{
    EXPECT_EQ(conemask::kernel_for_run(std::string(GetParam().name).c_str()).entry, GetParam().entry);
}

TEST_P(every_kernel, handles_any_length_and_alignment)
{
    const conemask::kernel entry = GetParam().entry;
    check_any_length_and_alignment([entry](const cone& c, const std::uint8_t* rgb, std::int16_t* samples,
                                           std::size_t count) { entry(c.constants(), rgb, samples, count); });
}

TEST(classify_pixels, handles_any_length_and_alignment)
{
    check_any_length_and_alignment(conemask::classify_pixels);
}

// A chunk step whose pre-test results are given: it records the mode that
// classify_runs ran each chunk in, and the pixels it was given to decide.
template <bool lists>
struct scripted_chunk {
    static constexpr bool lists_open = lists;
    const std::uint8_t* first;
    const std::vector<std::uint32_t>* masks;  // one a chunk
    std::string* modes;                       // one letter a chunk: b, f or l
    std::vector<std::size_t>* decided;        // the listed pixels, from the first

    std::size_t chunk_of(const std::uint8_t* rgb) const
    {
        return static_cast<std::size_t>(rgb - first) / conemask::detail::chunk_bytes;
    }
    template <bool decide_all>
    std::uint32_t operator()(const std::uint8_t* rgb, std::int16_t* /*samples*/,
                             std::bool_constant<decide_all> /*mode*/) const
    {
        (*modes)[chunk_of(rgb)] = decide_all ? 'f' : 'b';
        return (*masks)[chunk_of(rgb)];
    }
    std::uint32_t open_pixels(const std::uint8_t* rgb) const
    {
        (*modes)[chunk_of(rgb)] = 'l';
        return (*masks)[chunk_of(rgb)];
    }
    void decide_listed(const std::uint8_t* rgb, std::int16_t* /*samples*/, const std::uint16_t* listed,
                       std::size_t count) const
    {
        for (std::size_t i = 0; i < count; ++i) {
            decided->push_back(static_cast<std::size_t>(rgb - first) / 3 + listed[i]);
        }
    }
};

// A run of chunks as its pre-test masks: `open` chunks with `pixels` past it
// each (at spread positions), then chunks with none.
std::vector<std::uint32_t> run_of(std::size_t open, int pixels)
{
    std::vector<std::uint32_t> masks(conemask::detail::adapt_chunks, 0);
    for (std::size_t c = 0; c < open; ++c) {
        const std::uint32_t low = pixels >= 32 ? ~0U : (std::uint32_t{1} << static_cast<unsigned>(pixels)) - 1;
        masks[c] = std::rotl(low, static_cast<int>(7 * c));
    }
    return masks;
}

// Which mode each run of chunks takes, from what the run before it saw of
// the pre-test: few chunks past it (at most a quarter), branch; more, list
// the pixels if there are few (at most a quarter of a run's) and the kernel
// can, else decide in full.
using conemask::detail::adapt_chunks;
constexpr std::size_t quarter = adapt_chunks / 4;

struct script {
    const char* name;
    std::vector<std::vector<std::uint32_t>> runs;
    std::string listing_modes, other_modes;  // a letter a run
};

// The mode of each run of chunks, from the letters of every chunk.
std::string run_modes(const std::string& modes)
{
    std::string per_run;
    for (std::size_t first = 0; first < modes.size(); first += adapt_chunks) {
        const std::string run = modes.substr(first, adapt_chunks);
        EXPECT_EQ(run.find_first_not_of(run[0]), std::string::npos) << run;
        per_run += run[0];
    }
    return per_run;
}

class classify_runs : public testing::TestWithParam<script> {};

TEST_P(classify_runs, chooses_each_mode_from_the_run_before)
{
    const script& s = GetParam();
    std::vector<std::uint32_t> masks;
    for (const std::vector<std::uint32_t>& run : s.runs) {
        masks.insert(masks.end(), run.begin(), run.end());
    }
    const std::size_t pixels = masks.size() * conemask::detail::chunk_pixels;
    const std::vector<std::uint8_t> rgb(3 * pixels);
    std::vector<std::int16_t> samples(pixels);
    // Every pixel past the pre-test in a listed chunk is decided.
    std::vector<std::size_t> expected_listed;
    {
        std::string modes(masks.size(), '?');
        std::vector<std::size_t> decided;
        const scripted_chunk<true> chunk{rgb.data(), &masks, &modes, &decided};
        conemask::detail::classify_runs(chunk, rgb.data(), samples.data(), pixels);
        EXPECT_EQ(run_modes(modes), s.listing_modes);
        for (std::size_t c = 0; c < masks.size(); ++c) {
            for (std::uint32_t m = masks[c]; modes[c] == 'l' && m != 0; m &= m - 1) {
                expected_listed.push_back(c * conemask::detail::chunk_pixels +
                                          static_cast<std::size_t>(std::countr_zero(m)));
            }
        }
        std::sort(decided.begin(), decided.end());
        decided.erase(std::unique(decided.begin(), decided.end()), decided.end());
        EXPECT_EQ(decided, expected_listed);
    }
    std::string modes(masks.size(), '?');
    const scripted_chunk<false> chunk{rgb.data(), &masks, &modes, nullptr};
    conemask::detail::classify_runs(chunk, rgb.data(), samples.data(), pixels);
    EXPECT_EQ(run_modes(modes), s.other_modes);
}

INSTANTIATE_TEST_SUITE_P(
    scripts, classify_runs,
    testing::Values(
        script{"nothing_past_the_pre_test", {run_of(0, 0), run_of(0, 0)}, "bb", "bb"},
        script{"a_quarter_of_the_chunks", {run_of(quarter, 1), run_of(quarter, 32)}, "bb", "bb"},
        script{"one_chunk_more_one_pixel_each",
               {run_of(quarter + 1, 1), run_of(quarter + 1, 3), run_of(0, 0), run_of(0, 0)},
               "bllb",
               "bffb"},
        script{"every_chunk_a_quarter_of_the_pixels", {run_of(adapt_chunks, 8), run_of(0, 0)}, "bl", "bf"},
        script{"every_chunk_more_pixels", {run_of(adapt_chunks, 9), run_of(adapt_chunks, 32), run_of(0, 0)}, "bff",
               "bff"},
        script{"every_chunk_then_few",
               {run_of(adapt_chunks, 32), run_of(quarter + 1, 2), run_of(1, 1), run_of(0, 0)},
               "bflb",
               "bffb"}),
    [](const testing::TestParamInfo<script>& row) { return std::string(row.param.name); });

}  // namespace
