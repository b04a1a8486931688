// SPDX-License-Identifier: MIT
// The picture and what is drawn over it: the preview canvas, the mapping
// from the screen to the raster's pixels, and the histogram of angles.
import { $, geometry, state } from "./page.js";

// Pixels whose angles make the histogram: a spread sample of a large photograph.
const histogram_pixels = 1_000_000;
const histogram_bins = 360;
// The preview's largest side: a screen shows no more, and a 12-megapixel
// photograph drawn whole would cost most of an update.
const preview_side = 1600;

// Sizes the preview for a newly opened raster.
export function show_raster(raster) {
    const canvas = $("picture");
    const shrink = Math.min(1, preview_side / Math.max(raster.cols, raster.rows));
    canvas.width = Math.max(1, Math.round(raster.cols * shrink));
    canvas.height = Math.max(1, Math.round(raster.rows * shrink));
}

// The pixel under a point of the window, clamped to the raster.
export function pixel_at(client_x, client_y) {
    const box = $("picture").getBoundingClientRect();
    const { rows, cols } = state.raster;
    const column = Math.floor((client_x - box.left) / box.width * cols);
    const row = Math.floor((client_y - box.top) / box.height * rows);
    return { column: Math.max(0, Math.min(cols - 1, column)), row: Math.max(0, Math.min(rows - 1, row)) };
}

// Where a rectangle of the raster's pixels lies on the picture, in CSS pixels
// from its corner.
export function screen_box(rectangle) {
    const { rows, cols } = state.raster;
    const canvas = $("picture");
    const sx = canvas.clientWidth / cols;
    const sy = canvas.clientHeight / rows;
    return {
        left: rectangle.left * sx, top: rectangle.top * sy,
        width: (rectangle.right - rectangle.left + 1) * sx, height: (rectangle.bottom - rectangle.top + 1) * sy,
    };
}

// The photograph, each pixel of the preview standing for the raster's pixel
// under its corner.
export function draw_picture() {
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

export function draw_histogram() {
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
