// SPDX-License-Identifier: MIT
// The page's PNG reader (reading.js, through the module's reading rules)
// against ImageMagick's conversion (the line the page prints), under node, on every one of the 65,536 16-bit sample values: in
// each channel of an RGB image, in a grey one, and through each row filter;
// and as ImageMagick reads a file that says its light is linear (gAMA 1.0).
// Exits 77 (skipped) without ImageMagick.
//
//   node png_equals_imagemagick.mjs PAGE_DIR
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";
import { deflateSync } from "node:zlib";

const magick = "/usr/bin/convert";
if (!existsSync(magick)) {
    console.log("note: ImageMagick is not installed; skipped");
    process.exit(77);
}
const page = resolve(process.argv[2]);
const { hold_png } = await import(pathToFileURL(join(page, "reading.js")).href);
const { load_geometry } = await import(pathToFileURL(join(page, "geometry.js")).href);
const { conemask_module } = await import(pathToFileURL(join(page, "wasm_module.js")).href);
const geometry = await load_geometry(await conemask_module());

const side = 256;  // 256 x 256 pixels: every 16-bit value once
const crc_table = Uint32Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
});
function chunk(type, data) {
    const body = Buffer.concat([Buffer.from(type, "latin1"), data]);
    let c = 0xffffffff;
    for (const b of body) c = crc_table[(c ^ b) & 0xff] ^ (c >>> 8);
    const out = Buffer.alloc(12 + data.length);
    out.writeUInt32BE(data.length, 0);
    body.copy(out, 4);
    out.writeUInt32BE((c ^ 0xffffffff) >>> 0, 8 + data.length);
    return out;
}

// A 16-bit PNG whose pixel i holds channel(i, k) in channel k; each row
// stored with filter (row % 5), so that every filter is undone on its values.
function png16(colour_type, channels, gamma) {
    const header = Buffer.alloc(13);
    header.writeUInt32BE(side, 0);
    header.writeUInt32BE(side, 4);
    header[8] = 16;
    header[9] = colour_type;
    const row_bytes = side * 2 * channels.length;
    const raw = Buffer.alloc(side * (1 + row_bytes));
    let previous = Buffer.alloc(row_bytes);
    for (let y = 0; y < side; ++y) {
        const row = Buffer.alloc(row_bytes);
        for (let x = 0; x < side; ++x) {
            channels.forEach((channel, k) => row.writeUInt16BE(channel(y * side + x), 2 * (x * channels.length + k)));
        }
        const filter = y % 5, bpp = 2 * channels.length, at = y * (1 + row_bytes);
        raw[at] = filter;
        for (let i = 0; i < row_bytes; ++i) {
            const left = i >= bpp ? row[i - bpp] : 0, up = previous[i], corner = i >= bpp ? previous[i - bpp] : 0;
            const p = left + up - corner;
            const paeth = Math.abs(p - left) <= Math.abs(p - up) && Math.abs(p - left) <= Math.abs(p - corner)
                ? left : Math.abs(p - up) <= Math.abs(p - corner) ? up : corner;
            const predicted = [0, left, up, (left + up) >> 1, paeth][filter];
            raw[at + 1 + i] = (row[i] - predicted) & 0xff;
        }
        previous = row;
    }
    const gamma_chunk = gamma ? [chunk("gAMA", Buffer.from([0, 0, 0, 0].map((_, i) => (gamma >>> (24 - 8 * i)) & 0xff)))]
        : [];
    return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk("IHDR", header),
                          ...gamma_chunk, chunk("IDAT", deflateSync(raw)), chunk("IEND", Buffer.alloc(0))]);
}

// An 8-bit palette PNG of every index, with `before` chunks ahead of PLTE
// and `after` chunks between PLTE and IDAT: libpng ignores a gAMA or sRGB
// after PLTE, and ImageMagick then reads the colours as stored.
function palette_png(before, after) {
    const header = Buffer.from([0, 0, 0, 16, 0, 0, 0, 16, 8, 3, 0, 0, 0]);
    const palette = Buffer.alloc(768);
    for (let i = 0; i < 768; ++i) palette[i] = (i * 97) & 0xff;
    const raw = Buffer.alloc(16 * 17);
    for (let y = 0; y < 16; ++y) for (let x = 0; x < 16; ++x) raw[y * 17 + 1 + x] = y * 16 + x;
    const gamma = (value) => chunk("gAMA", Buffer.from([value >>> 24, (value >>> 16) & 255, (value >>> 8) & 255, value & 255]));
    const made = { gamma: gamma(100000), srgb: chunk("sRGB", Buffer.from([0])) };
    return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk("IHDR", header),
                          ...before.map((c) => made[c]), chunk("PLTE", palette), ...after.map((c) => made[c]),
                          chunk("IDAT", deflateSync(raw)), chunk("IEND", Buffer.alloc(0))]);
}

const chunk_orders = [
    { name: "palette-gamma-1-before-plte", bytes: () => palette_png(["gamma"], []) },
    { name: "palette-gamma-1-after-plte", bytes: () => palette_png([], ["gamma"]) },
    { name: "palette-srgb-after-plte-gamma-before", bytes: () => palette_png(["gamma"], ["srgb"]) },
];

const cases = [
    { name: "rgb-16", colour_type: 2, channels: [(i) => i, (i) => 65535 - i, (i) => (i * 40503) & 0xffff] },
    { name: "grey-16", colour_type: 0, channels: [(i) => i] },
    { name: "grey-alpha-16", colour_type: 4, channels: [(i) => 65535 - i, (i) => i] },
    // gAMA 1.0 and 2.2: linear light to ImageMagick, encoded as sRGB; 0.75, the last value it keeps as is.
    { name: "rgb-16-linear", colour_type: 2, channels: [(i) => i, (i) => 65535 - i, (i) => i], gamma: 100000 },
    { name: "grey-16-gamma-2.2", colour_type: 0, channels: [(i) => i], gamma: 220000 },
    { name: "grey-16-gamma-0.75", colour_type: 0, channels: [(i) => i], gamma: 75000 },
];
const work = mkdtempSync(join(tmpdir(), "conemask-png-"));
let failures = 0;
try {
    const all = [...cases.map((c) => ({ name: c.name, bytes: () => png16(c.colour_type, c.channels, c.gamma) })),
                 ...chunk_orders];
    for (const { name, bytes: make } of all) {
        const path = join(work, `${name}.png`);
        const bytes = make();
        writeFileSync(path, bytes);
        execFileSync(magick, [path, "-auto-orient", "-alpha", "off", "-colorspace", "sRGB", "-depth", "8",
                              `rgb:${join(work, name)}.rgb`]);
        const expected = readFileSync(join(work, `${name}.rgb`));
        await hold_png(geometry, new Uint8Array(bytes), name, async () => {});
        const rgb = geometry.raster_bytes();
        let differing = 0;
        for (let i = 0; i < expected.length; ++i) differing += rgb[i] !== expected[i];
        const ok = differing === 0 && rgb.length === expected.length;
        failures += !ok;
        console.log(`${ok ? "ok  " : "FAIL"} ${name}: ${differing} of ${expected.length} samples differ from ImageMagick's`);
    }
} finally {
    rmSync(work, { recursive: true, force: true });
}
process.exit(failures ? 1 : 0);
