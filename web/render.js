// SPDX-License-Identifier: MIT
// The preview, drawn in the worker at the resolution shown: each device
// pixel takes the raster pixel under its centre (nearest neighbour, so
// that a zoomed-in pixel is a sharp block); device pixels off the raster
// stay transparent.
import { angle_palette, angle_scale_top, palette_step } from "./palette.js";

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

// view: { left, top, width, height, canvas_width, canvas_height, mode, tint, opacity };
// held: { rgb, samples, rows, cols, largest, max_angle };
// angles_of(rgb) gives find_angle's angles of the pixels `rgb`, for the angle map.
// Returns { width, height, data } with data a Uint8ClampedArray of RGBA.
export function render_preview(view, held, angles_of) {
    const width = Math.max(1, Math.round(view.canvas_width));
    const height = Math.max(1, Math.round(view.canvas_height));
    const { rgb, samples, rows, cols, largest } = held;
    const columns = source_indices(view.left, view.width, width, cols);
    const source_rows = source_indices(view.top, view.height, height, rows);
    const data = new Uint8ClampedArray(4 * width * height);
    // Where each device pixel comes from, -1 off the raster: one pass for every mode.
    const origin = new Int32Array(width * height);
    for (let y = 0, j = 0; y < height; ++y) {
        const row = source_rows[y];
        for (let x = 0; x < width; ++x, ++j) {
            origin[j] = row < 0 || columns[x] < 0 ? -1 : row * cols + columns[x];
        }
    }
    const mode = view.mode;
    if (mode === "angles") {
        draw_angles(origin, rgb, data, angles_of, angle_scale_top(held.max_angle));
        return { width, height, data };
    }
    const [tint_red, tint_green, tint_blue] = view.tint ?? [255, 0, 255];
    const opacity = Math.min(1, Math.max(0, view.opacity ?? 0.5));
    const scale = largest > 0 ? 255 / largest : 0;
    for (let j = 0, o = 0; j < origin.length; ++j, o += 4) {
        const i = origin[j];
        if (i < 0) continue;
        const p = 3 * i;
        if (mode === "mask") {
            // Stretched to the mask's own maximum; nothing below 0 shows.
            const sample = samples[i];
            data[o] = data[o + 1] = data[o + 2] = sample > 0 ? sample * scale + 0.5 : 0;
        } else if (mode === "tint" && samples[i] !== 0) {
            data[o] = rgb[p] + (tint_red - rgb[p]) * opacity + 0.5;
            data[o + 1] = rgb[p + 1] + (tint_green - rgb[p + 1]) * opacity + 0.5;
            data[o + 2] = rgb[p + 2] + (tint_blue - rgb[p + 2]) * opacity + 0.5;
        } else {
            data[o] = rgb[p];
            data[o + 1] = rgb[p + 1];
            data[o + 2] = rgb[p + 2];
        }
        data[o + 3] = 255;
    }
    return { width, height, data };
}

// The angle map: the shown pixels' angles, each in the palette's colour;
// black pixels, which have no angle, black.
function draw_angles(origin, rgb, data, angles_of, top) {
    const shown = new Uint8Array(3 * origin.length);
    for (let j = 0; j < origin.length; ++j) {
        const i = origin[j];
        if (i >= 0) {
            shown[3 * j] = rgb[3 * i];
            shown[3 * j + 1] = rgb[3 * i + 1];
            shown[3 * j + 2] = rgb[3 * i + 2];
        }
    }
    const angles = angles_of(shown);
    for (let j = 0, o = 0; j < origin.length; ++j, o += 4) {
        if (origin[j] < 0) continue;
        const angle = angles[j];
        if (!Number.isNaN(angle)) {
            const step = 3 * palette_step(angle, top);
            data[o] = angle_palette[step];
            data[o + 1] = angle_palette[step + 1];
            data[o + 2] = angle_palette[step + 2];
        }
        data[o + 3] = 255;
    }
}
