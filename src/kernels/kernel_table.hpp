// SPDX-License-Identifier: MIT
// The batch kernels, one row each, and the choice among them. Internal to
// classify, its tests, fuzzers and benchmarks; callers use classify.hpp.
//
// A run uses the first row this processor runs, unless CONEMASK_KERNEL names
// another (kernel_for_run). A new kernel is one file, classify_<instruction
// set>.cpp, whose entry point runs the shared loop (classify_loop.hpp) with
// its chunk step; its declaration and its row here; and one line in
// CMakeLists.txt that builds the file where the instruction set exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "conemask/classify.hpp"
#include "cone_constants.hpp"

namespace conemask {

using kernel = void (*)(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

// What a kernel needs of the processor beyond its build's baseline, one bit
// a feature.
using cpu_features = unsigned;
namespace feature {
constexpr cpu_features avx2 = 1U << 0U;
constexpr cpu_features avx512 = 1U << 1U;  // F, BW, VL and VBMI together
constexpr cpu_features avx512_vnni = 1U << 2U;
}  // namespace feature

struct kernel_row {
    std::string_view name;
    kernel entry;
    cpu_features needs;
};

namespace detail {
void classify_pixels_portable(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
#if defined(__x86_64__) && defined(__GNUC__)
void classify_pixels_avx2(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
void classify_pixels_avx512(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
void classify_pixels_avx512_vnni(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
#endif
#if defined(__aarch64__)
void classify_pixels_neon(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
#endif
#if defined(__EMSCRIPTEN__)
void classify_pixels_wasm_simd128(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);
#endif
}  // namespace detail

// The kernels this build has, fastest first. The last needs nothing.
inline constexpr kernel_row kernel_table[] = {
#if defined(__x86_64__) && defined(__GNUC__)
    {"avx512_vnni", detail::classify_pixels_avx512_vnni, feature::avx512 | feature::avx512_vnni},
    {"avx512", detail::classify_pixels_avx512, feature::avx512},
    {"avx2", detail::classify_pixels_avx2, feature::avx2},
#endif
#if defined(__aarch64__)
    // Advanced SIMD is part of every AArch64 processor.
    {"neon", detail::classify_pixels_neon, 0},
#endif
#if defined(__EMSCRIPTEN__)
    // A module with SIMD128 loads only where the engine runs it (see the file).
    {"wasm_simd128", detail::classify_pixels_wasm_simd128, 0},
#endif
    {"portable", detail::classify_pixels_portable, 0},
};

// What this processor (and its operating system) supports.
cpu_features this_cpu();
// The first row that a processor with `features` runs.
const kernel_row& choose_kernel(cpu_features features);
// The rows this processor runs, fastest first.
std::vector<kernel_row> kernels_here();

// The environment variable that names the kernel a run uses, for tests and
// benchmarks: unset or empty, the run takes the first row this processor runs.
inline constexpr const char* kernel_variable = "CONEMASK_KERNEL";

// The row a run uses when kernel_variable holds `forced` (null when unset):
// the kernel it names when this processor runs it. Any other name is
// refused: the process ends with status 1 after a message on stderr that
// lists the kernels this processor runs.
const kernel_row& kernel_for_run(const char* forced) noexcept;

}  // namespace conemask
