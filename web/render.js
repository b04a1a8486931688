// SPDX-License-Identifier: MIT
// The preview, drawn in the worker at the resolution shown: each device
// pixel takes the raster pixel under its centre (nearest neighbour, so
// that a zoomed-in pixel is a sharp block); device pixels off the raster
// stay transparent. Pixels are written whole, as 32-bit words: red in the
// low byte, as ImageData's bytes lie on the little-endian machines that
// run WebAssembly.
import { angle_palette, angle_scale_top, palette_size, palette_step } from "./palette.js";

const opaque = 0xff000000;

// The raster index under each device column (or row) centre, -1 off the raster.
function source_indices(first, span, device, limit) {
    const indices = new Int32Array(device);
    const step = span / device;
    for (let i = 0; i < device; ++i) {
        const at = Math.floor(first + (i + 0.5) * step);
        indices[i] = at >= 0 && at < limit ? at : -1;
    }
    return indices;
}

// The angles of the shown pixels, kept while the reference and the view
// stay: moving theta only recolours the angle map.
let shown_angles = { key: null, angles: null };

// view: { left, top, width, height, canvas_width, canvas_height, mode, tint, opacity };
// held: { rgb, samples, rows, cols, largest, max_angle, reference, raster_generation };
// angles_of(rgb) gives find_angle's angles of the pixels `rgb`, for the angle map.
// Returns { width, height, data } with data a Uint8ClampedArray of RGBA.
export function render_preview(view, held, angles_of) {
    const width = Math.max(1, Math.round(view.canvas_width));
    const height = Math.max(1, Math.round(view.canvas_height));
    const { rgb, samples, rows, cols, largest } = held;
    const columns = source_indices(view.left, view.width, width, cols);
    const source_rows = source_indices(view.top, view.height, height, rows);
    const words = new Uint32Array(width * height);
    const mode = view.mode;
    if (mode === "angles") {
        const key = [held.raster_generation, held.reference, view.left, view.top, view.width, view.height, width,
                     height].join(",");
        if (shown_angles.key !== key) {
            shown_angles = { key, angles: angles_of(gather(rgb, cols, columns, source_rows)) };
        }
        draw_angles(columns, source_rows, shown_angles.angles, words, angle_scale_top(held.max_angle));
        return { width, height, data: new Uint8ClampedArray(words.buffer) };
    }
    // Each channel's tinted value, for every byte: three lookups a pixel.
    const [tint_red, tint_green, tint_blue] = view.tint ?? [255, 0, 255];
    const opacity = Math.min(1, Math.max(0, view.opacity ?? 0.5));
    const tinted = [tint_red, tint_green, tint_blue].map((tint) =>
        Uint8Array.from({ length: 256 }, (_, v) => Math.round(v + (tint - v) * opacity)));
    const [red_of, green_of, blue_of] = mode === "tint" ? tinted : [null, null, null];
    const grey = new Uint32Array(254);
    for (let s = 0; s < grey.length; ++s) {
        const v = largest > 0 ? Math.min(255, Math.round(s * 255 / largest)) : 0;
        grey[s] = (opaque | (v << 16) | (v << 8) | v) >>> 0;
    }
    for (let y = 0, j = 0; y < height; ++y, j += width) {
        const row = source_rows[y];
        if (row < 0) continue;
        const base = row * cols;
        for (let x = 0; x < width; ++x) {
            const column = columns[x];
            if (column < 0) continue;
            const i = base + column;
            if (mode === "mask") {
                // Stretched to the mask's own maximum; nothing below 0 shows.
                const sample = samples[i];
                words[j + x] = sample > 0 ? grey[Math.min(253, sample)] : opaque;
                continue;
            }
            const p = 3 * i;
            words[j + x] = red_of !== null && samples[i] !== 0
                ? opaque | (blue_of[rgb[p + 2]] << 16) | (green_of[rgb[p + 1]] << 8) | red_of[rgb[p]]
                : opaque | (rgb[p + 2] << 16) | (rgb[p + 1] << 8) | rgb[p];
        }
    }
    return { width, height, data: new Uint8ClampedArray(words.buffer) };
}

// The shown pixels' bytes, device pixel by device pixel (black off the raster).
function gather(rgb, cols, columns, source_rows) {
    const shown = new Uint8Array(3 * columns.length * source_rows.length);
    for (let y = 0, j = 0; y < source_rows.length; ++y) {
        const row = source_rows[y];
        for (let x = 0; x < columns.length; ++x, j += 3) {
            if (row < 0 || columns[x] < 0) continue;
            const p = 3 * (row * cols + columns[x]);
            shown[j] = rgb[p];
            shown[j + 1] = rgb[p + 1];
            shown[j + 2] = rgb[p + 2];
        }
    }
    return shown;
}

// The angle map: each shown pixel in the palette's colour for its angle;
// black pixels, which have no angle, black.
function draw_angles(columns, source_rows, angles, words, top) {
    const colours = new Uint32Array(palette_size);
    for (let k = 0; k < palette_size; ++k) {
        colours[k] = (opaque | (angle_palette[3 * k + 2] << 16) | (angle_palette[3 * k + 1] << 8) |
                      angle_palette[3 * k]) >>> 0;
    }
    for (let y = 0, j = 0; y < source_rows.length; ++y) {
        const row_shown = source_rows[y] >= 0;
        for (let x = 0; x < columns.length; ++x, ++j) {
            if (!row_shown || columns[x] < 0) continue;
            const angle = angles[j];
            words[j] = Number.isNaN(angle) ? opaque : colours[palette_step(angle, top)];
        }
    }
}
