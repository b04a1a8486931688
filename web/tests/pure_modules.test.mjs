// SPDX-License-Identifier: MIT
// The page's modules that need neither the WebAssembly build nor a
// browser, under `node --test`: the sizes image headers state, the EXIF tag
// set upright, the regions of a fit, the names the printed lines carry and
// the settings' texts (a link's fragment, a pasted command line).
// Each header is laid out here as its format defines it, not as the reader
// reads it.
import assert from "node:assert/strict";
import { test } from "node:test";
import { stated_size } from "../decode.js";
import { set_upright } from "../reading.js";
import { clamp_regions, region_sizes, take_mean } from "../fit.js";
import { base_name, image_base, input_word, saved_name, shell_word } from "../names.js";
import { parse_fragment, shell_words } from "../settings_text.js";

const ascii = (text) => [...text].map((letter) => letter.charCodeAt(0));
const be32 = (n) => [n >>> 24, (n >>> 16) & 255, (n >>> 8) & 255, n & 255];
const be16 = (n) => [n >>> 8, n & 255];
const le16 = (n) => [n & 255, n >>> 8];
const le24 = (n) => [n & 255, (n >>> 8) & 255, n >>> 16];
const le32 = (n) => [...le16(n & 0xffff), ...le16(n >>> 16)];
const png_signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
const png = (cols, rows) => [...png_signature, ...be32(13), ...ascii("IHDR"), ...be32(cols), ...be32(rows), 8, 2, 0, 0, 0];
const webp = (chunk, body) => [...ascii("RIFF"), ...le32(4 + 8 + body.length), ...ascii("WEBP"), ...ascii(chunk),
                               ...le32(body.length), ...body];
// VP8X: flags, 3 reserved bytes, then width - 1 and height - 1 in 24 bits each.
const vp8x = (cols, rows) => webp("VP8X", [0, 0, 0, 0, ...le24(cols - 1), ...le24(rows - 1)]);
// VP8L: the signature byte, then width - 1 and height - 1 in 14 bits each.
const vp8l = (cols, rows) => webp("VP8L", [0x2f, ...le32((cols - 1) | ((rows - 1) << 14)), 0, 0, 0, 0, 0]);
// VP8 (lossy): a 3-byte frame tag, the start code, then 14-bit width and height.
const vp8 = (cols, rows) => webp("VP8 ", [0, 0, 0, 0x9d, 0x01, 0x2a, ...le16(cols), ...le16(rows), 0, 0]);
const segment = (marker, body) => [0xff, marker, ...be16(body.length + 2), ...body];
const frame = (marker, cols, rows) => segment(marker, [8, ...be16(rows), ...be16(cols), 3, 1, 0x11, 0]);
const jfif = segment(0xe0, [...ascii("JFIF"), 0, 1, 1, 0, 0, 1, 0, 1, 0, 0]);
const huffman = segment(0xc4, new Array(20).fill(0));
const jpeg = (...segments) => [0xff, 0xd8, ...segments.flat(), 0xff, 0xd9];

const sizes = [
    ["PNG", png(640, 480), { cols: 640, rows: 480 }],
    ["PNG of 2^31 columns", png(2 ** 31, 1), { cols: 2 ** 31, rows: 1 }],
    ["PNG cut inside IHDR", png(640, 480).slice(0, 23), null],
    ["WebP VP8X", vp8x(4000, 3000), { cols: 4000, rows: 3000 }],
    ["WebP VP8X at 2^24", vp8x(2 ** 24, 1), { cols: 2 ** 24, rows: 1 }],
    ["WebP VP8L", vp8l(16384, 3), { cols: 16384, rows: 3 }],
    ["WebP VP8", vp8(1023, 767), { cols: 1023, rows: 767 }],
    ["WebP of an unknown chunk", webp("VP9 ", new Array(20).fill(0)), null],
    ["JPEG baseline after JFIF", jpeg(jfif, frame(0xc0, 4032, 3024)), { cols: 4032, rows: 3024 }],
    ["JPEG progressive after a Huffman table", jpeg(huffman, frame(0xc2, 7, 5)), { cols: 7, rows: 5 }],
    ["JPEG with fill bytes before the frame", jpeg(jfif, [0xff, 0xff], frame(0xc1, 9, 8)), { cols: 9, rows: 8 }],
    ["JPEG without a frame", jpeg(jfif, huffman), null],
    ["text", ascii("not an image at all, just words"), null],
];
for (const [name, bytes, expected] of sizes) {
    test(`stated_size: ${name}`, () => assert.deepEqual(stated_size(new Uint8Array(bytes)), expected));
}

// The tag's value at `at`, in either byte order, as 16 or 32 bits.
const tags = [
    ["short, big-endian", { at: 10, little: false, is_long: false }, 6],
    ["short, little-endian", { at: 11, little: true, is_long: false }, 8],
    ["long, big-endian", { at: 4, little: false, is_long: true }, 3],
    ["long, little-endian", { at: 17, little: true, is_long: true }, 5],
];
for (const [name, tag, value] of tags) {
    test(`set_upright: ${name}`, () => {
        const bytes = Uint8Array.from({ length: 24 }, (_, i) => 100 + i);
        const size = tag.is_long ? 4 : 2;
        const view = new DataView(bytes.buffer);
        if (tag.is_long) view.setUint32(tag.at, value, tag.little);
        else view.setUint16(tag.at, value, tag.little);
        const before = bytes.slice();
        const upright = set_upright(bytes, tag);
        assert.deepEqual(bytes, before, "the photograph's own bytes stay");
        const read = new DataView(upright.buffer);
        assert.equal(tag.is_long ? read.getUint32(tag.at, tag.little) : read.getUint16(tag.at, tag.little), 1);
        for (let i = 0; i < bytes.length; ++i) {
            if (i < tag.at || i >= tag.at + size) assert.equal(upright[i], bytes[i], `byte ${i}`);
        }
    });
}

// Rectangles (inclusive) on a raster of 20 rows and 30 columns.
const rectangle = (left, top, right, bottom, mode = "take") => ({ left, top, right, bottom, mode });
const regions = [
    ["one to take", [rectangle(0, 0, 9, 9)], { take: 100, leave: 0 }],
    ["corners given backwards", [rectangle(9, 9, 0, 0)], { take: 100, leave: 0 }],
    ["a hole to leave in one to take", [rectangle(0, 0, 9, 9), rectangle(2, 2, 3, 3, "leave")], { take: 96, leave: 4 }],
    ["the hole given first", [rectangle(2, 2, 3, 3, "leave"), rectangle(0, 0, 9, 9)], { take: 96, leave: 4 }],
    ["two to take overlapping, counted once", [rectangle(0, 0, 9, 0), rectangle(5, 0, 14, 0)], { take: 15, leave: 0 }],
    ["past the raster's corner, clamped", [rectangle(25, 15, 40, 40)], { take: 25, leave: 0 }],
    ["wholly off the raster, dropped", [rectangle(30, 0, 35, 5), rectangle(-5, -5, -1, -1)], { take: 0, leave: 0 }],
    ["only to leave", [rectangle(0, 0, 1, 1, "leave")], { take: 0, leave: 4 }],
];
for (const [name, drawn, expected] of regions) {
    test(`region_sizes: ${name}`, () => assert.deepEqual(region_sizes(clamp_regions(drawn, 20, 30), 30), expected));
}

// The mean of the pixels to take, rounded halves up; the raster's pixel
// (row, col) is [row, col, row + col].
const raster = Uint8Array.from({ length: 3 * 20 * 30 }, (_, i) => {
    const pixel = Math.floor(i / 3), row = Math.floor(pixel / 30), col = pixel % 30;
    return [row, col, row + col][i % 3];
});
const means = [
    ["one pixel", [rectangle(4, 7, 4, 7)], [7, 4, 11]],
    ["a half rounds up", [rectangle(0, 0, 1, 0)], [0, 1, 1]],
    ["the hole's pixels left out", [rectangle(0, 0, 2, 0), rectangle(2, 0, 2, 0, "leave")], [0, 1, 1]],
    ["nothing to take", [rectangle(0, 0, 1, 1, "leave")], null],
];
for (const [name, drawn, expected] of means) {
    test(`take_mean: ${name}`, () => assert.deepEqual(take_mean(clamp_regions(drawn, 20, 30), 30, () => raster), expected));
}

const names = [
    ["shell_word: plain", shell_word, "photo-1.jpg", "photo-1.jpg"],
    ["shell_word: a space", shell_word, "a b.jpg", "'a b.jpg'"],
    ["shell_word: a quote", shell_word, "it's.jpg", "'it'\\''s.jpg'"],
    ["shell_word: a dollar", shell_word, "$HOME", "'$HOME'"],
    ["input_word: a leading dash", input_word, "-rotate.jpg", "./-rotate.jpg"],
    ["input_word: a format prefix", input_word, "png:x.jpg", "./png:x.jpg"],
    ["input_word: a list", input_word, "@list", "./@list"],
    ["base_name: last extension only", base_name, "dir/photo.tar.gz", "photo.tar"],
    ["base_name: a Windows path", base_name, "C:\\photos\\coffee.jpg", "coffee"],
    ["base_name: a leading dot kept", base_name, ".hidden", ".hidden"],
    ["saved_name: characters a file system refuses", saved_name, "a:b*c?.raw", "a_b_c_.raw"],
    ["saved_name: dots and spaces trimmed", saved_name, " .x. ", "x"],
    ["saved_name: nothing left", saved_name, "...", "download"],
    ["image_base: a leading dot dropped", image_base, ".x.jpg", "x"],
    ["image_base: nothing left", image_base, "....jpg", "photo"],
];
for (const [name, convert, text, expected] of names) {
    test(name, () => assert.equal(convert(text), expected));
}

// A name quoted by the page's printed lines comes back whole from a pasted line.
const awkward_names = ["plain.rgb", "a b.rgb", "it's.rgb", "\"quoted\".rgb", "back\\slash.rgb", "$HOME.rgb", "tab\there"];
for (const name of awkward_names) {
    test(`shell_words reads shell_word back: ${JSON.stringify(name)}`,
         () => assert.deepEqual(shell_words(`conemask ${shell_word(name)} 1`), ["conemask", name, "1"]));
}
const lines = [
    ["blanks run together", "  a \t b  ", ["a", "b"]],
    ["double quotes keep \\ \" \\$ and \\` escapes only", '"a\\"b\\n"', ['a"b\\n']],
    ["a backslash outside quotes", "a\\ b", ["a b"]],
    ["quotes joined to a word", "x'y z'\"w\"", ["xy zw"]],
    ["an empty quoted word", "a '' b", ["a", "", "b"]],
    ["a single quote left open", "a 'b", null],
    ["a double quote left open", 'a "b', null],
];
for (const [name, line, expected] of lines) {
    test(`shell_words: ${name}`, () => assert.deepEqual(shell_words(line), expected));
}

const fragments = [
    ["all three", "ref=180,40,15&theta=0.12&thresh=10", { red: "180", green: "40", blue: "15", theta: "0.12", thresh: "10" }],
    ["theta alone", "theta=-inf", { theta: "-inf" }],
    ["signs kept as typed (a plus encoded)", "ref=%2B1,-2,3", { red: "+1", green: "-2", blue: "3" }],
    ["an unknown key", "ref=1,2,3&zoom=2", /"zoom"/],
    ["two parts of ref", "ref=1,2", /three whole numbers/],
    ["a theta that is no number", "theta=0x1p-3", /radians/],
    ["a theta of 100 characters", `theta=${"1".repeat(100)}`, /radians/],
    ["a thresh with a point", "thresh=1.5", /whole number/],
    ["nothing named", "", /names no operand/],
];
for (const [name, fragment, expected] of fragments) {
    test(`parse_fragment: ${name}`, () => {
        const parsed = parse_fragment(fragment);
        if (expected instanceof RegExp) assert.match(parsed.message, expected);
        else assert.deepEqual(parsed, expected);
    });
}
