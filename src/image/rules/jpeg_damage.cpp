// SPDX-License-Identifier: MIT
#include "jpeg_damage.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "decode_error.hpp"
#include "jpeg_entropy.hpp"

namespace conemask {

namespace jpeg {

// libjpeg's own words for each damage (its JWRN_ and JERR_ texts), which
// conemask-image reports as "JPEG: " and the text: the page, which has no
// libjpeg, then gives the same reason.
void refuse(const std::string& what)
{
    throw decode_error("JPEG: " + what);
}

void ends_early()
{
    throw decode_error("JPEG: Premature end of JPEG file");
}

void corrupt(const std::string& what)
{
    throw decode_error("JPEG: Corrupt JPEG data: " + what);
}

std::string hex_byte(std::uint8_t value)
{
    constexpr std::string_view digits = "0123456789abcdef";
    return {'0', 'x', digits[value >> 4U], digits[value & 0xFU]};
}

// Bytes other than a marker are skipped with a warning that counts them (a
// stuffed FF 00 as two).
std::uint8_t next_marker(std::span<const std::uint8_t> bytes, std::size_t& at)
{
    const auto next = [&] {
        if (at >= bytes.size()) {
            ends_early();
        }
        return bytes[at++];
    };
    std::size_t discarded = 0;
    std::uint8_t marker = 0;
    for (;;) {
        for (marker = next(); marker != 0xFF; marker = next()) {
            ++discarded;
        }
        do {
            marker = next();
        } while (marker == 0xFF);
        if (marker != 0) {
            break;
        }
        discarded += 2;
    }
    if (discarded != 0) {
        corrupt(std::to_string(discarded) + " extraneous bytes before marker " + hex_byte(marker));
    }
    return marker;
}

}  // namespace jpeg

namespace {

using namespace jpeg;

// The markers the rule tells apart besides RST0 to RST7: the start of a
// scan, which entropy-coded data follows; the end of the image; the restart
// interval; the frames and the Huffman tables, which that data is read by.
constexpr std::uint8_t start_of_scan = 0xDA;
constexpr std::uint8_t end_of_image = 0xD9;
constexpr std::uint8_t define_restart = 0xDD;
constexpr std::uint8_t define_tables = 0xC4;
constexpr std::uint8_t first_frame = 0xC0;
constexpr std::uint8_t last_frame = 0xCF;
constexpr std::uint8_t arithmetic_conditioning = 0xCC;
constexpr std::uint8_t jpg_extension = 0xC8;

// One scan's entropy-coded data from `at`, where the Huffman-coded data
// cannot be read (arithmetic coding, tables libjpeg refuses): the offset of
// the marker that ends it. A restart marker where none is called for stops
// libjpeg's decoder inside the data; one out of turn at an interval's end is
// found instead of the one expected.
std::size_t skip_entropy_coded(std::span<const std::uint8_t> bytes, std::size_t at, bool restarts)
{
    unsigned next_restart = 0;
    for (; at + 1 < bytes.size(); ++at) {
        if (bytes[at] != 0xFF || bytes[at + 1] == 0x00 || bytes[at + 1] == 0xFF) {
            continue;
        }
        const std::uint8_t marker = bytes[at + 1];
        if (marker < rst0 || marker > rst7) {
            return at;
        }
        if (!restarts) {
            corrupt("premature end of data segment");
        }
        if (unsigned{marker} != rst0 + next_restart) {
            corrupt("found marker " + hex_byte(marker) + " instead of RST" + std::to_string(next_restart));
        }
        next_restart = (next_restart + 1) % 8;
        ++at;
    }
    ends_early();
}

// An APPn or COM segment, whose data libjpeg passes over whatever its
// length says; it reads every other segment's fields.
bool skipped_whole(std::uint8_t marker)
{
    constexpr std::uint8_t app0 = 0xE0;
    constexpr std::uint8_t app15 = 0xEF;
    constexpr std::uint8_t comment = 0xFE;
    return (marker >= app0 && marker <= app15) || marker == comment;
}

}  // namespace

void check_jpeg_damage(std::span<const std::uint8_t> file)
{
    entropy_reader reader;
    std::size_t at = 2;  // after the start-of-image marker
    for (;;) {
        const std::uint8_t marker = next_marker(file, at);
        if (marker == end_of_image) {
            return;
        }
        if (marker >= rst0 && marker <= rst7) {
            continue;  // no length: libjpeg passes over a stray one between segments
        }
        if (at + 2 > file.size()) {
            ends_early();
        }
        const std::size_t length = be16(file, at);
        if (length < 2 && !skipped_whole(marker)) {
            refuse("Bogus marker length");
        }
        if (length < 2) {
            at += 2;  // libjpeg skips no data for it, and reads on after its length
            continue;
        }
        if (at + length > file.size()) {
            ends_early();
        }
        const std::span<const std::uint8_t> segment = file.subspan(at, length);
        at += length;
        if (marker == define_restart && length >= 4) {
            reader.define_restart_interval(static_cast<unsigned>(be16(segment, 2)));
        } else if (marker == define_tables) {
            reader.define_tables(segment);
        } else if (marker >= first_frame && marker <= last_frame && marker != jpg_extension &&
                   marker != arithmetic_conditioning) {
            reader.define_frame(marker, segment);
        } else if (marker == start_of_scan) {
            const std::optional<std::size_t> end = reader.read_scan(file, segment, at);
            at = end ? *end : skip_entropy_coded(file, at, reader.restart_interval() != 0);
        }
    }
}

}  // namespace conemask
