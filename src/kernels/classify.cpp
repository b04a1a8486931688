// SPDX-License-Identifier: MIT
#include "conemask/classify.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "cone_constants.hpp"
#include "kernel_table.hpp"

namespace conemask {

// The quick decision. The exact path needs a square root and two divisions;
// nearly every pixel can be decided without them, from its dot product d,
// its squared length s and q = fl(d S), with S = fl(255 / (445 R)), R the
// reference length, K = min_cos |min_cos| R^2 and T the threshold, an integer:
//   pre-test  fails when fl(d |d|) < fl(s K_fail) or q <= T_fail
//   angle     passes when fl(d |d|) >= fl(s K_pass)
//   settled   when trunc(fl(q - a)) and trunc(fl(q + a)) are the same n
// with K_fail, K_pass = K -+ |K| m and T_fail = T - |T| m, rounded to float,
// and the margins m = 2^-18 and a = 2^-12. A pixel that fails the pre-test
// gets 0; a settled one gets 0 when q <= T, and n when q > T and its angle
// passes; any other goes down the exact path. The pre-test alone rejects a
// pixel in a few operations.
//
// Why each outcome is the exact path's. Let u = 2^-24 be the unit roundoff,
// d and s floats computed exactly as the exact path computes them, and s > 0
// (black, s = 0, has d = q = 0 and a settled sample of 0, as the exact path's
// NaN gives). With P = sqrt(s) correctly rounded, the exact path's cosine is
// c = d / (R P (1+e1)) (1+e2) = d / (R sqrt(s)) (1+t), |t| <= 3.01u, and its
// projection, the float whose truncation is the sample, is
//   P c (1+e3) 255/445 (1+e4) = X (1+t'), X = d 255/(445 R), |t'| <= 4.01u
// (P cancels; the double operations add far less than u). S is 255/(445 R)
// to within 1.01u (445 R is exact in a double), so q = X (1+e), |e| <= 2.01u,
// and the projection is q (1+h) with |h| <= 6.1u. q and the projection have
// the sign of d, and a nonzero d, a sum of integer-valued products, is at
// least 1: nothing underflows.
//
// Angle: c >= min_cos exactly when c |c| >= min_cos |min_cos|, that is when
// d |d| (1+t)^2 >= s K. "Passes" gives d |d| >= s K (1 + m sgn K)(1 - 3.02u),
// counting the roundings of d |d|, of s K_pass and of K_pass. For K > 0 then
// d |d| (1+t)^2 >= s K (1+m)(1 - 9.1u) > s K, as m = 64u. For K < 0 either
// d >= 0 (and c >= 0 > min_cos) or |d|^2 (1+t)^2 <= s |K| (1-m)(1 + 9.1u)
// < s |K|. For K = 0 it compares signs, which rounding keeps. "Fails" is the
// mirror image.
//
// Threshold in the pre-test: for T > 0, q <= T_fail gives a projection of at
// most q (1 + 6.1u) <= T (1-m)(1+u)(1 + 6.1u) < T, or none above 0; for
// T < 0 it gives |projection| >= |q| (1 - 6.1u) > |T|; for T = 0, d <= 0.
//
// Settled: |q| < 254, as |d| <= R |p| (1 + 6u) (Cauchy-Schwarz) and
// |p| <= 441.7, so the projection is within 6.1u 254 < 2^-13 of q, and
// fl(q -+ a) within 2^-17 (half a unit in the last place below 256) of q -+ a:
// q and the projection lie strictly between the two ends. Truncation never
// decreases, so everything between the ends truncates to n: the projection
// too, and no integer lies strictly between them, so q and the projection
// lie on the same side of the integer T.
//
// Nothing overflows: |d| < 1.7e12, s |K| < 2.8e24. K is -infinity when every
// angle passes; its bounds are then the lowest float.
//
// Integer sums: when every |r_i| <= 32767 and 255 (|r0| + |r1| + |r2|) <= 2^24,
// every product p_i r_i and every partial sum of the dot product is an integer
// of magnitude at most 2^24, which a float holds exactly: each float operation
// of the dot product is then exact, and equals the sum in 32-bit integers
// converted to float. The pixel's squared length, at most 3 * 255^2, is always
// exact. The integer form may give +0 where the float form gives -0 (a zero
// component times a negative one); either zero gives the same comparisons and
// samples. The kernels take p_i and r_i as 16-bit halves: 0 <= p_i <= 255 and
// |r_i| <= 32767 fit, and pair sums stay below 2^24.
namespace {

// The margins m and a. Relative, for the bounds: 64 units in the last place
// of a float, where the roundings come to 9.1. Absolute, for the sample:
// 2^-12, where q and the projection differ by less than 2^-13. A wider margin
// sends more pixels down the exact path.
constexpr double decision_margin = 1.0 / 262144.0;
constexpr double sample_margin = 1.0 / 4096.0;

cone_constants fix_constants(const colour& reference, float max_angle, std::int32_t thresh)
{
    constexpr float lowest = std::numeric_limits<float>::lowest();

    cone_constants made{};
    made.r0 = static_cast<float>(reference[0]);
    made.r1 = static_cast<float>(reference[1]);
    made.r2 = static_cast<float>(reference[2]);
    made.reference_length = reference_length(reference);
    made.min_cos = min_cos(max_angle);
    made.thresh = static_cast<float>(thresh);
    made.sample_margin = static_cast<float>(sample_margin);  // exact

    constexpr std::int64_t largest_half = 32767;
    constexpr std::int64_t largest_exact_sum = std::int64_t{1} << 24;
    const auto magnitude = [](std::int32_t r) { return std::abs(static_cast<std::int64_t>(r)); };
    made.integer_sums = magnitude(reference[0]) <= largest_half && magnitude(reference[1]) <= largest_half &&
                     magnitude(reference[2]) <= largest_half &&
                     255 * (magnitude(reference[0]) + magnitude(reference[1]) + magnitude(reference[2])) <=
                         largest_exact_sum;
    if (made.integer_sums) {
        const auto half = [](std::int32_t r) { return static_cast<std::uint32_t>(r) & 0xFFFFU; };
        made.red_green = static_cast<std::int32_t>(half(reference[0]) | half(reference[1]) << 16U);
        made.blue_zero = static_cast<std::int32_t>(half(reference[2]));
    }
    made.selects_nothing = made.reference_length == 0.0F || std::isnan(made.min_cos);
    if (made.selects_nothing) {
        return made;
    }

    const double length = made.reference_length;
    const double cos_max_angle = made.min_cos;
    // value -+ |value| m, rounded to float.
    const auto below = [](double value) {
        return static_cast<float>(value - std::fabs(value) * decision_margin);
    };
    const auto above = [](double value) {
        return static_cast<float>(value + std::fabs(value) * decision_margin);
    };
    const double signed_cos_square = cos_max_angle * std::fabs(cos_max_angle) * length * length;
    made.angle_fail_bound = std::isinf(made.min_cos) ? lowest : below(signed_cos_square);
    made.angle_pass_bound = std::isinf(made.min_cos) ? lowest : above(signed_cos_square);
    made.projection_scale = static_cast<float>(projection_numerator / (projection_denominator * length));
    made.thresh_fail_bound = below(made.thresh);
    return made;
}

}  // namespace

cone make_cone(const colour& reference, float max_angle, std::int32_t thresh)
{
    return cone(std::make_shared<const cone_constants>(fix_constants(reference, max_angle, thresh)));
}

#if defined(__x86_64__) && defined(__GNUC__)
cpu_features this_cpu()
{
    // Before main the processor's features may not have been read yet.
    __builtin_cpu_init();
    // libgcc's checks include the operating system's support for the wider
    // registers. The builtin gives int with GCC and bool with Clang.
    const auto has = [](bool supported, cpu_features f) { return supported ? f : cpu_features{0}; };
    return has(static_cast<bool>(__builtin_cpu_supports("avx2")), feature::avx2) |
           has(static_cast<bool>(__builtin_cpu_supports("avx512f")) &&
                   static_cast<bool>(__builtin_cpu_supports("avx512bw")) &&
                   static_cast<bool>(__builtin_cpu_supports("avx512vl")) &&
                   static_cast<bool>(__builtin_cpu_supports("avx512vbmi")),
               feature::avx512) |
           has(static_cast<bool>(__builtin_cpu_supports("avx512vnni")), feature::avx512_vnni);
}
#else
cpu_features this_cpu()
{
    return 0;
}
#endif

namespace {

bool runs_on(const kernel_row& row, cpu_features features)
{
    return (row.needs & ~features) == 0;
}

}  // namespace

const kernel_row& choose_kernel(cpu_features features)
{
    const auto* found = std::find_if(std::begin(kernel_table), std::end(kernel_table),
                                     [features](const kernel_row& row) { return runs_on(row, features); });
    // The last row needs nothing: it is always found.
    return *found;
}

std::vector<kernel_row> kernels_here()
{
    const cpu_features features = this_cpu();
    std::vector<kernel_row> rows;
    std::copy_if(std::begin(kernel_table), std::end(kernel_table), std::back_inserter(rows),
                 [features](const kernel_row& row) { return runs_on(row, features); });
    return rows;
}

const kernel_row& kernel_for_run(const char* forced) noexcept
{
    if (forced == nullptr || *forced == '\0') {
        return choose_kernel(this_cpu());
    }
    const cpu_features features = this_cpu();
    const auto* named = std::find_if(std::begin(kernel_table), std::end(kernel_table), [&](const kernel_row& row) {
        return row.name == forced && runs_on(row, features);
    });
    if (named != std::end(kernel_table)) {
        return *named;
    }
    // Written piece by piece, allocating nothing: a refusal before main
    // cannot throw. (No printf: the page's module would carry it.)
    for (const char* piece : {kernel_variable, "=", forced, " names no kernel this processor runs; it runs:"}) {
        (void)std::fputs(piece, stderr);
    }
    for (const kernel_row& row : kernel_table) {
        if (runs_on(row, features)) {
            (void)std::fputc(' ', stderr);
            (void)std::fwrite(row.name.data(), 1, row.name.size(), stderr);
        }
    }
    (void)std::fputc('\n', stderr);
    std::exit(EXIT_FAILURE);
}

namespace {

// Chosen at the first call: in a program, before main (below).
const kernel_row& chosen() noexcept
{
    static const kernel_row& row = kernel_for_run(std::getenv(kernel_variable));
    return row;
}

// A refused CONEMASK_KERNEL stops a program before it touches any file.
[[maybe_unused]] const kernel_row& chosen_before_main = chosen();

}  // namespace

std::string_view chosen_kernel_name()
{
    return chosen().name;
}

void classify_pixels(const cone& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count)
{
    chosen().entry(cone.constants(), rgb, samples, count);
}

}  // namespace conemask
