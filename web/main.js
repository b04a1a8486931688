// SPDX-License-Identifier: MIT
// The page's entry: loads the WebAssembly module (for the operands) and
// starts the engine (the worker that classifies and draws), wires the
// modules together and runs the update that redraws.
import { $, engine, on_update, schedule_update, show_message, state, use_engine, use_geometry } from "./page.js";
import { load_geometry } from "./geometry.js";
import { conemask_module } from "./wasm_module.js";
import { start_engine } from "./engine.js";
import { operand_params, read_operands, show_command, show_operands, wire_controls } from "./controls.js";
import { draw_preview, view_rectangle, wire_view } from "./view.js";
import { draw_histogram, draw_legend, overlay_params, wire_histogram } from "./overlay.js";
import { forget_cursor, refresh_readout, show_marks, wire_selection } from "./selection.js";
import { keep_settings, settings_problems, wire_settings } from "./settings.js";
import { wire_keys } from "./keys.js";
import { wire_opening } from "./open.js";
import { clear_regions, show_regions, wire_regions } from "./regions.js";
import { show_batch_line, wire_batch } from "./batch.js";

// The raster that the engine holds (the open flow has it read there).
let engine_raster = null;

function show_stats(result) {
    const { selected, pixels } = result;
    $("stats").textContent = `${selected.toLocaleString("en")} of ${pixels.toLocaleString("en")} pixels selected ` +
        `(${(100 * selected / pixels).toFixed(2)}%), updated in ${state.last_update_ms.toFixed(0)} ms`;
}

// Reads the operands, shows the lines, and has the engine classify the
// raster and draw the part of it in view.
async function update() {
    const problems = [...settings_problems(), ...read_operands()];
    show_message(problems.join("; "));
    show_operands();
    show_command();
    show_batch_line();
    draw_legend();
    keep_settings();
    const raster = state.raster;
    if (!raster) {
        draw_histogram(null);
        return;
    }
    if (engine_raster !== raster) {
        engine_raster = raster;
        forget_cursor();
        clear_regions();
    }
    if (state.operands_refused) {
        // The picture keeps the last operands the program would take; nothing to download.
        document.body.dataset.state = "ready";
        return;
    }
    const result = await engine.update({ ...operand_params(), view: { ...view_rectangle(), ...overlay_params() } });
    // A later update superseded this one, or another file came.
    if (!result || state.raster !== raster) return;
    draw_preview(result.preview);
    state.histogram = result.histogram;
    state.largest = result.largest;
    // What the user waits: from the request to the answer, the worker's time and the messages'.
    state.last_update_ms = result.round_trip_ms ?? result.ms;
    draw_histogram(result.histogram);
    show_marks();
    show_regions();
    refresh_readout();
    show_stats(result);
    $("download").disabled = state.operands_refused;
    state.updates += 1;
    document.body.dataset.state = "ready";
    document.body.dataset.updates = String(state.updates);
}

function run_update() {
    update().catch((error) => {
        show_message(`The preview failed: ${error.message}`);
        document.body.dataset.state = "broken";
    });
}

try {
    use_geometry(await load_geometry(await conemask_module()));
    use_engine(await start_engine());
    on_update(run_update);
    wire_settings();
    wire_opening(schedule_update);
    wire_controls();
    wire_view();
    wire_histogram();
    wire_selection();
    wire_regions();
    wire_keys();
    wire_batch();
    run_update();
    document.body.dataset.state = "ready";
} catch (error) {
    show_message(`The page could not start its WebAssembly module: ${error.message}`);
    document.body.dataset.state = "broken";
}
