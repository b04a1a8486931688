// SPDX-License-Identifier: MIT
// The choice of kernel: the processor's, or the one CONEMASK_KERNEL names.
#include "conemask/classify.hpp"
#include "kernel_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using conemask::kernel_row;
namespace feature = conemask::feature;

struct choice {
    const char* name;
    conemask::cpu_features features;
    std::string_view kernel;
};

#if defined(__x86_64__) && defined(__GNUC__)
const choice choices[] = {
    {"nothing", 0, "portable"},
    {"avx2", feature::avx2, "avx2"},
    {"avx2_and_vnni_alone", feature::avx2 | feature::avx512_vnni, "avx2"},
    {"avx512", feature::avx2 | feature::avx512, "avx512"},
    {"avx512_and_vnni", feature::avx2 | feature::avx512 | feature::avx512_vnni, "avx512_vnni"},
};
#elif defined(__aarch64__)
const choice choices[] = {{"nothing", 0, "neon"}};
#else
const choice choices[] = {{"nothing", 0, "portable"}};
#endif

class choose_kernel : public testing::TestWithParam<choice> {};

TEST_P(choose_kernel, takes_the_first_the_processor_runs)
{
    EXPECT_EQ(conemask::choose_kernel(GetParam().features).name, GetParam().kernel);
}
INSTANTIATE_TEST_SUITE_P(features, choose_kernel, testing::ValuesIn(choices),
                         [](const testing::TestParamInfo<choice>& row) { return std::string(row.param.name); });

TEST(kernel_for_run, takes_the_first_the_processor_runs_unless_named)
{
    const std::string_view first = conemask::kernels_here().front().name;
    EXPECT_EQ(conemask::kernel_for_run(nullptr).name, first);
    EXPECT_EQ(conemask::kernel_for_run("").name, first);
    EXPECT_EQ(conemask::chosen_kernel_name(), conemask::kernel_for_run(std::getenv(conemask::kernel_variable)).name);
}

// A name this processor does not run: refused, with the list of those it runs.
struct refused_name {
    const char* name;
    std::string text;
};

class kernel_for_run_refuses : public testing::TestWithParam<refused_name> {};

TEST_P(kernel_for_run_refuses, naming_the_kernels_this_processor_runs)
{
    std::string listed;
    for (const kernel_row& row : conemask::kernels_here()) {
        listed += " " + std::string(row.name);
    }
    const std::string& text = GetParam().text;
    if (text.empty()) {
        GTEST_SKIP() << "this processor runs every kernel of the table";
    }
    EXPECT_EXIT(conemask::kernel_for_run(text.c_str()), testing::ExitedWithCode(1),
                "^CONEMASK_KERNEL=" + text + " names no kernel this processor runs; it runs:" + listed + "\n$");
}

// The first kernel of the table that this processor lacks, or "".
std::string kernel_missing_here()
{
    const std::vector<kernel_row> here = conemask::kernels_here();
    for (const kernel_row& row : conemask::kernel_table) {
        if (std::none_of(here.begin(), here.end(), [&row](const kernel_row& h) { return h.name == row.name; })) {
            return std::string(row.name);
        }
    }
    return "";
}

INSTANTIATE_TEST_SUITE_P(names, kernel_for_run_refuses,
                         testing::Values(refused_name{"unknown", "fastest"}, refused_name{"other_case", "Portable"},
                                         refused_name{"trailing_space", "portable "},
                                         refused_name{"in_the_table_but_not_run_here", kernel_missing_here()}),
                         [](const testing::TestParamInfo<refused_name>& row) { return std::string(row.param.name); });

}  // namespace
