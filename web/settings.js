// SPDX-License-Identifier: MIT
// Settings that travel: the operands in the URL's fragment (a bookmark or a
// shared link restores them), the last ones kept in this browser's storage
// (the operands only, never the picture), and a pasted conemask command
// line read as the program reads its operands.
import { $, schedule_update, state } from "./page.js";
import { float_text } from "./geometry.js";
import { note_pasted_problems, read_operand_text } from "./controls.js";
import { parse_fragment, shell_words } from "./settings_text.js";

const storage_key = "conemask-tuner-operands";
const operand_fields = ["red", "green", "blue", "theta", "thresh"];

function set_fields(texts) {
    for (const [field, text] of Object.entries(texts)) {
        $(field).value = text;
    }
}

// The fragment for the operands the page holds now.
function fragment_of_state() {
    return `ref=${state.reference.join(",")}&theta=${float_text(state.max_angle)}&thresh=${state.thresh}`;
}

// A message the next update must show too (it rewrites the message line).
let fragment_problem = null;
let storage_problem = null;
export function settings_problems() {
    return [fragment_problem, storage_problem].filter((problem) => problem !== null);
}

// Applies the URL's fragment, if there is one; one that does not parse
// changes nothing, and the page says so. At load it is applied even when
// it names the operands the page starts with: the fields may hold stored
// ones by then.
function apply_fragment(at_load = false) {
    const fragment = location.hash.replace(/^#/, "");
    fragment_problem = null;
    if (fragment === "" || (!at_load && fragment === fragment_of_state())) return;
    const texts = parse_fragment(fragment);
    if (texts instanceof Error) {
        let shown = fragment;
        try {
            shown = decodeURIComponent(fragment);
        } catch {
            // shown as it stands
        }
        fragment_problem = `The link's settings "#${shown}" were ignored: ${texts.message}`;
        return;
    }
    set_fields(texts);
}

// Time after the last update before the settings are kept: rewriting the
// address at every step of a moving slider costs the page more than the update.
const keep_delay_ms = 300;
let keep_timer = null;

// After each update: the fragment and the storage follow the operands the
// page holds, as the program reads them, once they rest. A refused operand
// is kept nowhere.
export function keep_settings() {
    clearTimeout(keep_timer);
    keep_timer = setTimeout(keep_now, keep_delay_ms);
}

function keep_now() {
    if (state.operands_refused) return;
    const fragment = fragment_of_state();
    if (location.hash !== `#${fragment}`) {
        history.replaceState(null, "", `#${fragment}`);
    }
    try {
        const texts = Object.fromEntries(operand_fields.map((field) => [field, $(field).value]));
        localStorage.setItem(storage_key, JSON.stringify(texts));
    } catch (error) {
        // Storage may be off (a private window, a file:// page in some browsers).
        storage_problem = `The settings cannot be kept for the next visit: ${error.message}`;
    }
}

function restore_stored() {
    let stored;
    try {
        stored = JSON.parse(localStorage.getItem(storage_key) ?? "null");
    } catch {
        return;  // storage that cannot be read or holds no settings: the defaults stand
    }
    if (stored && operand_fields.every((field) => typeof stored[field] === "string" && stored[field].length < 100)) {
        set_fields(Object.fromEntries(operand_fields.map((field) => [field, stored[field]])));
    }
}

// A pasted "conemask R G B THETA THRESH BASE ROWS COLS": every operand's
// field takes its word as it stands, so that it is read as the program reads
// it; rows and cols go to the raw raster's size, which reopens a .rgb.
export function apply_pasted_line(line) {
    const words = shell_words(line.trim());
    // A line that is refused changes nothing; its message stays until the next edit.
    const refuse = (why) => {
        note_pasted_problems([why]);
        schedule_update();
        return false;
    };
    if (words === null) {
        return refuse("The pasted line has a quote that is not closed");
    }
    if (words.length !== 9 || !/(^|\/)conemask$/.test(words[0])) {
        return refuse("The pasted line must read conemask R G B THETA THRESH BASE ROWS COLS (eight operands); " +
                      `it has ${Math.max(0, words.length - 1)} words after ${words[0] ?? "nothing"}`);
    }
    const [, red, green, blue, theta, thresh, base, rows, cols] = words;
    set_fields({ red, green, blue, theta, thresh });
    const problems = [];
    const size = [["rows", rows], ["cols", cols]].map(([name, text]) => {
        const { value, problem } = read_operand_text(text, name, "integer");
        if (problem) problems.push(problem);
        return value;
    });
    if (!size.includes(null)) {
        $("raw-rows").value = String(size[0]);
        $("raw-cols").value = String(size[1]);
        // The open flow reopens a chosen .rgb at the new size.
        $("raw-rows").dispatchEvent(new Event("change"));
    }
    if (state.raster && state.raster.base !== base) {
        problems.push(`the line is for ${base}.rgb; the page shows ${state.raster.base}`);
    }
    note_pasted_problems(problems);
    schedule_update();
    return true;
}

export function wire_settings() {
    // The link's operands win over the stored ones.
    restore_stored();
    apply_fragment(true);
    window.addEventListener("hashchange", () => {
        apply_fragment();
        schedule_update();
    });
    // A line takes effect when pasted, and when typed once Enter or leaving
    // the field says it is complete; the same text is not applied twice.
    const pasted = $("pasted");
    let applied = null;
    const apply = () => {
        if (pasted.value.trim() !== "" && pasted.value !== applied) {
            applied = pasted.value;
            apply_pasted_line(pasted.value);
        }
    };
    pasted.addEventListener("change", apply);
    pasted.addEventListener("keydown", (event) => {
        if (event.key === "Enter") apply();
    });
    pasted.addEventListener("input", (event) => {
        if (event.inputType === "insertFromPaste") apply();
    });
    pasted.addEventListener("focus", () => { applied = null; });
    // A field typed into after a paste: the paste's notes are old news.
    for (const field of operand_fields) {
        $(field).addEventListener("input", () => {
            note_pasted_problems([]);
            fragment_problem = null;
        });
    }
}
