// SPDX-License-Identifier: MIT
// A photograph's bytes made the worker's held raster by the program's own
// reading rules, compiled into the module (bindings/wasm/reading_wasm.cpp): which PNG
// chunks count, the linear-light rule and the conversion of samples, the
// EXIF orientation and ImageMagick's turn for it. Here bytes are only
// moved: the browser inflates a PNG's image data and decodes JPEG and WebP.
import { max_pixels } from "./limits.js";

export const too_large = (cols, rows) =>
    new Error(`${cols} x ${rows} pixels is more than the page takes (${max_pixels / 1e6} megapixels)`);

// Numbers the module writes into a buffer of ours, copied out at once (a
// later allocation may move the memory under a view).
function words(geometry, name, count, call) {
    const pointer = geometry.buffer(name, 4 * count);
    const answer = call(pointer);
    return { answer, values: Array.from(new Uint32Array(geometry.module.HEAPU8.buffer, pointer, count)) };
}

function put(geometry, name, bytes) {
    const pointer = geometry.buffer(name, bytes.length);
    geometry.module.HEAPU8.set(bytes, pointer);
    return pointer;
}

const reason = (geometry) => geometry.module.UTF8ToString(geometry.module._conemask_read_error());

// A refusal by the program's reading rules: the page's message, and the
// rules' own words (the status conemask-image's summary gives it).
function refused_by_rules(name, rules_reason) {
    const error = new Error(`${name} cannot be read: ${rules_reason}`);
    error.reason = rules_reason;
    return error;
}

// Bytes inflated between two reports of progress (and looks at a cancel).
const progress_bytes = 16 << 20;

// Inflates the zlib stream of `parts` into the module's memory at
// `pointer`, the `length` bytes the rows take and one more if there is one
// (data past the rows is the rules' to refuse); returns how many it wrote.
// A stream that fails past the rows' bytes is libpng's to ignore.
async function inflate_into(geometry, parts, pointer, length, name, progress) {
    const reader = new Blob(parts).stream().pipeThrough(new DecompressionStream("deflate")).getReader();
    let filled = 0;
    let reported = 0;
    try {
        while (filled <= length) {
            const { done, value } = await reader.read();
            if (done) break;
            const take = Math.min(value.length, length + 1 - filled);
            geometry.module.HEAPU8.set(value.subarray(0, take), pointer + filled);
            filled += take;
            if (filled - reported >= progress_bytes) {
                reported = filled;
                await progress("inflating", filled, length);
            }
        }
        reader.cancel().catch(() => {});
    } catch (error) {
        if (error.name === "cancelled") {
            reader.cancel().catch(() => {});
            throw error;
        }
        if (filled < length) throw new Error(`${name} is a damaged PNG file (its image data does not inflate)`);
    }
    return filled;
}

// A PNG file's raster, held: { rows, cols }. `progress` is awaited between
// the steps (it throws when the opening is cancelled).
export async function hold_png(geometry, bytes, name, progress) {
    const module = geometry.module;
    const file = put(geometry, "file", bytes);
    const inspected = words(geometry, "facts", 4, (facts) => module._conemask_png_inspect(file, bytes.length, facts));
    geometry.release("file");
    const layout = inspected.answer;
    if (layout === 0) throw refused_by_rules(name, reason(geometry));
    try {
        const [cols, rows, inflated_size, part_count] = inspected.values;
        if (cols * rows > max_pixels) throw too_large(cols, rows);
        const parts = Array.from({ length: part_count }, (_, index) => {
            const [offset, size] = words(geometry, "extent", 2,
                                         (extent) => module._conemask_png_image_data(layout, index, extent)).values;
            return bytes.subarray(offset, offset + size);
        });
        const inflated = geometry.buffer("inflated", inflated_size + 1);
        const filled = await inflate_into(geometry, parts, inflated, inflated_size, name, progress);
        // The last look at a cancel before the held raster is replaced.
        await progress("decoding", filled, inflated_size);
        geometry.hold_raster(3 * rows * cols);
        const converted = module._conemask_png_to_rgb(layout, inflated, filled, geometry.raster_pointer());
        geometry.release("inflated");
        if (!converted) throw refused_by_rules(name, reason(geometry));
        return { rows, cols };
    } finally {
        module._conemask_png_free(layout);
    }
}

// Why a JPEG file is damaged (markers out of order, Huffman-coded data that
// does not decode, or runs on past the last block: what a browser decodes
// without a word where libjpeg warns), or null.
export function jpeg_damage(geometry, bytes) {
    const file = put(geometry, "file", bytes);
    const sound = geometry.module._conemask_jpeg_sound(file, bytes.length);
    geometry.release("file");
    return sound ? null : reason(geometry);
}

// The EXIF orientation tag of a JPEG or WebP file, as ImageMagick finds it:
// { value, at, is_long, little }, or null.
export function exif_orientation(geometry, bytes, kind) {
    const file = put(geometry, "file", bytes);
    const { answer, values } = words(geometry, "tag", 4,
        (tag) => geometry.module._conemask_exif_orientation(file, bytes.length, kind === "webp" ? 1 : 0, tag));
    geometry.release("file");
    if (!answer) return null;
    const [value, at, is_long, little] = values;
    return { value, at, is_long: is_long === 1, little: little === 1 };
}

// A copy of the bytes whose tag says upright (1), for a browser that would
// otherwise turn the picture on its own.
export function set_upright(bytes, tag) {
    const upright = bytes.slice();
    const view = new DataView(upright.buffer);
    if (tag.is_long) view.setUint32(tag.at, 1, tag.little);
    else view.setUint16(tag.at, 1, tag.little);
    return upright;
}

// The held raster of rows x cols pixels turned as ImageMagick's -auto-orient
// turns it for the tag's value: its { rows, cols } then.
export function turn_held(geometry, rows, cols, value) {
    const bytes = 3 * rows * cols;
    const turned = geometry.buffer("turned", bytes);
    const swapped = geometry.module._conemask_orient(value, geometry.raster_pointer(), rows, cols, turned);
    const raster = geometry.raster_pointer();
    geometry.module.HEAPU8.copyWithin(raster, turned, turned + bytes);
    geometry.release("turned");
    return swapped ? { rows: cols, cols: rows } : { rows, cols };
}
