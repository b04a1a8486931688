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

// The WebAssembly glue, once it has loaded.
export let geometry = null;
export function use_geometry(loaded) {
    geometry = loaded;
}

export function show_message(text) {
    $("message").textContent = text;
}

let update_pending = false;
let run_update = () => {};
export function on_update(update) {
    run_update = update;
}
// Events that come before the next frame are folded into one update, so
// that the page never falls behind the sliders.
export function schedule_update() {
    if (!update_pending) {
        update_pending = true;
        requestAnimationFrame(() => {
            update_pending = false;
            run_update();
        });
    }
}
