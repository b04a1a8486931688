// SPDX-License-Identifier: MIT
#include "conemask/operands.hpp"

#include <cstring>
#include <string_view>

#include "scan_number.hpp"

namespace conemask {

namespace {

using numeric_text = std::array<char, numeric_operand_capacity>;

// Copies `text` into `buffer` when it fits with its NUL.
template <std::size_t capacity>
bool copy_bounded(const char* text, std::size_t max_length, std::array<char, capacity>& buffer)
{
    static_assert(capacity > 0);
    const std::size_t length = strnlen(text, max_length + 1);
    if (length > max_length || length >= capacity) {
        return false;
    }
    std::memcpy(buffer.data(), text, length);
    buffer[length] = '\0';
    return true;
}

}  // namespace

bool convert_integer(const char* text, std::int32_t& value)
{
    numeric_text buffer{};
    if (!copy_bounded(text, numeric_operand_capacity - 1, buffer)) {
        return false;
    }
    // Keep the low 32 bits, read as two's complement (well defined in C++20).
    value = static_cast<std::int32_t>(scan_integer(buffer.data()));
    return true;
}

bool convert_angle(const char* text, float& value)
{
    numeric_text buffer{};
    if (!copy_bounded(text, numeric_operand_capacity - 1, buffer)) {
        return false;
    }
    value = scan_float(buffer.data());
    return true;
}

bool copy_base_name(const char* text, file_name& base)
{
    return copy_bounded(text, max_base_name_length, base);
}

file_name derive_file_name(const file_name& base, const char* suffix)
{
    file_name name{};
    const std::size_t base_length = strnlen(base.data(), max_base_name_length);
    std::memcpy(name.data(), base.data(), base_length);
    std::memcpy(name.data() + base_length, suffix, file_name_suffix_length);
    name[base_length + file_name_suffix_length] = '\0';
    return name;
}

}  // namespace conemask
