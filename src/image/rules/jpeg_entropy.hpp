// SPDX-License-Identifier: MIT
// The Huffman-coded data of a JPEG's scans, read as libjpeg's decoder reads
// it, block by block, without the transforms: enough to find where libjpeg
// would warn. Internal to the damage rule (jpeg_damage.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace conemask::jpeg {

inline constexpr std::uint8_t rst0 = 0xD0;
inline constexpr std::uint8_t rst7 = 0xD7;
inline constexpr unsigned last_coefficient = 63;
inline constexpr unsigned longest_code = 16;
inline constexpr std::size_t max_components_in_scan = 4;
inline constexpr unsigned lookahead_bits = 9;
inline constexpr unsigned lookahead_mask = (1U << lookahead_bits) - 1;

// libjpeg's own words for each damage (its JWRN_ and JERR_ texts), which
// conemask-image reports as "JPEG: " and the text.
[[noreturn]] void refuse(const std::string& what);
[[noreturn]] void ends_early();
[[noreturn]] void corrupt(const std::string& what);
std::string hex_byte(std::uint8_t value);

inline std::size_t be16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return std::size_t{bytes[at]} << 8U | bytes[at + 1];
}

// The marker from `at` on, as libjpeg's next_marker finds it: bytes other
// than a marker are refused, counted as it counts them. `at` is left after
// the marker.
std::uint8_t next_marker(std::span<const std::uint8_t> bytes, std::size_t& at);

// A Huffman table in the form libjpeg decodes by: the largest code of each
// length (-1 where there is none) and where that length's values start;
// and, for the next 9 bits, the length and value of a code that short
// (length << 8 | value), or 0.
struct huffman_table {
    std::array<std::uint16_t, 1U << lookahead_bits> lookahead{};
    std::array<std::int32_t, 18> max_code{};
    std::array<std::int32_t, 17> value_offset{};
    std::array<std::uint8_t, 256> values{};
};

class bit_reader;

struct frame_component {
    std::uint8_t id = 0;
    unsigned h = 1;
    unsigned v = 1;
    std::size_t blocks_wide = 0;  // in a scan of this component alone
    std::size_t blocks_high = 0;
    std::vector<std::uint64_t> nonzero;  // progressive: a block's AC coefficients seen nonzero, by zigzag index
    std::array<int, last_coefficient + 1> coefficient_bits{};  // progressive: the last scan's Al, or -1 for none
};

// A scan's header: its components (indices into the frame's) with their
// tables, and Ss, Se, Ah and Al.
struct scan {
    std::array<std::size_t, max_components_in_scan> component{};
    std::array<const huffman_table*, max_components_in_scan> dc{};
    std::array<const huffman_table*, max_components_in_scan> ac{};
    std::size_t count = 0;
    unsigned first = 0;
    unsigned last = 0;
    unsigned high_bit = 0;
    unsigned low_bit = 0;
};

// The tables, frame and restart interval as the segments define them, and
// each scan's data read through them. Where the file uses what the reader
// does not follow (arithmetic coding, a table it does not define, a frame
// libjpeg refuses anyway), it stops following the file, and the caller
// skips the scans by their markers alone.
class entropy_reader {
public:
    void define_frame(std::uint8_t marker, std::span<const std::uint8_t> segment);
    void define_tables(std::span<const std::uint8_t> segment);
    void define_restart_interval(unsigned interval) { restart_interval_ = interval; }
    [[nodiscard]] unsigned restart_interval() const { return restart_interval_; }

    // The data of a scan (`header`: its SOS segment, from its length) from
    // `at`, read to its last block: the offset from which the marker that
    // ends it is sought, or nothing where the reader does not follow the
    // file. Throws decode_error where libjpeg would warn.
    std::optional<std::size_t> read_scan(std::span<const std::uint8_t> file, std::span<const std::uint8_t> header,
                                         std::size_t at);

private:
    std::optional<scan> scan_of(std::span<const std::uint8_t> header);
    void check_progression(const scan& s);
    void choose_tables(scan& s, std::span<const std::uint8_t> header);
    void read_mcu(bit_reader& bits, const scan& s, std::size_t mcu);
    void read_block(bit_reader& bits, const scan& s, std::size_t slot, std::size_t block);
    void read_first_ac(bit_reader& bits, const scan& s, std::uint64_t& nonzero);
    void refine_ac(bit_reader& bits, const scan& s, std::uint64_t& nonzero);

    bool followed_ = true;
    bool have_frame_ = false;
    bool progressive_ = false;
    unsigned restart_interval_ = 0;
    std::size_t mcus_wide_ = 0;
    std::size_t mcus_high_ = 0;
    std::vector<frame_component> components_;
    std::array<std::optional<huffman_table>, 8> tables_;  // DC 0-3, then AC 0-3; nothing where libjpeg refuses one
    std::array<bool, 8> defined_{};
    unsigned end_of_band_run_ = 0;
};

}  // namespace conemask::jpeg
