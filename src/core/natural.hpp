// SPDX-License-Identifier: MIT
// Exact integer arithmetic for scan_number.cpp's rounding. Internal.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace conemask::detail {

// An unsigned integer of any size, 32 bits a limb, least significant first,
// with no zero limb at the top: just what exact rounding needs.
class natural {
public:
    explicit natural(std::uint32_t value = 0)
    {
        if (value != 0) {
            limbs_.push_back(value);
        }
    }

    bool is_zero() const { return limbs_.empty(); }

    void multiply_add(std::uint32_t factor, std::uint32_t addend)
    {
        std::uint64_t carry = addend;
        for (std::uint32_t& limb : limbs_) {
            const std::uint64_t product = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(product);
            carry = product >> 32U;
        }
        if (carry != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(carry));
        }
    }

    void multiply_by_power_of_ten(std::int64_t exponent)
    {
        for (; exponent >= 9; exponent -= 9) {
            multiply_add(1000000000U, 0);
        }
        for (; exponent > 0; --exponent) {
            multiply_add(10U, 0);
        }
    }

    void shift_left(std::size_t bits)
    {
        if (is_zero()) {
            return;
        }
        const std::size_t whole = bits / 32;
        const unsigned part = bits % 32;
        if (part != 0) {
            std::uint32_t carry = 0;
            for (std::uint32_t& limb : limbs_) {
                const std::uint32_t next = limb >> (32U - part);
                limb = limb << part | carry;
                carry = next;
            }
            if (carry != 0) {
                limbs_.push_back(carry);
            }
        }
        limbs_.insert(limbs_.begin(), whole, 0U);
    }

    std::size_t bit_length() const
    {
        return is_zero() ? 0 : 32 * (limbs_.size() - 1) + static_cast<std::size_t>(std::bit_width(limbs_.back()));
    }

    friend int compare(const natural& a, const natural& b)
    {
        if (a.limbs_.size() != b.limbs_.size()) {
            return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        }
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i]) {
                return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
            }
        }
        return 0;
    }

    // *this -= other, for other <= *this.
    void subtract(const natural& other)
    {
        std::uint64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            const std::uint64_t take = (i < other.limbs_.size() ? other.limbs_[i] : 0U) + borrow;
            borrow = limbs_[i] < take ? 1 : 0;
            limbs_[i] = static_cast<std::uint32_t>((std::uint64_t{1} << 32U) * borrow + limbs_[i] - take);
        }
        while (!limbs_.empty() && limbs_.back() == 0) {
            limbs_.pop_back();
        }
    }

private:
    std::vector<std::uint32_t> limbs_;
};

}  // namespace conemask::detail
