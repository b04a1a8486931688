// SPDX-License-Identifier: MIT
#include "jpeg_entropy.hpp"

#include <algorithm>
#include <limits>

#include "decode_error.hpp"

namespace conemask::jpeg {

namespace {

// libjpeg reports the Huffman-coded bytes left between a scan's (or a
// restart interval's) last block and the marker after it only when they did
// not fit in its 64-bit bit buffer, which it fills ahead of need. So more
// than 8 are always reported, fewer perhaps not: the rule refuses the first.
constexpr std::size_t unseen_trailing_bytes = 8;

// A coefficient's bit in a block's set of nonzero ones; past the last, the
// last, as libjpeg's padded zigzag table has it.
std::uint64_t coefficient_bit(unsigned k) { return std::uint64_t{1} << std::min(k, last_coefficient); }

}  // namespace

// The bits of Huffman-coded data as libjpeg takes them: a stuffed FF 00 is
// FF, and a marker ends the data, so that a bit wanted past it is a warning.
// Bytes are taken ahead of need, up to the marker; only a bit wanted and
// missing is refused.
class bit_reader {
public:
    bit_reader(std::span<const std::uint8_t> file, std::size_t at) : file_(file), at_(at) {}

    unsigned take(unsigned n)
    {
        if (count_ < n) {
            fill();
            if (count_ < n) {
                stopped();
            }
        }
        count_ -= n;
        return static_cast<unsigned>(buffer_ >> count_) & ((1U << n) - 1);
    }

    // A code of `table`: a short one found at once, any other taken a bit at
    // a time as libjpeg's slow path takes them (17 before it gives up on a
    // code that no table holds), so that the same codes are refused.
    unsigned decode(const huffman_table& table)
    {
        if (count_ < lookahead_bits) {
            fill();
        }
        if (count_ >= lookahead_bits) {
            const std::uint16_t found = table.lookahead[(buffer_ >> (count_ - lookahead_bits)) & lookahead_mask];
            if (found != 0) {
                count_ -= found >> 8U;
                return found & 0xFFU;
            }
        }
        std::int32_t code = static_cast<std::int32_t>(take(1));
        unsigned length = 1;
        while (code > table.max_code[length]) {
            code = static_cast<std::int32_t>(static_cast<std::uint32_t>(code) << 1U | take(1));
            ++length;
        }
        if (length > longest_code) {
            corrupt("bad Huffman code");
        }
        return table.values[static_cast<std::size_t>(code + table.value_offset[length]) & 0xFFU];
    }

    // Where the marker after the data is sought from: the marker itself when
    // few enough bytes are left before it to go unseen, else the first of
    // them, for next_marker to refuse.
    [[nodiscard]] std::size_t end_of_data() const
    {
        const std::size_t buffered = count_ / 8;
        const std::size_t first_left = buffered != 0 ? offsets_[(loaded_ - buffered) % offsets_.size()] : at_;
        std::size_t data = buffered;
        for (std::size_t at = at_;; ++data) {
            const std::size_t next = after_fill(at);
            if (next != at && file_[next] != 0) {
                return data > unseen_trailing_bytes ? first_left : at;
            }
            at = next + 1;
        }
    }

    // The restart marker `number` after an interval's last block.
    void restart(unsigned number)
    {
        std::size_t at = end_of_data();
        const std::uint8_t marker = next_marker(file_, at);
        if (marker != rst0 + number) {
            corrupt("found marker " + hex_byte(marker) + " instead of RST" + std::to_string(number));
        }
        at_ = at;
        count_ = 0;
        stop_ = stop::none;
    }

private:
    enum class stop : std::uint8_t { none, marker, file_end };

    // The byte after the FF bytes that start at `at`: `at` itself when it
    // is not FF, the file's size where the file ends first.
    [[nodiscard]] std::size_t past_fill(std::size_t at) const
    {
        if (at >= file_.size() || file_[at] != 0xFF) {
            return at;
        }
        do {
            ++at;
        } while (at < file_.size() && file_[at] == 0xFF);
        return at;
    }

    // The same, where a file that ends there ends early.
    [[nodiscard]] std::size_t after_fill(std::size_t at) const
    {
        const std::size_t next = past_fill(at);
        if (next >= file_.size()) {
            ends_early();
        }
        return next;
    }

    // Whole bytes into the buffer, up to the marker or the file's end.
    void fill()
    {
        constexpr unsigned room = 64 - 8;
        while (count_ <= room && stop_ == stop::none) {
            const std::size_t next = past_fill(at_);
            if (next >= file_.size()) {
                stop_ = stop::file_end;
            } else if (next != at_ && file_[next] != 0) {
                stop_ = stop::marker;
            } else {
                buffer_ = buffer_ << 8U | file_[at_];
                offsets_[loaded_++ % offsets_.size()] = at_;
                at_ = next + 1;
                count_ += 8;
            }
        }
    }

    [[noreturn]] void stopped() const
    {
        if (stop_ == stop::marker) {
            corrupt("premature end of data segment");
        }
        ends_early();
    }

    std::span<const std::uint8_t> file_;
    std::size_t at_;  // the next byte not in the buffer
    std::uint64_t buffer_ = 0;
    unsigned count_ = 0;
    stop stop_ = stop::none;
    std::array<std::size_t, 8> offsets_{};  // where the last 8 bytes taken start in the file
    std::size_t loaded_ = 0;
};

std::optional<std::size_t> entropy_reader::read_scan(std::span<const std::uint8_t> file,
                                                     std::span<const std::uint8_t> header, std::size_t at)
{
    if (!followed_) {
        return std::nullopt;
    }
    const std::optional<scan> s = scan_of(header);
    if (!s || !followed_) {
        followed_ = false;
        return std::nullopt;
    }
    const frame_component& alone = components_[s->component[0]];
    const std::size_t mcus = s->count == 1 ? alone.blocks_wide * alone.blocks_high : mcus_wide_ * mcus_high_;
    bit_reader bits(file, at);
    end_of_band_run_ = 0;
    unsigned next_restart = 0;
    for (std::size_t mcu = 0; mcu < mcus; ++mcu) {
        if (restart_interval_ != 0 && mcu != 0 && mcu % restart_interval_ == 0) {
            bits.restart(next_restart);
            next_restart = (next_restart + 1) % 8;
            end_of_band_run_ = 0;
        }
        read_mcu(bits, *s, mcu);
    }
    return bits.end_of_data();
}

void entropy_reader::read_mcu(bit_reader& bits, const scan& s, std::size_t mcu)
{
    if (s.count == 1) {
        read_block(bits, s, 0, mcu);
        return;
    }
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        const frame_component& c = components_[s.component[slot]];
        for (unsigned b = 0; b < c.h * c.v; ++b) {
            read_block(bits, s, slot, 0);  // no AC in a scan of several: no block's coefficients kept
        }
    }
}

void entropy_reader::read_block(bit_reader& bits, const scan& s, std::size_t slot, std::size_t block)
{
    if (!progressive_ || (s.first == 0 && s.high_bit == 0)) {
        const unsigned size = bits.decode(*s.dc[slot]);
        (void)bits.take(size);
    } else if (s.first == 0) {
        (void)bits.take(1);
    }
    if (!progressive_) {
        for (unsigned k = 1; k <= last_coefficient; ++k) {
            const unsigned code = bits.decode(*s.ac[slot]);
            const unsigned run = code >> 4U;
            const unsigned size = code & 0xFU;
            if (size == 0 && run != 15) {
                break;  // end of block
            }
            k += run;
            (void)bits.take(size);
        }
    } else if (s.first != 0) {
        std::uint64_t& nonzero = components_[s.component[slot]].nonzero[block];
        if (s.high_bit == 0) {
            read_first_ac(bits, s, nonzero);
        } else {
            refine_ac(bits, s, nonzero);
        }
    }
}

void entropy_reader::read_first_ac(bit_reader& bits, const scan& s, std::uint64_t& nonzero)
{
    if (end_of_band_run_ > 0) {
        --end_of_band_run_;
        return;
    }
    for (unsigned k = s.first; k <= s.last; ++k) {
        const unsigned code = bits.decode(*s.ac[0]);
        const unsigned run = code >> 4U;
        const unsigned size = code & 0xFU;
        if (size != 0) {
            k += run;
            (void)bits.take(size);
            nonzero |= coefficient_bit(k);
        } else if (run == 15) {
            k += 15;
        } else {
            end_of_band_run_ = (1U << run) + (run != 0 ? bits.take(run) : 0) - 1;
            break;
        }
    }
}

// libjpeg's decode_mcu_AC_refine: a correction bit for every coefficient
// already nonzero, in the order it reads them.
void entropy_reader::refine_ac(bit_reader& bits, const scan& s, std::uint64_t& nonzero)
{
    unsigned k = s.first;
    for (; end_of_band_run_ == 0 && k <= s.last; ++k) {
        const unsigned code = bits.decode(*s.ac[0]);
        int run = static_cast<int>(code >> 4U);
        const unsigned size = code & 0xFU;
        if (size != 0) {
            if (size != 1) {
                corrupt("bad Huffman code");
            }
            (void)bits.take(1);
        } else if (run != 15) {
            end_of_band_run_ = (1U << static_cast<unsigned>(run)) + (run != 0 ? bits.take(static_cast<unsigned>(run)) : 0);
            break;
        }
        for (; k <= s.last; ++k) {
            if ((nonzero & coefficient_bit(k)) != 0) {
                (void)bits.take(1);
            } else if (--run < 0) {
                break;
            }
        }
        if (size != 0) {
            nonzero |= coefficient_bit(k);
        }
    }
    if (end_of_band_run_ > 0) {
        for (; k <= s.last; ++k) {
            if ((nonzero & coefficient_bit(k)) != 0) {
                (void)bits.take(1);
            }
        }
        --end_of_band_run_;
    }
}

}  // namespace conemask::jpeg
