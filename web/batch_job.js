// SPDX-License-Identifier: MIT
// The worker's batch: each photograph read, classified with the operands,
// summarised by the program's own summary code (summary_wasm.cpp) and, where
// the page chose a folder, its mask written there; then let go before the
// next, so that one photograph at a time is held. The rows go out as they
// are made, in the order given.
import { open_image } from "./decode.js";
import { base_name } from "./names.js";

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

// The mask's bytes into `folder` as NAME.raw; the browser writes a file it
// swaps in whole at the close, so that a cancel leaves no half mask.
async function write_mask(folder, name, samples) {
    const handle = await folder.getFileHandle(`${base_name(name)}.raw`, { create: true });
    const writable = await handle.createWritable();
    try {
        await writable.write(new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength));
    } catch (error) {
        await writable.abort().catch(() => {});
        throw error;
    }
    await writable.close();
}

// One photograph's row: { name, line, status, rows, cols, thumbnail }.
// Its mask goes into `folder` where there is one; a mask that cannot be
// written stops the batch (an error named "unwritable").
async function batch_row(geometry, { file, name }, operands, folder, check) {
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
    if (folder) {
        try {
            await write_mask(folder, name, geometry.raster_samples());
        } catch (error) {
            const stopped = new Error(`${name}: its mask could not be written: ${error.message}`);
            stopped.name = "unwritable";
            throw stopped;
        }
    }
    return { name, line, status: "ok", rows: opened.rows, cols: opened.cols, thumbnail };
}

// items [{ file, name }], operands { reference, max_angle, thresh }, folder
// a directory handle or null. `progress(done)` reports how many are done
// and throws when the batch is cancelled; `post_row` sends a row out.
export async function run_batch(geometry, { items, operands, folder }, progress, post_row) {
    for (let index = 0; index < items.length; ++index) {
        await progress(index);
        const row = await batch_row(geometry, items[index], operands, folder, () => progress(index));
        post_row({ index, ...row });
    }
    await progress(items.length);
    return { done: items.length };
}
