// SPDX-License-Identifier: MIT
// Classification in bulk: find_angle followed by decide_sample for a block of
// pixels, bit-identical to them, through the fastest kernel this processor
// runs. The kernels live in classify_<instruction set>.cpp beside this unit,
// listed in kernel_table.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "conemask/colour_geometry.hpp"

namespace conemask {

// The batch decision's constants, the kernels' own (src/kernels/cone_constants.hpp).
struct cone_constants;

// What the batch decision needs, fixed once per run by make_cone(): opaque
// to its callers, shared by its copies.
class cone {
public:
    explicit cone(std::shared_ptr<const cone_constants> constants) noexcept : constants_(std::move(constants)) {}
    [[nodiscard]] const cone_constants& constants() const noexcept { return *constants_; }

private:
    std::shared_ptr<const cone_constants> constants_;
};

cone make_cone(const colour& reference, float max_angle, std::int32_t thresh);

// Classifies `count` pixels of three bytes each into samples, bit-identical
// to find_angle and decide_sample for every input. Uses the kernel chosen
// once for this processor.
void classify_pixels(const cone& cone, const std::uint8_t* rgb, std::int16_t* samples, std::size_t count);

// The name of the kernel classify_pixels uses on this processor.
std::string_view chosen_kernel_name();

}  // namespace conemask
