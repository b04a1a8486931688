// SPDX-License-Identifier: MIT
// The picture: zoom and pan, the rectangle of the raster that the canvas
// shows (which the engine draws), the mapping between the screen and the
// raster's pixels, and the readout of the pixel under the pointer.
import { $, degrees_per_radian, schedule_update, state } from "./page.js";
import { float_text } from "./geometry.js";

// Screen pixels (CSS) per raster pixel at the largest zoom: a pixel is then a
// block large enough to point at.
const max_zoom = 64;
// Zoom factor of one step (+ or -) and of one notch's worth of wheel.
const zoom_step = 1.5;
const wheel_scale = 1 / 400;
// Share of the picture that stays on screen however far it is panned.
const kept_in_view = 0.1;

// zoom: CSS pixels per raster pixel; left, top: the raster point (in pixels,
// fractional) at the canvas's top-left corner.
const view = { zoom: 1, left: 0, top: 0, fitted: true };
// Pointers on the picture, for pinches; panning while one drags to pan.
export const gesture = { pointers: new Map(), panning: false, space: false, pinched: false };

// The stage's size, as the resize observer last saw it: reading the layout
// at every update would force the browser to lay the page out again.
let stage_box = null;
function stage_size() {
    if (!stage_box) {
        const stage = $("stage");
        stage_box = { width: stage.clientWidth, height: stage.clientHeight };
    }
    return { width: Math.max(1, stage_box.width), height: Math.max(1, stage_box.height) };
}

function min_zoom() {
    const { rows, cols } = state.raster;
    const { width, height } = stage_size();
    return Math.min(1, width / cols, height / rows) / 2;
}

function keep_in_view() {
    const { rows, cols } = state.raster;
    const { width, height } = stage_size();
    const seen_width = width / view.zoom;
    const seen_height = height / view.zoom;
    view.left = Math.min(cols - kept_in_view * seen_width, Math.max((kept_in_view - 1) * seen_width, view.left));
    view.top = Math.min(rows - kept_in_view * seen_height, Math.max((kept_in_view - 1) * seen_height, view.top));
}

function view_changed() {
    show_zoom();
    schedule_update();
}

export function fit_view() {
    if (!state.raster) return;
    const { rows, cols } = state.raster;
    const { width, height } = stage_size();
    view.zoom = Math.min(width / cols, height / rows);
    view.left = (cols - width / view.zoom) / 2;
    view.top = (rows - height / view.zoom) / 2;
    view.fitted = true;
    view_changed();
}

// Zooms by `factor` about a point of the window (the stage's centre by default),
// which stays over the same raster point.
export function zoom_by(factor, client_x, client_y) {
    if (!state.raster) return;
    const box = $("stage").getBoundingClientRect();
    const x = client_x === undefined ? box.width / 2 : client_x - box.left;
    const y = client_y === undefined ? box.height / 2 : client_y - box.top;
    const zoom = Math.min(max_zoom, Math.max(min_zoom(), view.zoom * factor));
    view.left += x / view.zoom - x / zoom;
    view.top += y / view.zoom - y / zoom;
    view.zoom = zoom;
    view.fitted = false;
    keep_in_view();
    view_changed();
}

export function zoom_in() {
    zoom_by(zoom_step);
}
export function zoom_out() {
    zoom_by(1 / zoom_step);
}

// Moves the picture by a distance in CSS pixels.
export function pan_by(dx, dy) {
    if (!state.raster) return;
    view.left -= dx / view.zoom;
    view.top -= dy / view.zoom;
    view.fitted = false;
    keep_in_view();
    view_changed();
}

// Pans just enough that the raster pixel is on screen, a margin from the edge.
export function reveal(row, column) {
    const { width, height } = stage_size();
    const margin = Math.min(width, height) / 8;
    const x = (column + 0.5 - view.left) * view.zoom;
    const y = (row + 0.5 - view.top) * view.zoom;
    const dx = x < margin ? margin - x : x > width - margin ? width - margin - x : 0;
    const dy = y < margin ? margin - y : y > height - margin ? height - margin - y : 0;
    if (dx !== 0 || dy !== 0) pan_by(dx, dy);
}

function show_zoom() {
    $("zoom-level").textContent = state.raster ? `${(100 * view.zoom).toFixed(view.zoom < 0.1 ? 1 : 0)}%` : "";
}

// What the engine draws: the raster's rectangle under the canvas, and the
// canvas's size in device pixels, so that nothing is scaled after drawing.
export function view_rectangle() {
    const { width, height } = stage_size();
    const scale = window.devicePixelRatio || 1;
    const canvas = $("picture");
    const canvas_width = Math.max(1, Math.round(width * scale));
    const canvas_height = Math.max(1, Math.round(height * scale));
    if (canvas.width !== canvas_width || canvas.height !== canvas_height) {
        canvas.width = canvas_width;
        canvas.height = canvas_height;
    }
    return {
        left: view.left, top: view.top, width: width / view.zoom, height: height / view.zoom,
        canvas_width, canvas_height,
    };
}

export function draw_preview(preview) {
    const context = $("picture").getContext("2d");
    if (preview instanceof ImageData) {
        context.putImageData(preview, 0, 0);
    } else {
        context.drawImage(preview, 0, 0);
    }
}

// A newly opened raster is shown whole; on a phone the stage takes its
// shape. null: no picture (a refused file), the drop zone shows again.
export function show_raster(raster) {
    const stage = $("stage");
    stage.classList.toggle("has-picture", raster !== null);
    if (raster === null) {
        show_readout(0, 0, null);
        return;
    }
    stage.style.setProperty("--aspect", `${raster.cols} / ${raster.rows}`);
    fit_view();
}

// The pixel under a point of the window, clamped to the raster.
export function pixel_at(client_x, client_y) {
    const box = $("stage").getBoundingClientRect();
    const { rows, cols } = state.raster;
    const column = Math.floor(view.left + (client_x - box.left) / view.zoom);
    const row = Math.floor(view.top + (client_y - box.top) / view.zoom);
    return { column: Math.max(0, Math.min(cols - 1, column)), row: Math.max(0, Math.min(rows - 1, row)) };
}

// The centre of a raster pixel, in window coordinates (for the tests too).
export function client_point(row, column) {
    const box = $("stage").getBoundingClientRect();
    return { x: box.left + (column + 0.5 - view.left) * view.zoom, y: box.top + (row + 0.5 - view.top) * view.zoom };
}

// Where a rectangle of the raster's pixels lies over the stage, in CSS pixels.
export function screen_box(rectangle) {
    return {
        left: (rectangle.left - view.left) * view.zoom, top: (rectangle.top - view.top) * view.zoom,
        width: (rectangle.right - rectangle.left + 1) * view.zoom,
        height: (rectangle.bottom - rectangle.top + 1) * view.zoom,
    };
}

// The readout of one pixel, every number as the module gave it; the exact
// floats also go in data attributes, for the tests and for copying.
export function show_readout(row, column, probe) {
    const readout = $("readout");
    if (!probe) {
        readout.textContent = "";
        readout.dataset.empty = "";
        return;
    }
    const { rgb, angle, projection, sample } = probe;
    const degrees = Number.isNaN(angle) ? "none (black)" : `${(angle * degrees_per_radian).toFixed(3)}\u00b0`;
    readout.textContent = `row ${row} col ${column} \u00b7 RGB ${rgb.join(" ")} \u00b7 angle ${degrees} \u00b7 ` +
        `projection ${Number.isNaN(projection) ? "none" : projection.toFixed(2)} \u00b7 sample ${sample}`;
    delete readout.dataset.empty;
    Object.assign(readout.dataset, {
        row: String(row), column: String(column), rgb: rgb.join(" "), angle: float_text(angle),
        projection: float_text(projection), sample: String(sample),
    });
}

function wire_gestures() {
    const stage = $("stage");
    // Captured on the stage, before the picking on the canvas sees the event.
    stage.addEventListener("pointerdown", (event) => {
        if (!state.raster) return;
        gesture.pointers.set(event.pointerId, { x: event.clientX, y: event.clientY });
        if (event.button === 1 || gesture.space || gesture.pointers.size > 1) {
            gesture.panning = true;
            gesture.pinched ||= gesture.pointers.size > 1;
            stage.classList.add("panning");
            stage.setPointerCapture(event.pointerId);
            event.preventDefault();
            event.stopPropagation();
        }
    }, { capture: true });
    stage.addEventListener("pointermove", (event) => {
        const held = gesture.pointers.get(event.pointerId);
        if (!held || !gesture.panning) return;
        const points = [...gesture.pointers.values()];
        const before = centre_and_spread(points);
        held.x = event.clientX;
        held.y = event.clientY;
        const after = centre_and_spread(points);
        if (points.length > 1 && before.spread > 0) {
            zoom_by(after.spread / before.spread, after.x, after.y);
        }
        pan_by(after.x - before.x, after.y - before.y);
    }, { capture: true });
    const release = (event) => {
        gesture.pointers.delete(event.pointerId);
        if (gesture.pointers.size === 0) {
            gesture.panning = false;
            gesture.pinched = false;
            stage.classList.remove("panning");
        }
    };
    stage.addEventListener("pointerup", release, { capture: true });
    stage.addEventListener("pointercancel", release, { capture: true });
    stage.addEventListener("wheel", (event) => {
        if (!state.raster) return;
        event.preventDefault();
        // Lines and pages as pixels, roughly.
        const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1;
        zoom_by(Math.exp(-event.deltaY * unit * wheel_scale), event.clientX, event.clientY);
    }, { passive: false });
    // The middle button would start the browser's autoscroll.
    stage.addEventListener("mousedown", (event) => {
        if (event.button === 1) event.preventDefault();
    });
}

function centre_and_spread(points) {
    const x = points.reduce((sum, p) => sum + p.x, 0) / points.length;
    const y = points.reduce((sum, p) => sum + p.y, 0) / points.length;
    const spread = points.length > 1 ? Math.hypot(points[0].x - points[1].x, points[0].y - points[1].y) : 0;
    return { x, y, spread };
}

export function wire_view() {
    wire_gestures();
    $("zoom-in").addEventListener("click", zoom_in);
    $("zoom-out").addEventListener("click", zoom_out);
    $("zoom-fit").addEventListener("click", fit_view);
    new ResizeObserver(([entry]) => {
        stage_box = { width: entry.contentRect.width, height: entry.contentRect.height };
        if (!state.raster) return;
        if (view.fitted) {
            fit_view();
        } else {
            keep_in_view();
            view_changed();
        }
    }).observe($("stage"));
    // For the tests and the curious.
    window.conemask_view = { view, client_point, fit_view, zoom_by };
}
