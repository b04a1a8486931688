// SPDX-License-Identifier: MIT
// Regions to take and to leave: the rectangles a drag adds (to leave with
// Alt held, or with "leave" chosen on the panel), their list with each
// one's pixel count and a remove button, their marks over the picture, the
// reference as the rounded mean of the pixels to take (until the user
// types one), and the fit with its report. The worker does the counting.
import { $, engine, schedule_update, state } from "./page.js";
import { operand_params, read_operands, set_reference } from "./controls.js";
import { screen_box } from "./view.js";
import { float_text } from "./geometry.js";

// { left, top, right, bottom (inclusive raster pixels), mode: "take" | "leave", selected (after a fit) }
const regions = [];
state.regions = regions;
let fitting = false;

// The mode a plain drag adds, as chosen on the panel.
export function region_mode() {
    return document.querySelector('input[name="region-mode"]:checked')?.value === "leave" ? "leave" : "take";
}

export function add_region(rectangle, mode = region_mode()) {
    const { left, top, right, bottom } = rectangle;
    regions.push({ left, top, right, bottom, mode, selected: null });
    regions_changed();
}

function remove_region(index) {
    regions.splice(index, 1);
    regions_changed();
}

// A new photograph: its regions belong to the old one.
export function clear_regions() {
    regions.length = 0;
    regions_changed();
}

const plural = (n, one) => `${n.toLocaleString("en")} ${one}${n === 1 ? "" : "s"}`;
const pixels_of = (r) => (r.right - r.left + 1) * (r.bottom - r.top + 1);

function show_list() {
    const list = $("regions-list");
    list.replaceChildren(...regions.map((r, index) => {
        const item = document.createElement("li");
        item.className = `region-${r.mode}`;
        const selected = r.selected === null ? "" : `, ${r.selected.toLocaleString("en")} selected`;
        item.append(`${r.mode} ${r.right - r.left + 1} x ${r.bottom - r.top + 1} at column ${r.left}, row ${r.top}: ` +
                    `${plural(pixels_of(r), "pixel")}${selected} `);
        const remove = document.createElement("button");
        remove.type = "button";
        remove.textContent = "remove";
        remove.setAttribute("aria-label", `remove the ${r.mode} rectangle at column ${r.left}, row ${r.top}`);
        remove.addEventListener("click", () => remove_region(index));
        item.append(remove);
        return item;
    }));
    $("regions-section").dataset.regions = String(regions.length);
}

// The rectangles over the picture, where the view puts them now.
export function show_regions() {
    const stage = $("stage");
    for (const mark of stage.querySelectorAll(".region-mark")) mark.remove();
    if (!state.raster) return;
    for (const r of regions) {
        const box = screen_box(r);
        const mark = document.createElement("div");
        mark.className = `region-mark region-${r.mode}`;
        Object.assign(mark.style, { left: `${box.left - 1}px`, top: `${box.top - 1}px`,
                                    width: `${box.width}px`, height: `${box.height}px` });
        stage.append(mark);
    }
}

async function regions_changed() {
    for (const r of regions) r.selected = null;
    show_fit_problem("");
    show_list();
    show_regions();
    if ($("reference-from-regions").checked && regions.some((r) => r.mode === "take") && state.raster) {
        const mean = await engine.mean(regions);
        if (mean) set_reference(mean);
    }
}

// The share as typed: a number of per cent from 1 to 100, with at most
// two decimals (the fit counts in hundredths of a per cent); anything
// else is refused, with the reason.
export function read_share(text) {
    const plain = /^\s*(\d+(\.\d{1,2})?|\.\d{1,2})\s*$/.exec(text);
    if (!plain) {
        return { share: null, problem: `The share "${text}" is not a number of per cent with at most two decimals` };
    }
    const share = Number(plain[1]);
    if (!(share >= 1 && share <= 100)) {
        return { share: null, problem: `The share ${text.trim()}% is outside 1 to 100 per cent` };
    }
    return { share, problem: null };
}

// The fit's report, or why there is none; in the panel, as every update
// rewrites the page's message line.
function show_fit_problem(text) {
    const report = $("fit-report");
    report.textContent = text;
    report.classList.toggle("problem", text !== "");
    for (const key of Object.keys(report.dataset)) delete report.dataset[key];
}

const percent = (part, whole) => whole === 0 ? "0%" : `${(100 * part / whole).toFixed(1)}%`;

export async function fit_to_region() {
    if (!state.raster || fitting) return;
    if (!regions.some((r) => r.mode === "take")) {
        show_fit_problem("Drag a rectangle over what the mask should take first");
        return;
    }
    const { share, problem } = read_share($("share").value);
    if (problem) {
        show_fit_problem(problem);
        return;
    }
    const problems = read_operands();
    if (state.operands_refused) {
        show_fit_problem(`No fit while an operand is refused: ${problems.join("; ")}`);
        return;
    }
    const fit_thresh = $("fit-thresh").checked;
    fitting = true;
    $("fit").disabled = true;
    try {
        const { reference, thresh } = operand_params();
        const found = await engine.fit(regions, { reference, thresh, share, fit_thresh });
        regions.forEach((r, i) => { r.selected = found.regions[i]; });
        show_list();
        show_fit_problem("");
        $("theta").value = float_text(found.max_angle);
        if (fit_thresh) $("thresh").value = String(found.thresh);
        const leave = found.leave_pixels === 0 ? "(there are no pixels to leave)"
            : `and ${percent(found.leave_selected, found.leave_pixels)} of the pixels to leave ` +
              `(${found.leave_selected.toLocaleString("en")} of ${found.leave_pixels.toLocaleString("en")})`;
        $("fit-report").textContent = `theta ${float_text(found.max_angle)}, thresh ${found.thresh}: takes ` +
            `${percent(found.take_selected, found.take_pixels)} of the pixels to take ` +
            `(${found.take_selected.toLocaleString("en")} of ${found.take_pixels.toLocaleString("en")}) ${leave}`;
        Object.assign($("fit-report").dataset, { maxAngle: float_text(found.max_angle), thresh: String(found.thresh),
                                                takeSelected: String(found.take_selected),
                                                leaveSelected: String(found.leave_selected) });
        schedule_update();
    } catch (error) {
        show_fit_problem(error.name === "cancelled" ? "The fit was cancelled; theta and thresh are as they were"
                                                    : error.message);
    } finally {
        fitting = false;
        $("fit").disabled = false;
    }
}

export function wire_regions() {
    $("fit").addEventListener("click", fit_to_region);
    // A reference typed by hand stays until the box is ticked again.
    for (const id of ["red", "green", "blue"]) {
        $(id).addEventListener("input", () => { $("reference-from-regions").checked = false; });
    }
    $("reference-from-regions").addEventListener("change", () => {
        if ($("reference-from-regions").checked) regions_changed();
    });
    show_list();
}
