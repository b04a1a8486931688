// SPDX-License-Identifier: MIT
// The preview, drawn in the worker at the resolution shown: each device
// pixel takes the raster pixel under its centre (nearest neighbour, so
// that a zoomed-in pixel is a sharp block); device pixels off the raster
// stay transparent. The module draws the photograph, the tint and the
// mask; the angle map is coloured here. Pixels are 32-bit words, red in
// the low byte, as ImageData's bytes lie on the little-endian machines
// that run WebAssembly.
import { angle_palette, angle_scale_top, palette_size, palette_step } from "./palette.js";

const opaque = 0xff000000;
// The overlays the module draws (preview.cpp); the angle map is drawn here.
const overlay_codes = { photo: 0, tint: 1, mask: 2 };

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
// held: { rgb, rows, cols, max_angle, reference, raster_generation, draw }, where
// draw(columns, rows, overlay code, tint, opacity) gives the module's words;
// angles_of(rgb) gives find_angle's angles of the pixels `rgb`, for the angle map.
// Returns { width, height, data } with data a Uint8ClampedArray of RGBA.
export function render_preview(view, held, angles_of) {
    const width = Math.max(1, Math.round(view.canvas_width));
    const height = Math.max(1, Math.round(view.canvas_height));
    const { rgb, rows, cols } = held;
    const columns = source_indices(view.left, view.width, width, cols);
    const source_rows = source_indices(view.top, view.height, height, rows);
    const mode = view.mode;
    if (mode === "angles") {
        const words = new Uint32Array(width * height);
        const key = [held.raster_generation, held.reference, view.left, view.top, view.width, view.height, width,
                     height].join(",");
        if (shown_angles.key !== key) {
            shown_angles = { key, angles: angles_of(gather(rgb, cols, columns, source_rows)) };
        }
        draw_angles(columns, source_rows, shown_angles.angles, words, angle_scale_top(held.max_angle));
        return { width, height, data: new Uint8ClampedArray(words.buffer) };
    }
    const tint = (view.tint ?? [255, 0, 255]).map((v) => Math.min(255, Math.max(0, Math.round(v))));
    const opacity = Math.min(1, Math.max(0, view.opacity ?? 0.5));
    const words_drawn = held.draw(columns, source_rows, overlay_codes[mode] ?? overlay_codes.photo, tint, opacity);
    return { width, height, data: new Uint8ClampedArray(words_drawn.buffer) };
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
