// SPDX-License-Identifier: MIT
// Picking on the picture: a click takes a pixel's colour, a drag a
// rectangle's mean colour; the rectangle drawn over the picture; theta
// fitted to a share of the rectangle's pixels.
import { $, geometry, schedule_update, show_message, state } from "./page.js";
import { read_operands, set_reference } from "./controls.js";
import { pixel_at, screen_box } from "./view.js";
import { float_text } from "./geometry.js";

// A drag shorter than this, in screen pixels, is a click.
const click_slop = 3;

export function show_selection(rectangle) {
    const element = $("selection");
    if (!rectangle) {
        element.hidden = true;
        return;
    }
    const box = screen_box(rectangle);
    element.hidden = false;
    element.style.left = `${box.left - 2}px`;
    element.style.top = `${box.top - 2}px`;
    element.style.width = `${box.width}px`;
    element.style.height = `${box.height}px`;
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

const spanned = (a, b) => ({
    left: Math.min(a.column, b.column), right: Math.max(a.column, b.column),
    top: Math.min(a.row, b.row), bottom: Math.max(a.row, b.row),
});

function wire_picking() {
    const canvas = $("picture");
    let start = null;
    canvas.addEventListener("pointerdown", (event) => {
        if (!state.raster) return;
        canvas.setPointerCapture(event.pointerId);
        start = { event, pixel: pixel_at(event.clientX, event.clientY) };
    });
    canvas.addEventListener("pointermove", (event) => {
        if (!start) return;
        show_selection(spanned(start.pixel, pixel_at(event.clientX, event.clientY)));
    });
    canvas.addEventListener("pointerup", (event) => {
        if (!start) return;
        const moved = Math.hypot(event.clientX - start.event.clientX, event.clientY - start.event.clientY);
        const here = pixel_at(event.clientX, event.clientY);
        const { rgb, cols } = state.raster;
        if (moved < click_slop) {
            const p = 3 * (here.row * cols + here.column);
            state.rectangle = null;
            show_selection(null);
            set_reference([rgb[p], rgb[p + 1], rgb[p + 2]]);
        } else {
            state.rectangle = spanned(start.pixel, here);
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

export function wire_selection() {
    wire_picking();
    $("fit").addEventListener("click", fit_to_region);
    window.addEventListener("resize", () => show_selection(state.rectangle));
}
