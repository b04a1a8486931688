// SPDX-License-Identifier: MIT
// The operands: their fields and sliders, read as the program reads them;
// the command line and the conversion line the user takes away, copy and
// the download of the mask.
import { $, degrees_per_radian, geometry, schedule_update, state } from "./page.js";
import { float_text } from "./geometry.js";

const looks_integer = /^\s*[+-]?\d/;
const looks_float = /^\s*[+-]?(\d|\.\d|inf|nan)/i;

// An operand field read as the program reads it; a text that is no number
// is still read as the program reads it (0), and the page says so.
function read_operand(field, name, looks_numeric, convert) {
    const text = $(field).value;
    const value = convert(text);
    if (value === null) {
        return { value: null, problem: `${name}: more than 99 characters, which conemask refuses` };
    }
    if (!looks_numeric.test(text)) {
        return { value, problem: `${name}: "${text}" is not a number; conemask reads it as ${value}` };
    }
    return { value, problem: null };
}

// The operands from their fields into the state; the problems found, as
// texts for the message line.
export function read_operands() {
    const problems = [];
    const integer = (field, name) => {
        const { value, problem } = read_operand(field, name, looks_integer, geometry.convert_integer);
        if (problem) problems.push(problem);
        return value;
    };
    const reference = [integer("red", "red"), integer("green", "green"), integer("blue", "blue")];
    const thresh = integer("thresh", "thresh");
    const angle = read_operand("theta", "theta", looks_float, geometry.convert_angle);
    if (angle.problem) problems.push(angle.problem);
    if (!reference.includes(null) && thresh !== null && angle.value !== null) {
        state.reference = reference;
        state.thresh = thresh;
        state.max_angle = angle.value;
    }
    return problems;
}

export function show_operands() {
    const [red, green, blue] = state.reference;
    const clamp = (v) => Math.max(0, Math.min(255, v));
    $("swatch").style.background = `rgb(${clamp(red)}, ${clamp(green)}, ${clamp(blue)})`;
    const degrees = state.max_angle * degrees_per_radian;
    $("theta-slider").value = String(Math.max(0, Math.min(180, degrees)));
    $("theta-degrees").textContent = `${Number.isFinite(degrees) ? degrees.toFixed(2) : degrees} degrees`;
    $("thresh-slider").value = String(Math.max(-128, Math.min(254, state.thresh)));
}

// A text that the shell passes on as one word, unchanged.
function shell_word(text) {
    return /^[\w.,+@%/:=-]+$/.test(text) ? text : `'${text.replaceAll("'", "'\\''")}'`;
}

export function show_command() {
    const raster = state.raster;
    if (!raster) {
        $("command").value = "";
        $("convert-line").value = "";
        return;
    }
    const base = shell_word(raster.base);
    const [red, green, blue] = state.reference;
    $("command").value = `conemask ${red} ${green} ${blue} ${float_text(state.max_angle)} ${state.thresh} ` +
                         `${base} ${raster.rows} ${raster.cols}`;
    $("convert-line").value = raster.image_name
        ? `convert ${shell_word(raster.image_name)} -alpha off -colorspace sRGB -depth 8 -print '%h %w\\n' ` +
          `rgb:${shell_word(raster.base + ".rgb")}`
        : `${raster.base}.rgb is already the program's input`;
}

export function set_reference([red, green, blue]) {
    $("red").value = String(red);
    $("green").value = String(green);
    $("blue").value = String(blue);
    schedule_update();
}

function download_mask() {
    const { samples } = geometry.classify(state.raster.rgb, state.reference, state.max_angle, state.thresh);
    // WebAssembly's memory is little-endian, as the file is: its bytes go as they are.
    const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength).slice();
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
    link.download = `${state.raster.base}.raw`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
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
    $("copy").addEventListener("click", async () => {
        try {
            await navigator.clipboard.writeText($("command").value);
        } catch {
            $("command").select();
            document.execCommand("copy");
        }
    });
    $("download").addEventListener("click", download_mask);
}
