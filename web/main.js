// SPDX-License-Identifier: MIT
// The page's entry: loads the WebAssembly module, opens files, wires the
// modules together and runs the update that classifies and redraws.
import { $, on_update, schedule_update, show_message, state, use_geometry } from "./page.js";
import { open_image, open_raw } from "./decode.js";
import { load_geometry } from "./geometry.js";
import { read_operands, show_command, show_operands, wire_controls } from "./controls.js";
import { draw_histogram, draw_picture, show_raster } from "./view.js";
import { show_selection, wire_selection } from "./selection.js";

let geometry_loaded = null;

// Classifies the whole raster and redraws.
function update() {
    const problems = read_operands();
    show_message(problems.join("; "));
    show_operands();
    show_command();
    const raster = state.raster;
    if (!raster) {
        return;
    }
    const start = performance.now();
    const { samples, selected, largest } = geometry_loaded.classify(raster.rgb, state.reference, state.max_angle,
                                                                    state.thresh);
    state.samples = samples;
    state.largest = largest;
    draw_picture();
    draw_histogram();
    const pixels = raster.rows * raster.cols;
    state.last_update_ms = performance.now() - start;
    state.updates += 1;
    $("stats").textContent = `${selected.toLocaleString("en")} of ${pixels.toLocaleString("en")} pixels selected ` +
        `(${(100 * selected / pixels).toFixed(2)}%), updated in ${state.last_update_ms.toFixed(0)} ms`;
    $("download").disabled = false;
    document.body.dataset.state = "ready";
    document.body.dataset.updates = String(state.updates);
}

async function open_file(file) {
    show_message("");
    document.body.dataset.state = "opening";
    try {
        let raster;
        if (/\.rgb$/i.test(file.name)) {
            raster = await open_raw(file, Number($("raw-rows").value), Number($("raw-cols").value));
            raster.image_name = null;
        } else {
            raster = await open_image(file);
            raster.image_name = file.name;
        }
        state.raster = raster;
        state.rectangle = null;
        state.angles_reference = null;
        show_selection(null);
        show_raster(raster);
        update();
    } catch (error) {
        state.raster = null;
        state.samples = null;
        $("download").disabled = true;
        show_command();
        show_message(error.message);
        document.body.dataset.state = "refused";
    }
}

function wire_opening() {
    $("image-file").addEventListener("change", () => {
        const file = $("image-file").files[0];
        if (file) open_file(file);
    });
    for (const id of ["raw-rows", "raw-cols"]) {
        $(id).addEventListener("change", () => {
            const file = $("image-file").files[0];
            if (file && /\.rgb$/i.test(file.name)) open_file(file);
        });
    }
    const zone = $("drop-zone");
    zone.addEventListener("dragover", (event) => {
        event.preventDefault();
        zone.classList.add("over");
    });
    zone.addEventListener("dragleave", () => zone.classList.remove("over"));
    zone.addEventListener("drop", (event) => {
        event.preventDefault();
        zone.classList.remove("over");
        const file = event.dataTransfer.files[0];
        if (file) open_file(file);
    });
}

try {
    geometry_loaded = await load_geometry();
    use_geometry(geometry_loaded);
    on_update(update);
    wire_opening();
    wire_controls();
    wire_selection();
    $("mask-only").addEventListener("change", schedule_update);
    update();
    document.body.dataset.state = "ready";
} catch (error) {
    show_message(`The page could not start its WebAssembly module: ${error.message}`);
    document.body.dataset.state = "broken";
}
