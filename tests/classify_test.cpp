// SPDX-License-Identifier: MIT
#include "classify.hpp"
#include "geometry_cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
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
using conemask::kernel;
using conemask::kernel_kind;
using conemask::make_cone;

// Every kernel this processor runs, and the dispatcher's choice.
std::vector<std::pair<const char*, kernel>> kernels()
{
    std::vector<std::pair<const char*, kernel>> found;
    for (const kernel_kind kind : conemask::kernel_kinds) {
        if (conemask::runs_here(kind)) {
            found.emplace_back(conemask::kernel_name(kind), conemask::kernel_of(kind));
        }
    }
    found.emplace_back("dispatched", conemask::classify_pixels);
    return found;
}

TEST(choose_kernel, takes_the_widest_the_processor_has)
{
    struct choice {
        conemask::cpu_features features;
        kernel_kind kind;
    };
    const choice choices[] = {
        {{.neon = false, .avx2 = false, .avx512 = false, .avx512_vnni = false}, kernel_kind::portable},
        {{.neon = true, .avx2 = false, .avx512 = false, .avx512_vnni = false}, kernel_kind::neon},
        {{.neon = false, .avx2 = true, .avx512 = false, .avx512_vnni = false}, kernel_kind::avx2},
        {{.neon = false, .avx2 = true, .avx512 = false, .avx512_vnni = true}, kernel_kind::avx2},
        {{.neon = false, .avx2 = true, .avx512 = true, .avx512_vnni = false}, kernel_kind::avx512},
        {{.neon = false, .avx2 = true, .avx512 = true, .avx512_vnni = true}, kernel_kind::avx512_vnni},
    };
    for (const choice& c : choices) {
        EXPECT_EQ(conemask::choose_kernel(c.features), c.kind)
            << c.features.neon << c.features.avx2 << c.features.avx512 << c.features.avx512_vnni;
    }
#if defined(__aarch64__)
    EXPECT_EQ(conemask::choose_kernel(conemask::this_cpu()), kernel_kind::neon);
#elif !defined(__x86_64__)
    EXPECT_EQ(conemask::choose_kernel(conemask::this_cpu()), kernel_kind::portable);
#endif
}

struct limits {
    float max_angle;
    std::int32_t thresh;
};

// Limits from none to all, thresholds from below any projection to above all,
// so that the pre-test, the quick decision and the exact path each decide many
// pixels each way.
const limits limit_cases[] = {
    {0.05F, 20}, {0.3F, 0}, {1.0F, 100}, {1.6F, -128}, {3.2F, -100000},
    {0.0F, 0},   {nan, 0},  {0.2F, 2147483647}, {2.5F, 1}, {4.0F, 51},
};

std::int16_t scalar_sample(const colour& reference, const colour& pixel, const limits& l)
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

// Every colour, against the scalar path, for each kernel.
TEST(classify_pixels, equals_the_scalar_path_on_every_colour)
{
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
            for (const limits& l : limit_cases) {
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
                for (std::size_t l = 0; l < std::size(limit_cases); ++l) {
                    for (std::size_t i = 0; i < count; ++i) {
                        expected[i] = decide_sample(angles[i], projections[i], limit_cases[l].max_angle,
                                                    limit_cases[l].thresh);
                    }
                    for (const auto& [name, classify] : kernels()) {
                        classify(cones[l], rgb.data(), actual.data(), count);
                        for (std::size_t i = 0; i < count; ++i) {
                            if (actual[i] != expected[i] && mismatches++ < 5) {
                                ADD_FAILURE() << name << (order == &shuffled ? " shuffled" : "") << " reference "
                                              << reference[0] << "," << reference[1] << "," << reference[2]
                                              << " limit " << limit_cases[l].max_angle << " thresh "
                                              << limit_cases[l].thresh << " colour " << std::hex << colours[first + i]
                                              << std::dec << ": " << actual[i] << " instead of " << expected[i];
                            }
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
TEST(classify_pixels, handles_any_length_and_alignment)
{
    const colour reference{200, 40, 40};
    const limits l{0.6F, 10};
    std::mt19937 random(7);
    std::vector<std::uint8_t> rgb(3 * 200 + 3);
    for (std::uint8_t& byte : rgb) {
        byte = static_cast<std::uint8_t>(random() >> 24U);
    }
    constexpr std::int16_t guard = 0x5A5A;
    for (const auto& [name, classify] : kernels()) {
        for (std::size_t offset = 0; offset < 3; ++offset) {
            for (std::size_t count = 0; count <= 200; ++count) {
                std::vector<std::int16_t> samples(count + 2, guard);
                classify(make_cone(reference, l.max_angle, l.thresh), rgb.data() + offset, samples.data() + 1, count);
                ASSERT_EQ(samples.front(), guard) << name << " " << count;
                ASSERT_EQ(samples.back(), guard) << name << " " << count;
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint8_t* p = rgb.data() + offset + 3 * i;
                    ASSERT_EQ(samples[1 + i], scalar_sample(reference, colour{p[0], p[1], p[2]}, l))
                        << name << " count " << count << " offset " << offset << " pixel " << i;
                }
            }
        }
    }
}

}  // namespace
