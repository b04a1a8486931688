// SPDX-License-Identifier: MIT
// What every module of the page shares: the state it holds, the element
// lookup, the message line and the one scheduled update. The single-file
// page puts every module's top-level names in one scope, so shared names
// live here once.

export const $ = (id) => document.getElementById(id);
export const degrees_per_radian = 180 / Math.PI;

export const state = {
    raster: null,       // { rgb, rows, cols, base, image_name }
    reference: [180, 40, 15],
    max_angle: Math.fround(0.12),
    thresh: 10,
    operands_refused: false,  // an operand the program would refuse: no command, no download
    rectangle: null,    // { left, top, right, bottom } in pixels, inclusive
    samples: null,
    largest: 0,
    histogram: null,    // counts of the pixels' angles, 360 bins over 0 to pi
    angles_reference: null,
    updates: 0,
    last_update_ms: 0,
};
// For the tests and the curious: what the page holds.
window.conemask_tuner = state;

// The WebAssembly glue on this thread (operands, readout), once it has loaded.
export let geometry = null;
export function use_geometry(loaded) {
    geometry = loaded;
}
// The engine that classifies and draws (see engine.js for its interface).
export let engine = null;
export function use_engine(started) {
    engine = started;
}

export function show_message(text) {
    $("message").textContent = text;
}

let update_pending = false;
let scheduled_update = () => {};
export function on_update(update) {
    scheduled_update = update;
}
// Events that come before the next frame are folded into one update, so
// that the page never falls behind the sliders.
export function schedule_update() {
    if (!update_pending) {
        update_pending = true;
        requestAnimationFrame(() => {
            update_pending = false;
            scheduled_update();
        });
    }
}
