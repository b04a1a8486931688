// SPDX-License-Identifier: MIT
// The page's worker: it holds the raster in the WebAssembly module's memory
// and does everything that costs time (classification, the count, the
// histogram, the preview, the mask, the regions' mean and the fit), so that
// the page's main thread never waits. Long jobs (opening, the fit) work in
// chunks, report progress between them and stop when cancelled; one long
// job at a time, a new one cancelling the old.
import { load_geometry } from "./geometry.js";
import { render_preview } from "./render.js";
import { clamp_regions, fit_regions, take_mean } from "./fit.js";
import { open_image, open_raw } from "./decode.js";
import { run_batch } from "./batch_job.js";
import { control_kind, reply, request } from "./protocol.js";

// Pixels whose angles make the histogram: a spread sample of a large photograph.
const histogram_pixels = 1_000_000;
const histogram_bins = 360;
// Bytes copied into the module between two looks at the message queue.
const open_chunk_bytes = 32 << 20;

const held = { rows: 0, cols: 0, pixels: 0, generation: 0, histogram: null, histogram_reference: null };
let geometry = null;
let running = null;  // the long job: { id, cancelled }

function cancelled_error(what) {
    const error = new Error(`${what}: cancelled`);
    error.name = "cancelled";
    return error;
}

// Between two chunks of a long job: progress out, other messages in.
async function step(job, what, done, total) {
    postMessage(reply.progress(job.id, { what, done, total }));
    await new Promise((resolve) => setTimeout(resolve, 0));
    if (job.cancelled) throw cancelled_error(what);
}

async function open_raster(job, { rgb, rows, cols }) {
    // Checked before the module's raster is replaced: a newer opening may be copying into it.
    if (job.cancelled) throw cancelled_error("opening");
    held.pixels = 0;
    held.generation += 1;
    held.histogram_reference = null;
    const bytes = 3 * rows * cols;
    if (!(Number.isInteger(rows) && Number.isInteger(cols) && rows > 0 && cols > 0) || rgb.length < bytes) {
        throw new Error(`the raster holds ${rgb.length} bytes, not ${rows} x ${cols} x 3`);
    }
    geometry.hold_raster(bytes);
    for (let at = 0; at < bytes; at += open_chunk_bytes) {
        const end = Math.min(bytes, at + open_chunk_bytes);
        geometry.raster_bytes().set(rgb.subarray(at, end), at);
        await step(job, "opening", end, bytes);
    }
    Object.assign(held, { rows, cols, pixels: rows * cols });
    return { rows, cols };
}

// Counts of the angles to the reference of every pixel, or of a spread
// sample of a large raster, over 0 to pi; kept while the raster and the
// reference stay.
function angle_histogram(reference) {
    const key = [held.generation, ...reference].join(",");
    if (held.histogram_reference !== key) {
        const stride = Math.max(1, Math.floor(held.pixels / histogram_pixels));
        const sample = new Uint8Array(3 * Math.floor(held.pixels / stride));
        const rgb = geometry.raster_bytes();
        for (let i = 0, p = 0; i < sample.length; i += 3, p += 3 * stride) {
            sample[i] = rgb[p];
            sample[i + 1] = rgb[p + 1];
            sample[i + 2] = rgb[p + 2];
        }
        const counts = new Uint32Array(histogram_bins);
        for (const angle of geometry.angles(sample, reference)) {
            if (!Number.isNaN(angle)) counts[Math.min(histogram_bins - 1, Math.floor(angle / Math.PI * histogram_bins))] += 1;
        }
        held.histogram = counts;
        held.histogram_reference = key;
    }
    return held.histogram.slice();
}

// Pixels classified between two looks at the message queue: a large
// raster's update shows its progress and gives way to a newer one.
const update_slice_pixels = 16 << 20;
// The raster's classification, done again only when the operands (or the
// raster) change: zooming, panning and another overlay only draw.
let classified = { key: null, selected: 0, largest: 0 };
// Bumped by every classification: one that another interrupted starts again.
let classifying = 0;
let running_update = null;  // { id, superseded }

// The held raster's samples for the operands; null when `update` was
// superseded (or another raster came) while it classified. Without an
// update it classifies in one go.
async function classify_held(reference, max_angle, thresh, update = null) {
    const generation = held.generation;
    const key = [generation, ...reference, max_angle, thresh].join(",");
    while (classified.key !== key) {
        const mine = ++classifying;
        classified = { key: null, selected: 0, largest: 0 };
        let selected = 0, largest = 0, start = 0;
        for (; start < held.pixels; start += update_slice_pixels) {
            if (start > 0 && update) {
                postMessage(reply.progress(update.id, { what: "classifying", done: start, total: held.pixels,
                                                        cancellable: false }));
                await new Promise((resolve) => setTimeout(resolve, 0));
                if (update.superseded || held.generation !== generation) return null;
                if (mine !== classifying) break;
            }
            const part = geometry.classify_raster_part(reference, max_angle, thresh, start,
                                                       Math.min(update_slice_pixels, held.pixels - start));
            selected += part.selected;
            largest = Math.max(largest, part.largest);
        }
        if (start >= held.pixels && mine === classifying) classified = { key, selected, largest };
    }
    return { samples: geometry.raster_samples(), selected: classified.selected, largest: classified.largest };
}

async function update({ reference, max_angle, thresh, view }, id) {
    if (held.pixels === 0) return null;
    const start = performance.now();
    // The histogram first: it allocates, which would detach the samples' view.
    const histogram = angle_histogram(reference);
    const job = { id, superseded: false };
    running_update = job;
    const done = await classify_held(reference, max_angle, thresh, job);
    if (running_update === job) running_update = null;
    if (done === null) return null;
    const { selected, largest } = done;
    const draw = (columns, rows, mode, tint, opacity) =>
        geometry.preview(held.cols, columns, rows, mode, tint, opacity, largest);
    const preview = view ? render_preview(view, { rgb: geometry.raster_bytes(), rows: held.rows, cols: held.cols,
                                                  max_angle, reference, raster_generation: held.generation, draw },
                                          (pixels) => geometry.angles(pixels, reference)) : null;
    const result = { selected, pixels: held.pixels, largest, histogram, preview, ms: performance.now() - start };
    return { result, transfer: [histogram.buffer, ...(preview ? [preview.data.buffer] : [])] };
}

function probe({ row, col, reference, max_angle, thresh }) {
    if (held.pixels === 0 || !(row >= 0 && row < held.rows && col >= 0 && col < held.cols)) return null;
    const at = 3 * (row * held.cols + col);
    const pixel = geometry.raster_bytes().slice(at, at + 3);
    const { angles, projections } = geometry.measure(pixel, reference);
    const { samples } = geometry.classify_pixels(pixel, reference, max_angle, thresh);
    return { rgb: Array.from(pixel), angle: angles[0], projection: projections[0], sample: samples[0] };
}

async function mask({ reference, max_angle, thresh }) {
    if (held.pixels === 0) throw new Error("no photograph is open");
    const samples = (await classify_held(reference, max_angle, thresh)).samples.slice();
    return { result: samples, transfer: [samples.buffer] };
}

// A photograph or an .rgb file read here, off the page's main thread, and
// held: the page gets its size and names, never its pixels.
async function open_file(job, { file, raw }) {
    held.pixels = 0;
    held.generation += 1;
    held.histogram_reference = null;
    const progress = (what, done, total) => step(job, what, done, total);
    await progress("reading", 0, 1);
    let opened;
    if (raw) {
        opened = await open_raw(file, raw.rows, raw.cols);
        await open_raster(job, opened);
    } else {
        opened = await open_image(file, geometry, progress);
    }
    const { rows, cols, base, note = "", rename = "" } = opened;
    Object.assign(held, { rows, cols, pixels: rows * cols });
    return { rows, cols, base, note, rename, image_name: raw ? null : file.name };
}

// For the tests: a copy of the held raster.
function raster() {
    const rgb = geometry.raster_bytes().slice(0, 3 * held.pixels);
    return { result: rgb, transfer: [rgb.buffer] };
}

const regions_of = (message) => clamp_regions(message.regions, held.rows, held.cols);

async function fit(job, message) {
    if (held.pixels === 0) throw new Error("no photograph is open");
    return fit_regions(geometry, regions_of(message), held.cols, message.options,
                       (what, done, total) => step(job, what, done, total));
}

const quick = {
    [request.update]: update,
    [request.probe]: probe,
    [request.mask]: mask,
    [request.raster]: raster,
    [request.mean]: (message) =>
        held.pixels === 0 ? null : take_mean(regions_of(message), held.cols, geometry.raster_bytes),
};
// Many photographs with the same operands, one at a time; each row goes
// out as it is made. The page runs it in a worker of its own, whose held
// raster is the batch's alone.
let mask_written = null;  // the running batch's wait for the page's word on a mask
function batch(job, message) {
    const post_row = (row) => postMessage(reply.row(job.id, row),
        [row.thumbnail?.data.buffer, row.mask?.buffer].filter(Boolean));
    const written = () => new Promise((resolve) => { mask_written = resolve; });
    held.pixels = 0;
    held.generation += 1;
    return run_batch(geometry, message, (done) => step(job, "photographs", done, message.items.length), post_row,
                     written);
}

const long = { [request.open_file]: open_file, [request.fit]: fit, [request.batch]: batch };

function reply_error(id, error) {
    postMessage(reply.error(id, error));
}

onmessage = async ({ data: message }) => {
    const { id, kind } = message;
    if (kind === control_kind.module) {
        start(message);
        return;
    }
    if (kind === control_kind.cancel) {
        if (running) running.cancelled = true;
        return;
    }
    if (kind === control_kind.written) {
        mask_written?.(message);
        mask_written = null;
        return;
    }
    if (kind === control_kind.supersede) {
        if (running_update?.id === message.update) running_update.superseded = true;
        return;
    }
    try {
        if (quick[kind]) {
            const answer = await quick[kind](message.params ?? message, id);
            const packed = answer && answer.transfer ? answer : { result: answer, transfer: [] };
            postMessage(reply.result(id, packed.result), packed.transfer);
            return;
        }
        if (!long[kind]) throw new Error(`the worker knows no request "${kind}"`);
        if (running) running.cancelled = true;
        const job = { id, cancelled: false };
        running = job;
        try {
            postMessage(reply.result(id, await long[kind](job, message)));
        } finally {
            if (running === job) running = null;
        }
    } catch (error) {
        reply_error(id, error);
    }
};

// The page's compiled module (engine.js), instantiated here: the page's
// requests come only once this has said it is ready.
async function start({ module, failure }) {
    try {
        if (failure) throw new Error(failure);
        geometry = await load_geometry(module);
        postMessage(reply.ready());
    } catch (error) {
        postMessage(reply.not_ready(error.message));
    }
}
