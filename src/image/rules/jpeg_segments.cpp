// SPDX-License-Identifier: MIT
// The segments a JPEG's Huffman-coded data is read by: the frame, the
// tables, each scan's header. Where libjpeg refuses one for certain, so
// does the rule, in its words; where it might read on (a table it would
// take from the standard), the rule stops following the file.
#include <algorithm>
#include <limits>
#include <numeric>
#include <string>

#include "jpeg_entropy.hpp"

namespace conemask::jpeg {

namespace {

constexpr unsigned max_sampling = 4;
constexpr unsigned max_blocks_in_mcu = 10;
constexpr unsigned block_side = 8;
constexpr std::size_t table_count = 4;

// The blocks whose nonzero coefficients a progressive frame's reading holds
// (8 bytes each): the 32 MiB of a 90-megapixel photograph's.
constexpr std::size_t max_tracked_blocks = std::size_t{1} << 22U;

std::size_t divide_up(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

// The table as jpeg_make_d_derived_tbl builds it, or nothing where libjpeg
// refuses it: a code of all ones, or more codes than their lengths hold.
std::optional<huffman_table> derive(std::span<const std::uint8_t> counts, std::span<const std::uint8_t> values)
{
    huffman_table table;
    std::copy(values.begin(), values.end(), table.values.begin());
    unsigned last_length = 0;
    for (unsigned l = 1; l <= longest_code; ++l) {
        last_length = counts[l - 1] != 0 ? l : last_length;
    }
    std::int32_t code = 0;
    std::int32_t symbol = 0;
    for (unsigned l = 1; l <= longest_code; ++l) {
        const auto count = static_cast<std::int32_t>(counts[l - 1]);
        table.max_code[l] = count != 0 ? code + count - 1 : -1;
        table.value_offset[l] = symbol - code;
        code += count;
        symbol += count;
        if (l <= last_length && code >= (std::int32_t{1} << l)) {
            return std::nullopt;
        }
        code <<= 1U;
    }
    table.max_code[longest_code + 1] = std::numeric_limits<std::int32_t>::max();  // ends every search
    for (unsigned l = 1; l <= lookahead_bits; ++l) {
        for (std::int32_t c = table.max_code[l] - counts[l - 1] + 1; counts[l - 1] != 0 && c <= table.max_code[l]; ++c) {
            const auto entry = static_cast<std::uint16_t>(l << 8U | table.values[static_cast<std::size_t>(c + table.value_offset[l]) & 0xFFU]);
            const unsigned first = static_cast<unsigned>(c) << (lookahead_bits - l);
            std::fill_n(table.lookahead.begin() + first, 1U << (lookahead_bits - l), entry);
        }
    }
    return table;
}

}  // namespace

void entropy_reader::define_frame(std::uint8_t marker, std::span<const std::uint8_t> segment)
{
    constexpr std::uint8_t baseline = 0xC0;
    constexpr std::uint8_t progressive = 0xC2;
    constexpr std::size_t header = 8;
    if (marker < baseline || marker > progressive || segment.size() < header) {
        followed_ = false;  // arithmetic coding; or libjpeg's own refusal
        return;
    }
    if (have_frame_) {
        refuse("Invalid JPEG file structure: two SOF markers");
    }
    const std::size_t height = be16(segment, 3);
    const std::size_t width = be16(segment, 5);
    const std::size_t count = segment[7];
    if (height == 0 || width == 0 || count == 0) {
        refuse("Empty JPEG image (DNL not supported)");
    }
    if (segment.size() != header + 3 * count) {
        refuse("Bogus marker length");
    }
    have_frame_ = true;
    progressive_ = marker == progressive;
    const auto sampling = [&](std::size_t c) { return segment[header + 3 * c + 1]; };
    unsigned max_h = 1;
    unsigned max_v = 1;
    for (std::size_t c = 0; c < count; ++c) {
        const unsigned h = sampling(c) >> 4U;
        const unsigned v = sampling(c) & 0xFU;
        if (h == 0 || h > max_sampling || v == 0 || v > max_sampling) {
            followed_ = false;
            return;
        }
        max_h = std::max(max_h, h);
        max_v = std::max(max_v, v);
    }
    mcus_wide_ = divide_up(width, std::size_t{max_h} * block_side);
    mcus_high_ = divide_up(height, std::size_t{max_v} * block_side);
    for (std::size_t c = 0; c < count; ++c) {
        frame_component component;
        component.id = segment[header + 3 * c];
        component.h = sampling(c) >> 4U;
        component.v = sampling(c) & 0xFU;
        component.blocks_wide = divide_up(width * component.h, std::size_t{max_h} * block_side);
        component.blocks_high = divide_up(height * component.v, std::size_t{max_v} * block_side);
        component.coefficient_bits.fill(-1);
        components_.push_back(component);
    }
    const std::size_t blocks =
        std::accumulate(components_.begin(), components_.end(), std::size_t{0},
                        [](std::size_t sum, const frame_component& c) { return sum + c.blocks_wide * c.blocks_high; });
    if (progressive_ && blocks > max_tracked_blocks) {
        followed_ = false;
        return;
    }
    for (frame_component& c : components_) {
        c.nonzero.assign(progressive_ ? c.blocks_wide * c.blocks_high : 0, 0);
    }
}

// As libjpeg's get_dht reads them: each table's class and number, its 16
// counts, its values.
void entropy_reader::define_tables(std::span<const std::uint8_t> segment)
{
    constexpr std::size_t counts_size = 16;
    constexpr unsigned ac_class = 0x10;
    std::size_t at = 2;
    while (segment.size() - at > counts_size) {
        const unsigned index = segment[at];
        const std::span<const std::uint8_t> counts = segment.subspan(at + 1, counts_size);
        const std::size_t values = std::accumulate(counts.begin(), counts.end(), std::size_t{0});
        at += 1 + counts_size;
        if (values > 256 || values > segment.size() - at) {
            refuse("Bogus Huffman table definition");
        }
        const unsigned number = (index & ac_class) != 0 ? index - ac_class : index;
        if (number >= table_count) {
            refuse("Bogus DHT index " + std::to_string(number));
        }
        tables_[(index & ac_class) != 0 ? table_count + number : number] = derive(counts, segment.subspan(at, values));
        defined_[(index & ac_class) != 0 ? table_count + number : number] = true;
        at += values;
    }
    if (at != segment.size()) {
        refuse("Bogus marker length");
    }
}

// As libjpeg's get_sos reads the header, and its decoder's start of pass
// checks it.
std::optional<scan> entropy_reader::scan_of(std::span<const std::uint8_t> header)
{
    if (!have_frame_) {
        refuse("Invalid JPEG file structure: SOS before SOF");
    }
    scan s;
    s.count = header.size() > 2 ? header[2] : 0;
    if (s.count == 0 || s.count > max_components_in_scan || header.size() != 6 + 2 * s.count) {
        refuse("Bogus marker length");
    }
    unsigned blocks_in_mcu = 0;
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::uint8_t id = header[3 + 2 * i];
        const auto found = std::find_if(components_.begin(), components_.end(),
                                        [&](const frame_component& c) { return c.id == id; });
        if (found == components_.end()) {
            refuse("Invalid component ID " + std::to_string(id) + " in SOS");
        }
        s.component[i] = static_cast<std::size_t>(found - components_.begin());
        if (std::count(s.component.begin(), s.component.begin() + static_cast<std::ptrdiff_t>(i + 1), s.component[i]) > 1) {
            return std::nullopt;  // libjpeg takes a component named twice in its own way
        }
        blocks_in_mcu += found->h * found->v;
    }
    const std::size_t tail = 3 + 2 * s.count;
    s.first = header[tail];
    s.last = header[tail + 1];
    s.high_bit = header[tail + 2] >> 4U;
    s.low_bit = header[tail + 2] & 0xFU;
    if (s.count > 1 && blocks_in_mcu > max_blocks_in_mcu) {
        return std::nullopt;
    }
    if (progressive_) {
        check_progression(s);
    } else if (s.first != 0 || s.last != last_coefficient || s.high_bit != 0 || s.low_bit != 0) {
        refuse("Invalid SOS parameters for sequential JPEG");
    }
    choose_tables(s, header);
    return s;
}

// libjpeg's checks of a progressive scan: its parameters (refused), then
// each coefficient's bits against those the scans before it sent (warned).
void entropy_reader::check_progression(const scan& s)
{
    const bool dc_band = s.first == 0;
    const bool bad = dc_band ? s.last != 0 : (s.first > s.last || s.last > last_coefficient || s.count != 1);
    if (bad || (s.high_bit != 0 && s.low_bit != s.high_bit - 1) || s.low_bit > 13) {
        refuse("Invalid progressive parameters Ss=" + std::to_string(s.first) + " Se=" + std::to_string(s.last) +
               " Ah=" + std::to_string(s.high_bit) + " Al=" + std::to_string(s.low_bit));
    }
    for (std::size_t i = 0; i < s.count; ++i) {
        std::array<int, last_coefficient + 1>& bits = components_[s.component[i]].coefficient_bits;
        const std::string component = std::to_string(s.component[i]);
        const auto inconsistent = [&](unsigned k) {
            refuse("Inconsistent progression sequence for component " + component + " coefficient " +
                   std::to_string(k));
        };
        if (!dc_band && bits[0] < 0) {
            inconsistent(0);
        }
        for (unsigned k = s.first; k <= s.last; ++k) {
            if (static_cast<int>(s.high_bit) != std::max(bits[k], 0)) {
                inconsistent(k);
            }
            bits[k] = static_cast<int>(s.low_bit);
        }
    }
}

// The tables the scan reads by: those libjpeg derives at its start. One
// it refuses is refused; one never defined it takes from the standard (0
// and 1) or refuses (2 and 3), and the rule stops following the file.
void entropy_reader::choose_tables(scan& s, std::span<const std::uint8_t> header)
{
    const bool dc_wanted = !progressive_ || (s.first == 0 && s.high_bit == 0);
    const bool ac_wanted = !progressive_ || s.first != 0;
    const auto chosen = [&](unsigned number, std::size_t first) -> const huffman_table* {
        if (number >= table_count || !defined_[first + number]) {
            followed_ = false;
            return nullptr;
        }
        if (!tables_[first + number]) {
            refuse("Bogus Huffman table definition");
        }
        return &*tables_[first + number];
    };
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::uint8_t selectors = header[4 + 2 * i];
        if (dc_wanted) {
            s.dc[i] = chosen(selectors >> 4U, 0);
            if (s.dc[i] != nullptr && std::any_of(s.dc[i]->values.begin(), s.dc[i]->values.end(),
                                                   [](std::uint8_t size) { return size > 15; })) {
                refuse("Bogus Huffman table definition");
            }
        }
        if (ac_wanted) {
            s.ac[i] = chosen(selectors & 0xFU, table_count);
        }
    }
}

}  // namespace conemask::jpeg
