// SPDX-License-Identifier: MIT
// The operands: their fields and sliders, read as the program reads them
// (with a warning wherever that reading is lenient, and no command at all
// where the program would refuse one); the command line and the conversion
// line the user takes away, copy and the download of the mask.
import { $, degrees_per_radian, engine, geometry, schedule_update, show_message, state } from "./page.js";
import { float_text } from "./geometry.js";
import { convert_line, shell_word } from "./names.js";

// Texts that the program reads whole, exactly as they stand; any other
// text it still reads (a prefix of it, or 0), and the page says how.
const plain_integer = /^[+-]?\d+$/;
const plain_float = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$|^[+-]?(inf|infinity|nan)$/i;
// The longest base name whose .rgb and .raw names fit the program's buffers, in bytes.
const max_base_bytes = 295;
const copied_note_ms = 2000;

// A text as the program reads it: { value, problem }, value null when the
// program refuses the text.
export function read_operand_text(text, name, kind) {
    const integer = kind === "integer";
    const value = integer ? geometry.convert_integer(text) : geometry.convert_angle(text);
    if (value === null) {
        return { value: null, problem: `${name}: more than 99 characters, which conemask refuses` };
    }
    // A plain integer beyond 32 bits is cut by the program: lenient too.
    const plain = integer ? plain_integer.test(text) && BigInt(text) === BigInt(value) : plain_float.test(text);
    if (!plain) {
        return { value, problem: `${name}: conemask reads "${text}" as ${integer ? value : float_text(value)}` };
    }
    return { value, problem: null };
}

// Problems that a pasted line left for the next reading (its rows and cols).
let pasted_problems = [];
export function note_pasted_problems(problems) {
    pasted_problems = problems;
}

// The operands from their fields into the state; the problems found, as
// texts for the message line. A refused operand leaves the state as it was
// and marks the operands refused.
export function read_operands() {
    const problems = [...pasted_problems];
    let refused = false;
    const read = (field, kind) => {
        const { value, problem } = read_operand_text($(field).value, field, kind);
        if (problem) problems.push(problem);
        refused ||= value === null;
        return value;
    };
    const reference = [read("red", "integer"), read("green", "integer"), read("blue", "integer")];
    const max_angle = read("theta", "angle");
    const thresh = read("thresh", "integer");
    const base = state.raster?.base;
    if (base !== undefined && new TextEncoder().encode(base).length > max_base_bytes) {
        problems.push(`the file's name without .rgb is longer than ${max_base_bytes} bytes, which conemask ` +
                      "refuses: rename the file");
        refused = true;
    }
    state.operands_refused = refused;
    if (!refused) {
        Object.assign(state, { reference, max_angle, thresh });
    }
    return problems;
}

// The operands as the engine takes them.
export function operand_params() {
    return { reference: [...state.reference], max_angle: state.max_angle, thresh: state.thresh };
}

// Each write to the page costs it a new style and layout, at every step of
// a moving slider: only what changed is written.
function set_slider(slider, value) {
    if (!(Math.abs(Number(slider.value) - value) < Number(slider.step) / 2)) slider.value = String(value);
}
function set_text(element, text) {
    if (element.textContent !== text) element.textContent = text;
}

export function show_operands() {
    const [red, green, blue] = state.reference;
    const clamp = (v) => Math.max(0, Math.min(255, v));
    const swatch = `rgb(${clamp(red)}, ${clamp(green)}, ${clamp(blue)})`;
    if ($("swatch").dataset.colour !== swatch) {
        $("swatch").dataset.colour = swatch;
        $("swatch").style.background = swatch;
    }
    const degrees = state.max_angle * degrees_per_radian;
    set_slider($("theta-slider"), Math.max(0, Math.min(180, degrees)));
    set_text($("theta-degrees"), `${Number.isFinite(degrees) ? degrees.toFixed(2) : degrees}\u00b0`);
    set_slider($("thresh-slider"), Math.max(-128, Math.min(254, state.thresh)));
}

export function show_command() {
    const raster = state.raster;
    const refused = state.operands_refused;
    const set_value = (id, text) => {
        if ($(id).value !== text) $(id).value = text;
    };
    const placeholder = refused ? "no command: conemask would refuse an operand (see the message)" : "";
    if ($("command").placeholder !== placeholder) $("command").placeholder = placeholder;
    $("copy").disabled = !raster || refused;
    if (refused) $("download").disabled = true;
    if (!raster || refused) {
        set_value("command", "");
        set_value("convert-line", raster?.image_name ? convert_line(raster.image_name, raster.base) : "");
        return;
    }
    const base = shell_word(raster.base);
    const [red, green, blue] = state.reference;
    set_value("command", `conemask ${red} ${green} ${blue} ${float_text(state.max_angle)} ${state.thresh} ` +
                         `${base} ${raster.rows} ${raster.cols}`);
    set_value("convert-line", raster.image_name
        ? convert_line(raster.image_name, raster.base)
        : `${raster.base}.rgb is already the program's input`);
}

export function set_reference([red, green, blue]) {
    $("red").value = String(red);
    $("green").value = String(green);
    $("blue").value = String(blue);
    schedule_update();
}

export async function download_mask() {
    const raster = state.raster;
    if (!raster || state.operands_refused) return;
    const samples = await engine.mask(operand_params());
    // Another file came meanwhile: this mask is not the one its name would say.
    if (state.raster !== raster) return;
    // The file is little-endian, as WebAssembly's memory and every browser's machine are.
    const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
    link.download = `${raster.base}.raw`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
}

let copied_timer = null;
export async function copy_command() {
    const text = $("command").value;
    if (!text) return;
    let said = "copied";
    try {
        await navigator.clipboard.writeText(text);
    } catch {
        $("command").select();
        said = document.execCommand("copy") ? "copied" : "could not copy: select the line and copy it";
    }
    const note = $("copied");
    note.textContent = said;
    clearTimeout(copied_timer);
    copied_timer = setTimeout(() => { note.textContent = ""; }, copied_note_ms);
}

// A theta or thresh nudged from the keyboard, by one step of its slider.
export function nudge(field, steps) {
    const slider = $(`${field}-slider`);
    slider.value = String(Number(slider.value) + steps * Number(slider.step));
    slider.dispatchEvent(new Event("input"));
}

export function wire_controls() {
    for (const id of ["red", "green", "blue", "theta", "thresh"]) {
        $(id).addEventListener("input", schedule_update);
    }
    $("theta-slider").addEventListener("input", () => {
        $("theta").value = float_text(Math.fround(Number($("theta-slider").value) / degrees_per_radian));
        schedule_update();
    });
    $("thresh-slider").addEventListener("input", () => {
        $("thresh").value = $("thresh-slider").value;
        schedule_update();
    });
    $("copy").addEventListener("click", copy_command);
    $("download").addEventListener("click", () => {
        download_mask().catch((error) => show_message(`The mask could not be made: ${error.message}`));
    });
}
