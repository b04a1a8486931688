// SPDX-License-Identifier: MIT
// Picking on the picture, with the pointer and from the keyboard: a cursor
// (the readout follows it), a click or Enter takes a pixel's colour, a drag
// or Shift with the arrows a rectangle to take (to leave with Alt, or as
// the regions panel says: regions.js keeps them); the rectangle being drawn.
import { $, engine, schedule_update, show_message, state } from "./page.js";
import { operand_params, set_reference } from "./controls.js";
import { add_region } from "./regions.js";
import { gesture, pixel_at, reveal, screen_box, show_readout } from "./view.js";

// A drag shorter than this, in screen pixels, is a click.
const click_slop = 3;

// The keyboard's cursor, and the corner a Shift-grown rectangle starts from.
let cursor = null;
let anchor = null;
// The pixel the readout shows, and the probe in flight for it.
let probed = null;
let probes = 0;

function place(element, rectangle) {
    if (!rectangle || !state.raster) {
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

export function show_selection(rectangle) {
    place($("selection"), rectangle);
}

// The rectangle and the cursor where the view puts them now.
export function show_marks() {
    show_selection(state.rectangle ?? (anchor && cursor ? spanned(anchor, cursor) : null));
    place($("cursor"), cursor && { left: cursor.column, right: cursor.column, top: cursor.row, bottom: cursor.row });
}

// The readout for a pixel, every number from the module.
export async function probe(pixel) {
    probed = pixel;
    if (!pixel || !state.raster) {
        show_readout(0, 0, null);
        return;
    }
    const this_probe = ++probes;
    const values = await engine.probe(pixel.row, pixel.column, operand_params());
    if (this_probe === probes && values) show_readout(pixel.row, pixel.column, values);
}

// After an update the operands may have changed: the readout again.
export function refresh_readout() {
    if (probed && state.raster && probed.row < state.raster.rows && probed.column < state.raster.cols) {
        probe(probed);
    }
}

const spanned = (a, b) => ({
    left: Math.min(a.column, b.column), right: Math.max(a.column, b.column),
    top: Math.min(a.row, b.row), bottom: Math.max(a.row, b.row),
});

// The worker holds the pixels: the colour comes from it.
async function take_pixel({ row, column }) {
    const raster = state.raster;
    state.rectangle = null;
    show_selection(null);
    try {
        const values = await engine.probe(row, column, operand_params());
        if (values && state.raster === raster) set_reference(values.rgb);
    } catch (error) {
        show_message(`The pixel could not be read: ${error.message}`);
    }
}

function take_rectangle(rectangle, leave = false) {
    state.rectangle = null;
    show_selection(null);
    add_region(rectangle, leave ? "leave" : undefined);
}

// Arrow keys: the cursor moves (Shift: a rectangle grows from where it was).
export function move_cursor(d_row, d_column, grow) {
    if (!state.raster) return;
    const { rows, cols } = state.raster;
    cursor ??= probed ?? { row: Math.floor(rows / 2), column: Math.floor(cols / 2) };
    if (grow) {
        anchor ??= { ...cursor };
        state.rectangle = null;
    } else {
        anchor = null;
    }
    cursor = { row: Math.max(0, Math.min(rows - 1, cursor.row + d_row)),
               column: Math.max(0, Math.min(cols - 1, cursor.column + d_column)) };
    reveal(cursor.row, cursor.column);
    show_marks();
    probe(cursor);
}

// Enter: takes the grown rectangle (as one to leave with Alt), or the pixel
// under the cursor.
export function take_at_cursor(leave = false) {
    if (!state.raster) return;
    cursor ??= probed;
    if (!cursor) return;
    if (anchor) {
        take_rectangle(spanned(anchor, cursor), leave);
        anchor = null;
    } else {
        take_pixel(cursor);
    }
}

export function clear_selection() {
    anchor = null;
    state.rectangle = null;
    show_marks();
}

export function forget_cursor() {
    cursor = anchor = probed = null;
    show_marks();
}

function wire_picking() {
    const canvas = $("picture");
    let start = null;
    // Where the pointer was: the browser repeats a move, unmoved, when the picture changes under it.
    let last_x = null;
    let last_y = null;
    canvas.addEventListener("pointerdown", (event) => {
        if (!state.raster || event.button !== 0) return;
        canvas.setPointerCapture(event.pointerId);
        start = { event, pixel: pixel_at(event.clientX, event.clientY) };
    });
    canvas.addEventListener("pointermove", (event) => {
        if (!state.raster) return;
        const here = pixel_at(event.clientX, event.clientY);
        // A pinch or a pan that began with this finger is no pick.
        if (gesture.panning) start = null;
        if (start) show_selection(spanned(start.pixel, here));
        const moved = event.clientX !== last_x || event.clientY !== last_y;
        last_x = event.clientX;
        last_y = event.clientY;
        // The keyboard's cursor starts again from the pointer once it moves.
        if (moved && !start && cursor) forget_cursor();
        if (!gesture.panning && !cursor && (probed?.row !== here.row || probed?.column !== here.column)) {
            probe(here);
        }
    });
    canvas.addEventListener("pointerup", (event) => {
        if (!start) return;
        const moved = Math.hypot(event.clientX - start.event.clientX, event.clientY - start.event.clientY);
        const here = pixel_at(event.clientX, event.clientY);
        cursor = here;
        anchor = null;
        if (moved < click_slop) {
            take_pixel(here);
        } else {
            take_rectangle(spanned(start.pixel, here), event.altKey);
        }
        show_marks();
        start = null;
    });
    canvas.addEventListener("pointercancel", () => {
        start = null;
        show_marks();
    });
}

export function wire_selection() {
    wire_picking();
    $("picture").addEventListener("pointerleave", () => {
        if (!cursor) probe(null);
    });
}
