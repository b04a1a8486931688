// SPDX-License-Identifier: MIT
// Fuzzes the batch kernels against the scalar path: an arbitrary reference,
// max_angle and threshold, and a block of pixel bytes. Any difference in a
// sample aborts; the sanitizers catch anything undefined on the way,
// float-to-integer conversions included.
//
// Input: reference (3 x int32), max_angle (float bits), thresh (int32), then
// pixels of three bytes each.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "conemask/classify.hpp"
#include "kernel_table.hpp"

namespace {

template <typename T>
T take(const std::uint8_t*& data)
{
    T value;
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t header = 5 * 4;
    if (size < header) {
        return 0;
    }
    const std::uint8_t* cursor = data;
    conemask::colour reference{};
    for (std::int32_t& component : reference) {
        component = take<std::int32_t>(cursor);
    }
    const auto max_angle = take<float>(cursor);
    const auto thresh = take<std::int32_t>(cursor);
    const std::size_t count = (size - header) / 3;

    std::vector<std::int16_t> expected(count);
    for (std::size_t i = 0; i < count; ++i) {
        const conemask::colour pixel{cursor[3 * i], cursor[3 * i + 1], cursor[3 * i + 2]};
        float projection = 0.0F;
        const float angle = conemask::find_angle(reference, pixel, projection);
        expected[i] = conemask::decide_sample(angle, projection, max_angle, thresh);
    }

    const conemask::cone cone = conemask::make_cone(reference, max_angle, thresh);
    std::vector<std::int16_t> actual(count);
    for (const conemask::kernel_row& row : conemask::kernels_here()) {
        row.entry(cone.constants(), cursor, actual.data(), count);
        if (actual != expected) {
            std::abort();
        }
    }
    return 0;
}
