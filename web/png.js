// SPDX-License-Identifier: MIT
// PNG read from the file's own bytes, so that the page holds the values
// ImageMagick's conversion writes: a canvas would premultiply alpha and keep
// only the high byte of 16-bit samples. The browser only inflates.
// Alpha and tRNS are ignored; a colour profile or eXIf is not applied
// (ImageMagick's conversion does not apply them either), and gamma only
// where ImageMagick applies it (a file it takes for linear light).

const png_signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
// Samples a pixel for each colour type; the bit depths each allows.
const png_colour_types = {
    0: { samples: 1, depths: [1, 2, 4, 8, 16] },   // grey
    2: { samples: 3, depths: [8, 16] },            // RGB
    3: { samples: 1, depths: [1, 2, 4, 8] },       // palette
    4: { samples: 2, depths: [8, 16] },            // grey, alpha
    6: { samples: 4, depths: [8, 16] },            // RGB, alpha
};
// Adam7: each pass's first row and column, and its steps.
const png_adam7 = [
    [0, 0, 8, 8], [0, 4, 8, 8], [4, 0, 8, 4], [0, 2, 4, 4], [2, 0, 4, 2], [0, 1, 2, 2], [1, 0, 2, 1],
];
const png_critical = new Set(["IHDR", "PLTE", "IDAT", "IEND"]);

const png_crc_table = Uint32Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) {
        c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    }
    return c >>> 0;
});

function png_crc32(bytes) {
    let c = 0xffffffff;
    for (let i = 0; i < bytes.length; ++i) {
        c = png_crc_table[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    }
    return (c ^ 0xffffffff) >>> 0;
}

// A 16-bit sample as ImageMagick's "-depth 8" writes it: truncated, not
// rounded, for every one of the 65,536 values (web/tests checks them all).
export const reduce_16 = (value) => Math.floor(value / 257);

// ImageMagick reads a PNG whose gAMA exceeds 0.75 (and that has no sRGB
// chunk, which libpng lets win) as linear light, and "-colorspace sRGB"
// then encodes each 16-bit sample with the sRGB curve, rounded, before the
// reduction to 8 bits. libpng ignores a gAMA outside 16..625000000.
const png_linear_above = 75000;
const png_gamma_range = [16, 625_000_000];
export function linear_to_srgb_16(value) {
    const x = value / 65535;
    const encoded = x <= 0.0031306684425005883 ? Math.fround(12.92) * value
        : 65535 * (1.055 * Math.pow(x, 1 / 2.4) - 0.055);
    return Math.min(65535, Math.max(0, Math.floor(encoded + 0.5)));
}

function png_is_linear(chunks) {
    // libpng reads either only before the image data, and an sRGB chunk only
    // with a rendering intent it knows.
    const before = chunks.slice(0, chunks.findIndex((c) => c.type === "IDAT"));
    const gamma = before.find((c) => c.type === "gAMA" && c.data.length === 4);
    if (!gamma || before.some((c) => c.type === "sRGB" && c.data.length === 1 && c.data[0] <= 3)) return false;
    const value = new DataView(gamma.data.buffer, gamma.data.byteOffset, 4).getUint32(0);
    return value >= png_gamma_range[0] && value <= png_gamma_range[1] && value > png_linear_above;
}

export function is_png(bytes) {
    return bytes.length >= 8 && png_signature.every((b, i) => bytes[i] === b);
}

// The chunks, each checked: a damaged image chunk is refused, as libpng
// refuses it.
function png_chunks(bytes, name) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const chunks = [];
    for (let at = 8; ;) {
        if (at + 12 > bytes.length) {
            throw new Error(`${name} is a PNG file cut short`);
        }
        const length = view.getUint32(at);
        const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
        if (length > bytes.length - at - 12) {
            throw new Error(`${name} is a PNG file cut short`);
        }
        const data = bytes.subarray(at + 8, at + 8 + length);
        const sound = png_crc32(bytes.subarray(at + 4, at + 8 + length)) === view.getUint32(at + 8 + length);
        if (!sound && png_critical.has(type)) {
            throw new Error(`${name} is a damaged PNG file (the ${type} chunk's check fails)`);
        }
        // A damaged ancillary chunk is dropped, as libpng drops it.
        if (sound) chunks.push({ type, data });
        at += 12 + length;
        if (type === "IEND") {
            return chunks;
        }
    }
}

// Inflates into exactly `length` bytes; a stream that ends short is refused.
async function png_inflate(parts, length, name) {
    const stream = new Blob(parts).stream().pipeThrough(new DecompressionStream("deflate"));
    const out = new Uint8Array(length);
    let filled = 0;
    const reader = stream.getReader();
    try {
        for (;;) {
            const { done, value } = await reader.read();
            if (done) break;
            const take = Math.min(value.length, length - filled);
            out.set(value.subarray(0, take), filled);
            filled += take;
            if (filled === length) {
                // Trailing data after the last row is ignored, as libpng does.
                reader.cancel().catch(() => {});
                break;
            }
        }
    } catch {
        if (filled < length) {
            throw new Error(`${name} is a damaged PNG file (its image data does not inflate)`);
        }
    }
    if (filled < length) {
        throw new Error(`${name} is a PNG file whose image data ends early`);
    }
    return out;
}

// Undoes the row filters of one pass in place; returns the offset after it.
// One loop a filter: the filter is the same along a row.
function png_unfilter(data, at, rows, row_bytes, pixel_bytes, name) {
    let previous = new Uint8Array(row_bytes);  // above the first row: zeros
    for (let y = 0; y < rows; ++y) {
        const filter = data[at];
        const row = data.subarray(at + 1, at + 1 + row_bytes);
        const n = pixel_bytes;
        switch (filter) {
        case 0:
            break;
        case 1:
            for (let i = n; i < row_bytes; ++i) row[i] += row[i - n];
            break;
        case 2:
            for (let i = 0; i < row_bytes; ++i) row[i] += previous[i];
            break;
        case 3:
            for (let i = 0; i < n; ++i) row[i] += previous[i] >> 1;
            for (let i = n; i < row_bytes; ++i) row[i] += (row[i - n] + previous[i]) >> 1;
            break;
        case 4:
            for (let i = 0; i < n; ++i) row[i] += previous[i];
            for (let i = n; i < row_bytes; ++i) {
                const left = row[i - n], up = previous[i], corner = previous[i - n];
                const pa = Math.abs(up - corner), pb = Math.abs(left - corner), pc = Math.abs(left + up - 2 * corner);
                row[i] += pa <= pb && pa <= pc ? left : pb <= pc ? up : corner;
            }
            break;
        default:
            throw new Error(`${name} is a damaged PNG file (row filter ${filter})`);
        }
        previous = row;
        at += 1 + row_bytes;
    }
    return at;
}

// 16-bit samples to 8 bits, by table: a division a sample is most of the time.
const png_reduce_tables = new Map();
function png_reduce_table(linear) {
    if (!png_reduce_tables.has(linear)) {
        png_reduce_tables.set(linear, Uint8Array.from({ length: 65536 },
            (_, v) => reduce_16(linear ? linear_to_srgb_16(v) : v)));
    }
    return png_reduce_tables.get(linear);
}

// One row of samples into the raster, `count` pixels from `o`, `step`
// pixels apart (Adam7's passes leave gaps).
function png_copy_row(image, data, row, rgb, o, step, count) {
    const { depth, colour_type, samples, palette, name, linear } = image;
    const out_step = 3 * step;
    if (depth === 16) {
        const table = png_reduce_table(linear), bytes = 2 * samples;
        for (let x = 0, p = row; x < count; ++x, p += bytes, o += out_step) {
            const first = table[(data[p] << 8) | data[p + 1]];
            if (samples >= 3) {
                rgb[o] = first;
                rgb[o + 1] = table[(data[p + 2] << 8) | data[p + 3]];
                rgb[o + 2] = table[(data[p + 4] << 8) | data[p + 5]];
            } else {
                rgb[o] = rgb[o + 1] = rgb[o + 2] = first;
            }
        }
        return;
    }
    if (depth === 8 && colour_type !== 3) {
        for (let x = 0, p = row; x < count; ++x, p += samples, o += out_step) {
            if (samples >= 3) {
                rgb[o] = data[p]; rgb[o + 1] = data[p + 1]; rgb[o + 2] = data[p + 2];
            } else {
                rgb[o] = rgb[o + 1] = rgb[o + 2] = data[p];
            }
        }
        return;
    }
    // Palette indices, or grey of 1, 2 or 4 bits packed from each byte's
    // high bits and scaled to 0..255.
    const mask = (1 << depth) - 1;
    const grey_scale = 255 / mask;
    for (let x = 0, bit = 0; x < count; ++x, bit += depth, o += out_step) {
        const value = (data[row + (bit >> 3)] >> (8 - depth - (bit & 7))) & mask;
        if (colour_type === 3) {
            if (3 * value + 2 >= palette.length) {
                throw new Error(`${name} is a damaged PNG file (a pixel names colour ${value} of a palette of ` +
                                `${palette.length / 3})`);
            }
            rgb[o] = palette[3 * value];
            rgb[o + 1] = palette[3 * value + 1];
            rgb[o + 2] = palette[3 * value + 2];
        } else {
            rgb[o] = rgb[o + 1] = rgb[o + 2] = Math.round(value * grey_scale);
        }
    }
}

// The 8-bit RGB raster of a PNG file's bytes.
export async function decode_png(bytes, name, max_pixels) {
    const chunks = png_chunks(bytes, name);
    const header = chunks[0];
    if (header.type !== "IHDR" || header.data.length !== 13) {
        throw new Error(`${name} is a damaged PNG file (no header)`);
    }
    const view = new DataView(header.data.buffer, header.data.byteOffset, 13);
    const cols = view.getUint32(0), rows = view.getUint32(4);
    const [depth, colour_type, compression, filtering, interlace] = header.data.subarray(8, 13);
    const kind = png_colour_types[colour_type];
    if (!kind || !kind.depths.includes(depth) || compression !== 0 || filtering !== 0 || interlace > 1 ||
        cols === 0 || rows === 0) {
        throw new Error(`${name} is a PNG file of a kind the page does not read ` +
                        `(colour type ${colour_type}, ${depth} bits)`);
    }
    if (cols * rows > max_pixels) {
        throw new Error(`${cols} x ${rows} pixels is more than the page takes (${max_pixels / 1e6} megapixels)`);
    }
    const palette = chunks.find((c) => c.type === "PLTE")?.data;
    if (colour_type === 3 && !palette) {
        throw new Error(`${name} is a damaged PNG file (a palette image without its palette)`);
    }
    const bits_per_pixel = kind.samples * depth;
    const pixel_bytes = Math.max(1, bits_per_pixel >> 3);
    const passes = (interlace ? png_adam7 : [[0, 0, 1, 1]]).map(([top, left, row_step, col_step]) => ({
        top, left, row_step, col_step,
        // A small image leaves some of Adam7's passes empty.
        rows: Math.max(0, Math.ceil((rows - top) / row_step)),
        cols: Math.max(0, Math.ceil((cols - left) / col_step)),
    }));
    let length = 0;
    for (const pass of passes) {
        pass.row_bytes = Math.ceil(pass.cols * bits_per_pixel / 8);
        if (pass.rows > 0 && pass.cols > 0) {
            length += pass.rows * (1 + pass.row_bytes);
        }
    }
    const data = await png_inflate(chunks.filter((c) => c.type === "IDAT").map((c) => c.data), length, name);

    const rgb = new Uint8Array(3 * cols * rows);
    const linear = png_is_linear(chunks);
    const image = { depth, colour_type, samples: kind.samples, palette, name, linear };
    let at = 0;
    for (const pass of passes) {
        if (pass.rows === 0 || pass.cols === 0) continue;
        const start = at;
        at = png_unfilter(data, at, pass.rows, pass.row_bytes, pixel_bytes, name);
        for (let y = 0; y < pass.rows; ++y) {
            const o = 3 * ((pass.top + y * pass.row_step) * cols + pass.left);
            png_copy_row(image, data, start + y * (1 + pass.row_bytes) + 1, rgb, o, pass.col_step, pass.cols);
        }
    }
    if (linear && depth !== 16) {
        // Every sample of 8 bits or fewer is v x 257 in 16 bits.
        const table = png_reduce_table(true);
        for (let i = 0; i < rgb.length; ++i) rgb[i] = table[rgb[i] * 257];
    }
    return { rgb, rows, cols };
}
