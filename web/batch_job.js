// SPDX-License-Identifier: MIT
// The worker's batch: each photograph read, classified with the operands
// and summarised by the program's own summary code (summary_wasm.cpp), one
// photograph at a time. The rows go out as they are made, in the order given.
import { open_image } from "./decode.js";

// The small picture of each mask in the table: at most this wide or high.
const thumbnail_side = 96;

// The text the module keeps for a call, copied out before the next.
function module_text(geometry, pointer) {
    return geometry.module.UTF8ToString(pointer);
}

function module_string(geometry, name, text) {
    const bytes = new TextEncoder().encode(`${text}\0`);
    const pointer = geometry.buffer(name, bytes.length);
    geometry.module.HEAPU8.set(bytes, pointer);
    return pointer;
}

// The CSV row of `file` (named `name`), from the held raster and its samples
// when `status` is "ok".
function summary_line(geometry, name, status, size, { reference, max_angle, thresh }) {
    const file = module_string(geometry, "summary_file", name);
    const said = module_string(geometry, "summary_status", status);
    const ok = status === "ok";
    const count = ok ? size.rows * size.cols : 0;
    const line = geometry.module._conemask_summary_line(file, said, size.rows, size.cols, ...reference, max_angle,
        thresh, ok ? geometry.raster_pointer() : 0, ok ? geometry.raster_samples().byteOffset : 0, count);
    return module_text(geometry, line);
}

// The mask as grey levels, the program's picture's (253 and above white),
// nearest sample, at most thumbnail_side on its longer side.
function mask_thumbnail(samples, rows, cols) {
    const scale = Math.min(1, thumbnail_side / Math.max(rows, cols));
    const width = Math.max(1, Math.round(cols * scale));
    const height = Math.max(1, Math.round(rows * scale));
    const rgba = new Uint8ClampedArray(4 * width * height);
    for (let y = 0, at = 0; y < height; ++y) {
        const row = Math.min(rows - 1, Math.floor((y + 0.5) * rows / height));
        for (let x = 0; x < width; ++x, at += 4) {
            const sample = samples[row * cols + Math.min(cols - 1, Math.floor((x + 0.5) * cols / width))];
            const grey = Math.round(255 * Math.min(253, Math.max(0, sample)) / 253);
            rgba[at] = rgba[at + 1] = rgba[at + 2] = grey;
            rgba[at + 3] = 255;
        }
    }
    return { data: rgba, width, height };
}

// The reason a photograph was refused, as the summary's status: the
// program's own words where the refusal came from its reading rules, else
// the page's, without the file's name before them.
function refusal_status(error, name) {
    if (error.reason) return error.reason;
    const named = [`${name}: `, `${name} `].find((start) => error.message.startsWith(start));
    return named ? error.message.slice(named.length) : error.message;
}

// One photograph's row: { name, line, status, rows, cols, thumbnail }, and
// with `with_mask` a copy of its mask.
async function batch_row(geometry, { file, name }, operands, with_mask, check) {
    let opened;
    try {
        opened = await open_image(file, geometry, check);
        await check();
    } catch (error) {
        if (error.name === "cancelled") throw error;
        const status = refusal_status(error, file.name);
        return { name, line: summary_line(geometry, name, status, { rows: 0, cols: 0 }, operands), status };
    }
    geometry.classify_raster(operands.reference, operands.max_angle, operands.thresh);
    const line = summary_line(geometry, name, "ok", opened, operands);
    const thumbnail = mask_thumbnail(geometry.raster_samples(), opened.rows, opened.cols);
    const mask = with_mask ? geometry.raster_samples().slice() : null;
    return { name, line, status: "ok", rows: opened.rows, cols: opened.cols, thumbnail, mask };
}

// items [{ file, name }], operands { reference, max_angle, thresh }; with
// `write`, each mask goes out with its row, and the next photograph waits
// for `written()`, the page's word that the mask is in its folder (so that
// one mask at a time is held), or why it is not: that stops the batch.
// `progress(done)` reports how many are done and throws when the batch is
// cancelled; `post_row` sends a row out.
export async function run_batch(geometry, { items, operands, write }, progress, post_row, written) {
    for (let index = 0; index < items.length; ++index) {
        await progress(index);
        const row = await batch_row(geometry, items[index], operands, write, () => progress(index));
        post_row({ index, ...row });
        if (row.mask) {
            const answer = await written();
            if (!answer.ok) {
                const stopped = new Error(`${row.name}: its mask could not be written: ${answer.message}`);
                stopped.name = "unwritable";
                throw stopped;
            }
        }
    }
    await progress(items.length);
    return { done: items.length };
}
