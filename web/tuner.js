// SPDX-License-Identifier: MIT
// The page's controls: opening a photograph, picking the reference, the
// angle and the threshold, the preview and what the user takes away.
import { open_image, open_raw } from "./decode.js";
import { float_text, load_geometry } from "./geometry.js";

const $ = (id) => document.getElementById(id);
const degrees_per_radian = 180 / Math.PI;
// Pixels whose angles make the histogram: a spread sample of a large photograph.
const histogram_pixels = 1_000_000;
const histogram_bins = 360;
// The preview's largest side: a screen shows no more, and a 12-megapixel
// photograph drawn whole would cost most of an update.
const preview_side = 1600;
// A drag shorter than this, in screen pixels, is a click.
const click_slop = 3;

const state = {
    raster: null,       // { rgb, rows, cols, base, image_name }
    reference: [180, 40, 15],
    max_angle: Math.fround(0.12),
    thresh: 10,
    rectangle: null,    // { left, top, right, bottom } in pixels, inclusive
    samples: null,      // the mask, a view of the module's memory until the next update
    largest: 0,
    histogram: null,    // counts of the sampled pixels' angles, for angles_reference
    angles_reference: null,
    updates: 0,
    last_update_ms: 0,
};
// For the tests and the curious: what the page holds.
window.conemask_tuner = state;

let geometry;
let update_pending = false;

function show_message(text) {
    $("message").textContent = text;
}

// ---------------------------------------------------------------- operands

const looks_integer = /^\s*[+-]?\d/;
const looks_float = /^\s*[+-]?(\d|\.\d|inf|nan)/i;

// An operand field read as the program reads it; a text that is no number
// is still read as the program reads it (0), and the page says so.
function read_operand(field, name, looks_numeric, convert) {
    const text = $(field).value;
    const value = convert(text);
    if (value === null) {
        return { value: null, problem: `${name}: more than 99 characters, which conemask refuses` };
    }
    if (!looks_numeric.test(text)) {
        return { value, problem: `${name}: "${text}" is not a number; conemask reads it as ${value}` };
    }
    return { value, problem: null };
}

function read_operands() {
    const problems = [];
    const integer = (field, name) => {
        const { value, problem } = read_operand(field, name, looks_integer, geometry.convert_integer);
        if (problem) problems.push(problem);
        return value;
    };
    const reference = [integer("red", "red"), integer("green", "green"), integer("blue", "blue")];
    const thresh = integer("thresh", "thresh");
    const angle = read_operand("theta", "theta", looks_float, geometry.convert_angle);
    if (angle.problem) problems.push(angle.problem);
    if (!reference.includes(null) && thresh !== null && angle.value !== null) {
        state.reference = reference;
        state.thresh = thresh;
        state.max_angle = angle.value;
    }
    return problems;
}

function show_operands() {
    const [red, green, blue] = state.reference;
    const clamp = (v) => Math.max(0, Math.min(255, v));
    $("swatch").style.background = `rgb(${clamp(red)}, ${clamp(green)}, ${clamp(blue)})`;
    const degrees = state.max_angle * degrees_per_radian;
    $("theta-slider").value = String(Math.max(0, Math.min(180, degrees)));
    $("theta-degrees").textContent = `${Number.isFinite(degrees) ? degrees.toFixed(2) : degrees} degrees`;
    $("thresh-slider").value = String(Math.max(-128, Math.min(254, state.thresh)));
}

// A text that the shell passes on as one word, unchanged.
function shell_word(text) {
    return /^[\w.,+@%/:=-]+$/.test(text) ? text : `'${text.replaceAll("'", "'\\''")}'`;
}

function show_command() {
    const raster = state.raster;
    if (!raster) {
        $("command").value = "";
        $("convert-line").value = "";
        return;
    }
    const base = shell_word(raster.base);
    const [red, green, blue] = state.reference;
    $("command").value = `conemask ${red} ${green} ${blue} ${float_text(state.max_angle)} ${state.thresh} ` +
                         `${base} ${raster.rows} ${raster.cols}`;
    $("convert-line").value = raster.image_name
        ? `convert ${shell_word(raster.image_name)} -alpha off -colorspace sRGB -depth 8 -print '%h %w\\n' ` +
          `rgb:${shell_word(raster.base + ".rgb")}`
        : `${raster.base}.rgb is already the program's input`;
}

// ---------------------------------------------------------------- preview

function schedule_update() {
    if (!update_pending) {
        update_pending = true;
        requestAnimationFrame(update);
    }
}

// Classifies the whole raster and redraws; slider events that come meanwhile
// are folded into the next update, so that the page never falls behind.
function update() {
    update_pending = false;
    const problems = read_operands();
    show_message(problems.join("; "));
    show_operands();
    show_command();
    const raster = state.raster;
    if (!raster) {
        return;
    }
    const start = performance.now();
    const { samples, selected, largest } = geometry.classify(raster.rgb, state.reference, state.max_angle,
                                                              state.thresh);
    state.samples = samples;
    state.largest = largest;
    draw_picture();
    draw_histogram();
    const pixels = raster.rows * raster.cols;
    state.last_update_ms = performance.now() - start;
    state.updates += 1;
    $("stats").textContent = `${selected.toLocaleString("en")} of ${pixels.toLocaleString("en")} pixels selected ` +
        `(${(100 * selected / pixels).toFixed(2)}%), updated in ${state.last_update_ms.toFixed(0)} ms`;
    $("download").disabled = false;
    document.body.dataset.state = "ready";
    document.body.dataset.updates = String(state.updates);
}

// The photograph, each pixel of the preview standing for the raster's pixel
// under its corner.
function draw_picture() {
    const { rgb, rows, cols } = state.raster;
    const samples = state.samples;
    const canvas = $("picture");
    const width = canvas.width;
    const height = canvas.height;
    const source_columns = Uint32Array.from({ length: width }, (_, x) => Math.floor(x * cols / width));
    const context = canvas.getContext("2d");
    const image = context.createImageData(width, height);
    const out = image.data;
    const mask_only = $("mask-only").checked;
    const scale = state.largest > 0 ? 255 / state.largest : 0;
    for (let y = 0, j = 0; y < height; ++y) {
        const row_start = Math.floor(y * rows / height) * cols;
        for (let x = 0; x < width; ++x, j += 4) {
            const i = row_start + source_columns[x];
            const sample = samples[i];
            if (mask_only) {
                // Stretched to the mask's own maximum; nothing below 0 shows.
                out[j] = out[j + 1] = out[j + 2] = sample > 0 ? Math.round(sample * scale) : 0;
            } else {
                // Selected pixels as they are; the rest dimmed to a quarter.
                const p = 3 * i;
                const shift = sample !== 0 ? 0 : 2;
                out[j] = rgb[p] >> shift;
                out[j + 1] = rgb[p + 1] >> shift;
                out[j + 2] = rgb[p + 2] >> shift;
            }
            out[j + 3] = 255;
        }
    }
    context.putImageData(image, 0, 0);
}

function draw_histogram() {
    const { rgb, rows, cols } = state.raster;
    const key = state.reference.join(",");
    if (state.angles_reference !== key) {
        // The angles depend on the reference alone: computed again only when it changes.
        const pixels = rows * cols;
        const stride = Math.max(1, Math.floor(pixels / histogram_pixels));
        let sample = rgb;
        if (stride > 1) {
            sample = new Uint8Array(3 * Math.floor(pixels / stride));
            for (let i = 0, p = 0; i < sample.length; i += 3, p += 3 * stride) {
                sample[i] = rgb[p];
                sample[i + 1] = rgb[p + 1];
                sample[i + 2] = rgb[p + 2];
            }
        }
        const counts = new Uint32Array(histogram_bins);
        for (const angle of geometry.angles(sample, state.reference)) {
            if (!Number.isNaN(angle)) {
                counts[Math.min(histogram_bins - 1, Math.floor(angle / Math.PI * histogram_bins))] += 1;
            }
        }
        state.histogram = counts;
        state.angles_reference = key;
    }
    const counts = state.histogram;
    const canvas = $("histogram");
    const context = canvas.getContext("2d");
    const { width, height } = canvas;
    context.clearRect(0, 0, width, height);
    // Square roots of the counts, so that a small peak still shows beside the background's.
    const tallest = Math.sqrt(Math.max(1, ...counts));
    context.fillStyle = "#6a8";
    const bar = width / histogram_bins;
    counts.forEach((count, bin) => {
        const h = Math.sqrt(count) / tallest * (height - 4);
        context.fillRect(bin * bar, height - h, Math.max(1, bar), h);
    });
    const x = Math.min(1, Math.max(0, state.max_angle / Math.PI)) * width;
    context.fillStyle = "#d22";
    context.fillRect(x - 1, 0, 2, height);
}

// ---------------------------------------------------------------- picking

// The pixel under a pointer event, clamped to the raster.
function pixel_at(event) {
    const canvas = $("picture");
    const box = canvas.getBoundingClientRect();
    const { rows, cols } = state.raster;
    const column = Math.floor((event.clientX - box.left) / box.width * cols);
    const row = Math.floor((event.clientY - box.top) / box.height * rows);
    return { column: Math.max(0, Math.min(cols - 1, column)), row: Math.max(0, Math.min(rows - 1, row)) };
}

function show_selection(rectangle) {
    const element = $("selection");
    if (!rectangle) {
        element.hidden = true;
        return;
    }
    const { rows, cols } = state.raster;
    const canvas = $("picture");
    const sx = canvas.clientWidth / cols;
    const sy = canvas.clientHeight / rows;
    element.hidden = false;
    element.style.left = `${rectangle.left * sx - 2}px`;
    element.style.top = `${rectangle.top * sy - 2}px`;
    element.style.width = `${(rectangle.right - rectangle.left + 1) * sx}px`;
    element.style.height = `${(rectangle.bottom - rectangle.top + 1) * sy}px`;
}

// The mean colour of the rectangle's pixels, each component rounded to the
// nearest integer (halves up).
function mean_colour(rectangle) {
    const { rgb, cols } = state.raster;
    const sums = [0, 0, 0];
    for (let row = rectangle.top; row <= rectangle.bottom; ++row) {
        for (let column = rectangle.left; column <= rectangle.right; ++column) {
            const p = 3 * (row * cols + column);
            sums[0] += rgb[p];
            sums[1] += rgb[p + 1];
            sums[2] += rgb[p + 2];
        }
    }
    const count = (rectangle.right - rectangle.left + 1) * (rectangle.bottom - rectangle.top + 1);
    return sums.map((sum) => Math.floor(sum / count + 0.5));
}

function set_reference([red, green, blue]) {
    $("red").value = String(red);
    $("green").value = String(green);
    $("blue").value = String(blue);
    schedule_update();
}

function wire_picking() {
    const canvas = $("picture");
    let start = null;
    canvas.addEventListener("pointerdown", (event) => {
        if (!state.raster) return;
        canvas.setPointerCapture(event.pointerId);
        start = { event, pixel: pixel_at(event) };
    });
    canvas.addEventListener("pointermove", (event) => {
        if (!start) return;
        const here = pixel_at(event);
        show_selection({
            left: Math.min(start.pixel.column, here.column), right: Math.max(start.pixel.column, here.column),
            top: Math.min(start.pixel.row, here.row), bottom: Math.max(start.pixel.row, here.row),
        });
    });
    canvas.addEventListener("pointerup", (event) => {
        if (!start) return;
        const moved = Math.hypot(event.clientX - start.event.clientX, event.clientY - start.event.clientY);
        const here = pixel_at(event);
        const { rgb, cols } = state.raster;
        if (moved < click_slop) {
            const p = 3 * (here.row * cols + here.column);
            state.rectangle = null;
            show_selection(null);
            set_reference([rgb[p], rgb[p + 1], rgb[p + 2]]);
        } else {
            state.rectangle = {
                left: Math.min(start.pixel.column, here.column), right: Math.max(start.pixel.column, here.column),
                top: Math.min(start.pixel.row, here.row), bottom: Math.max(start.pixel.row, here.row),
            };
            show_selection(state.rectangle);
            set_reference(mean_colour(state.rectangle));
        }
        start = null;
    });
}

// theta, the smallest float that takes the chosen share of the rectangle's
// pixels: the angle test is strict, so it is the float just above the
// angle of the pixel at that rank.
function fit_to_region() {
    const rectangle = state.rectangle;
    if (!state.raster || !rectangle) {
        show_message("Drag a rectangle over the photograph first");
        return;
    }
    read_operands();
    const share = Number($("share").value) / 100;
    if (!(share > 0 && share <= 1)) {
        show_message("The share must lie between 1 and 100 per cent");
        return;
    }
    const { rgb, cols } = state.raster;
    const width = rectangle.right - rectangle.left + 1;
    const region = new Uint8Array(3 * width * (rectangle.bottom - rectangle.top + 1));
    for (let row = rectangle.top, at = 0; row <= rectangle.bottom; ++row, at += 3 * width) {
        const from = 3 * (row * cols + rectangle.left);
        region.set(rgb.subarray(from, from + 3 * width), at);
    }
    const angles = geometry.angles(region, state.reference).filter((a) => !Number.isNaN(a)).sort((a, b) => a - b);
    if (angles.length === 0) {
        show_message("The rectangle holds no pixel with a direction (all black)");
        return;
    }
    const rank = Math.min(angles.length - 1, Math.max(0, Math.ceil(share * angles.length) - 1));
    const bits = new Float32Array([angles[rank]]);
    new Uint32Array(bits.buffer)[0] += 1;  // the next float up; angles are never negative
    $("theta").value = float_text(bits[0]);
    schedule_update();
}

// ---------------------------------------------------------------- opening

async function open_file(file) {
    show_message("");
    document.body.dataset.state = "opening";
    try {
        let raster;
        if (/\.rgb$/i.test(file.name)) {
            raster = await open_raw(file, Number($("raw-rows").value), Number($("raw-cols").value));
            raster.image_name = null;
        } else {
            raster = await open_image(file);
            raster.image_name = file.name;
        }
        state.raster = raster;
        state.rectangle = null;
        state.angles_reference = null;
        show_selection(null);
        const canvas = $("picture");
        const shrink = Math.min(1, preview_side / Math.max(raster.cols, raster.rows));
        canvas.width = Math.max(1, Math.round(raster.cols * shrink));
        canvas.height = Math.max(1, Math.round(raster.rows * shrink));
        update();
    } catch (error) {
        state.raster = null;
        state.samples = null;
        $("download").disabled = true;
        show_command();
        show_message(error.message);
        document.body.dataset.state = "refused";
    }
}

function download_mask() {
    const { samples } = geometry.classify(state.raster.rgb, state.reference, state.max_angle, state.thresh);
    // WebAssembly's memory is little-endian, as the file is: its bytes go as they are.
    const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength).slice();
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
    link.download = `${state.raster.base}.raw`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
}

function wire_controls() {
    $("image-file").addEventListener("change", () => {
        const file = $("image-file").files[0];
        if (file) open_file(file);
    });
    for (const id of ["raw-rows", "raw-cols"]) {
        $(id).addEventListener("change", () => {
            const file = $("image-file").files[0];
            if (file && /\.rgb$/i.test(file.name)) open_file(file);
        });
    }
    const zone = $("drop-zone");
    zone.addEventListener("dragover", (event) => {
        event.preventDefault();
        zone.classList.add("over");
    });
    zone.addEventListener("dragleave", () => zone.classList.remove("over"));
    zone.addEventListener("drop", (event) => {
        event.preventDefault();
        zone.classList.remove("over");
        const file = event.dataTransfer.files[0];
        if (file) open_file(file);
    });
    for (const id of ["red", "green", "blue", "theta", "thresh"]) {
        $(id).addEventListener("input", schedule_update);
    }
    $("theta-slider").addEventListener("input", () => {
        $("theta").value = float_text(Math.fround(Number($("theta-slider").value) / degrees_per_radian));
        schedule_update();
    });
    $("thresh-slider").addEventListener("input", () => {
        $("thresh").value = $("thresh-slider").value;
        schedule_update();
    });
    $("mask-only").addEventListener("change", schedule_update);
    $("fit").addEventListener("click", fit_to_region);
    $("copy").addEventListener("click", async () => {
        try {
            await navigator.clipboard.writeText($("command").value);
        } catch {
            $("command").select();
            document.execCommand("copy");
        }
    });
    $("download").addEventListener("click", download_mask);
    wire_picking();
    window.addEventListener("resize", () => show_selection(state.rectangle));
}

try {
    geometry = await load_geometry();
    wire_controls();
    update();
    document.body.dataset.state = "ready";
} catch (error) {
    show_message(`The page could not start its WebAssembly module: ${error.message}`);
    document.body.dataset.state = "broken";
}
