// SPDX-License-Identifier: MIT
// The open flow: the file input, a dropped file, the rows and cols that
// reopen a raw raster. The worker reads the file; the picture before it is
// withdrawn the moment a file is chosen (so that no old mask passes for the
// new file's), and a refusal leaves nothing of it either.
import { $, engine, state } from "./page.js";
import { show_command } from "./controls.js";
import { conemask_image_line } from "./names.js";
import { float_text } from "./geometry.js";
import { show_raster } from "./view.js";
import { show_selection } from "./selection.js";
import { clear_regions } from "./regions.js";

// The file last chosen or dropped: typing rows and cols reopens it, unless
// they are those it was opened with (a field's change event comes on
// leaving it, after the file may have opened with its value).
let chosen_file = null;
let opened_size = null;
const typed_size = () => ({ rows: $("raw-rows").value, cols: $("raw-cols").value });
let opening = 0;

const is_raw = (file) => /\.rgb$/i.test(file.name);

function show_file_message(text) {
    $("file-message").textContent = text;
}

// Nothing left of the picture before: canvas, rectangles, count, histogram,
// command, download.
function clear_picture() {
    state.raster = null;
    state.samples = null;
    state.rectangle = null;
    state.angles_reference = null;
    show_selection(null);
    clear_regions();
    show_raster(null);
    for (const id of ["picture", "histogram"]) {
        const canvas = $(id);
        canvas.getContext("2d").clearRect(0, 0, canvas.width, canvas.height);
    }
    $("stats").textContent = "";
    $("download").disabled = true;
    show_command();
}

// For the tests: which file the page last finished opening, and how many.
function opened(file) {
    document.body.dataset.opened = file.name;
    document.body.dataset.opens = String(Number(document.body.dataset.opens ?? 0) + 1);
}

async function open_file(file, update) {
    chosen_file = file;
    const this_opening = ++opening;
    clear_picture();
    show_file_message("");
    document.body.dataset.state = "opening";
    try {
        const raw = is_raw(file) ? typed_size() : null;
        opened_size = raw;
        const raster = await engine.open_file(file, raw);
        if (this_opening !== opening) return;  // a later file won
        state.raster = raster;
        show_raster(raster);
        show_file_message([raster.note, raster.rename].filter(Boolean).join(". "));
        update();
        opened(file);
    } catch (error) {
        if (this_opening !== opening) return;
        opened_size = null;
        clear_picture();
        const line = () => conemask_image_line(file.name, state.reference, float_text(state.max_angle), state.thresh);
        show_file_message(error.name === "use_conemask_image" ? `${error.message}: ${line()}`
            : error.name === "cancelled" ? `Opening ${file.name} was cancelled` : error.message);
        document.body.dataset.state = "refused";
        opened(file);
    }
}

export function wire_opening(update) {
    $("image-file").addEventListener("change", () => {
        const file = $("image-file").files[0];
        if (file) open_file(file, update);
    });
    for (const id of ["raw-rows", "raw-cols"]) {
        $(id).addEventListener("change", () => {
            const same = opened_size && JSON.stringify(typed_size()) === JSON.stringify(opened_size);
            if (chosen_file && is_raw(chosen_file) && !same) open_file(chosen_file, update);
        });
    }
    // The whole picture area takes a dropped file.
    const zone = $("stage");
    zone.addEventListener("dragover", (event) => {
        event.preventDefault();
        zone.classList.add("over");
    });
    zone.addEventListener("dragleave", () => zone.classList.remove("over"));
    zone.addEventListener("drop", (event) => {
        event.preventDefault();
        zone.classList.remove("over");
        const file = event.dataTransfer.files[0];
        if (file) open_file(file, update);
    });
}
