// SPDX-License-Identifier: MIT
// What the picture shows over the photograph (tint, mask, angle map, or the
// photograph alone while a key is held), the angle map's legend, and the
// histogram of the pixels' angles with its axis in degrees and theta on it
// (a click or a drag there sets theta).
import { $, degrees_per_radian, schedule_update, state } from "./page.js";
import { float_text } from "./geometry.js";
import { angle_palette, angle_scale_top, palette_size } from "./palette.js";

// Room under the bars for the tick labels, in CSS pixels.
const axis_height = 16;
const tick_degrees = 30;
const minor_tick_degrees = 10;
const theta_colour = "#d22";

// A canvas sized to its box in device pixels, its context scaled so that
// drawing is in CSS pixels: labels stay sharp on every screen.
// Each canvas's size in CSS pixels, from a resize observer: reading the
// layout at every update would force the browser to lay the page out again.
const canvas_sizes = new Map();
const canvas_observer = new ResizeObserver((entries) => {
    for (const { target, contentRect } of entries) {
        canvas_sizes.set(target, { width: contentRect.width, height: contentRect.height });
    }
    schedule_update();
});

function sharp_context(canvas) {
    if (!canvas_sizes.has(canvas)) {
        canvas_sizes.set(canvas, { width: canvas.clientWidth, height: canvas.clientHeight });
        canvas_observer.observe(canvas);
    }
    const scale = window.devicePixelRatio || 1;
    const width = Math.max(1, canvas_sizes.get(canvas).width);
    const height = Math.max(1, canvas_sizes.get(canvas).height);
    if (canvas.width !== Math.round(width * scale) || canvas.height !== Math.round(height * scale)) {
        canvas.width = Math.round(width * scale);
        canvas.height = Math.round(height * scale);
    }
    const context = canvas.getContext("2d");
    context.setTransform(scale, 0, 0, scale, 0, 0);
    context.clearRect(0, 0, width, height);
    return { context, width, height };
}

function text_colour() {
    return getComputedStyle(document.body).color;
}

// Ticks and their labels along the bottom, for angles 0 to `top_degrees`.
function draw_axis(context, width, height, top_degrees) {
    context.fillStyle = context.strokeStyle = text_colour();
    context.font = "11px system-ui, sans-serif";
    context.textBaseline = "top";
    const y = height - axis_height;
    context.fillRect(0, y, width, 1);
    const step = top_degrees > 90 ? tick_degrees : top_degrees > 30 ? minor_tick_degrees : 5;
    for (let degrees = 0; degrees <= top_degrees + 1e-9; degrees += step / 3) {
        const x = Math.min(width - 1, degrees / top_degrees * width);
        const major = Math.abs(degrees / step - Math.round(degrees / step)) < 1e-6;
        context.fillRect(x, y, 1, major ? 5 : 3);
        if (major) {
            const label = `${Math.round(degrees * 10) / 10}\u00b0`;
            const label_width = context.measureText(label).width;
            context.fillText(label, Math.max(0, Math.min(width - label_width, x - label_width / 2)), y + 4);
        }
    }
}

function draw_theta(context, x, height) {
    context.fillStyle = theta_colour;
    context.fillRect(x - 1, 0, 2, height - axis_height + 4);
}

// counts: 360 bins over 0 to pi.
export function draw_histogram(counts) {
    const { context, width, height } = sharp_context($("histogram"));
    const bars = height - axis_height;
    if (counts) {
        // Square roots of the counts, so that a small peak still shows beside the background's.
        const tallest = Math.sqrt(Math.max(1, ...counts));
        context.fillStyle = "#6a8";
        const bar = width / counts.length;
        counts.forEach((count, bin) => {
            const h = Math.sqrt(count) / tallest * (bars - 2);
            context.fillRect(bin * bar, bars - h, Math.max(1, bar), h);
        });
    }
    draw_axis(context, width, height, 180);
    draw_theta(context, Math.min(1, Math.max(0, state.max_angle / Math.PI)) * width, height);
}

// The angle map's scale: the palette from 0 to its top, theta marked.
export function draw_legend() {
    const box = $("legend-box");
    box.hidden = current_mode() !== "angles";
    if (box.hidden) return;
    const { context, width, height } = sharp_context($("legend"));
    const top = angle_scale_top(state.max_angle);
    const band = height - axis_height;
    for (let x = 0; x < width; ++x) {
        const step = 3 * Math.min(palette_size - 1, Math.floor(x / width * palette_size));
        context.fillStyle = `rgb(${angle_palette[step]}, ${angle_palette[step + 1]}, ${angle_palette[step + 2]})`;
        context.fillRect(x, 0, 1, band);
    }
    draw_axis(context, width, height, top * degrees_per_radian);
    if (state.max_angle > 0 && state.max_angle <= top) {
        draw_theta(context, state.max_angle / top * width, height);
    }
}

// What the picture shows: the chosen overlay, or the photograph while the
// before key is held.
let before_held = false;
export function current_mode() {
    return before_held ? "photo" : document.querySelector('input[name="overlay"]:checked').value;
}
export function hold_before(held) {
    if (before_held !== held) {
        before_held = held;
        schedule_update();
    }
}

// theta from a point of the histogram: the float nearest the angle there.
function set_theta_at(client_x) {
    const box = $("histogram").getBoundingClientRect();
    const share = Math.min(1, Math.max(0, (client_x - box.left) / box.width));
    $("theta").value = float_text(Math.fround(share * Math.PI));
    schedule_update();
}

export function wire_histogram() {
    const canvas = $("histogram");
    let dragging = false;
    canvas.addEventListener("pointerdown", (event) => {
        dragging = true;
        canvas.setPointerCapture(event.pointerId);
        set_theta_at(event.clientX);
    });
    canvas.addEventListener("pointermove", (event) => {
        if (dragging) set_theta_at(event.clientX);
    });
    canvas.addEventListener("pointerup", () => {
        dragging = false;
    });
    for (const radio of document.querySelectorAll('input[name="overlay"]')) {
        radio.addEventListener("change", schedule_update);
    }
    for (const id of ["tint", "opacity"]) {
        $(id).addEventListener("input", schedule_update);
    }
}

// The overlay's part of the engine's view.
export function overlay_params() {
    const hex = $("tint").value;
    const tint = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
    return { mode: current_mode(), tint, opacity: Number($("opacity").value) / 100 };
}
