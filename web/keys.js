// SPDX-License-Identifier: MIT
// The keys: every action of the page has one, and ? lists them. Keys act
// when no text field has the focus; the arrows and Enter act on the picture
// when it has the focus.
import { $ } from "./page.js";
import { copy_command, nudge } from "./controls.js";
import { fit_view, pan_by, zoom_in, zoom_out, gesture } from "./view.js";
import { clear_selection, move_cursor, take_at_cursor } from "./selection.js";
import { fit_to_region } from "./regions.js";
import { hold_before } from "./overlay.js";

// CSS pixels that Ctrl with an arrow pans the picture by.
const pan_step = 80;

const choose_overlay = (mode) => () => {
    const radio = document.querySelector(`input[name="overlay"][value="${mode}"]`);
    radio.checked = true;
    radio.dispatchEvent(new Event("change"));
};

// [keys shown in the list, what it does, the key values it answers, action, only on the picture]
const key_map = [
    ["\u2190 \u2191 \u2192 \u2193", "move the cursor on the picture (the readout follows it)", [], null, true],
    ["Shift + arrows", "grow a rectangle from the cursor", [], null, true],
    ["Enter", "take the cursor's pixel, or add the grown rectangle to the regions", ["Enter"], take_at_cursor, true],
    ["Alt + Enter", "add the grown rectangle as one to leave", [], null, true],
    ["Ctrl + arrows", "pan the picture", [], null, true],
    ["Escape", "drop the rectangle", ["Escape"], clear_selection, true],
    ["+  -", "zoom in, zoom out (also the wheel, a pinch)", ["+", "=", "-", "_"], null, false],
    ["0", "fit the picture to the window", ["0"], fit_view, false],
    ["Space + drag", "pan (also the middle button, two fingers)", [], null, false],
    ["t  m  a  p", "tint, mask alone, angle map, photograph", ["t", "m", "a", "p"], null, false],
    ["b (held)", "the untouched photograph while held", ["b"], null, false],
    ["[  ]", "theta down, up", ["[", "]"], null, false],
    ["{  }", "thresh down, up", ["{", "}"], null, false],
    ["f", "fit theta to the regions", ["f"], fit_to_region, false],
    ["o", "open a photograph", ["o"], () => $("image-file").click(), false],
    ["l", "paste a conemask command line", ["l"], () => $("pasted").focus(), false],
    ["c", "copy the command line", ["c"], copy_command, false],
    ["d", "download the mask", ["d"], () => $("download").click(), false],
    ["?", "this list", ["?"], show_keys, false],
];

const key_actions = {
    "+": zoom_in, "=": zoom_in, "-": zoom_out, "_": zoom_out,
    t: choose_overlay("tint"), m: choose_overlay("mask"), a: choose_overlay("angles"), p: choose_overlay("photo"),
    "[": () => nudge("theta", -1), "]": () => nudge("theta", 1),
    "{": () => nudge("thresh", -1), "}": () => nudge("thresh", 1),
};
for (const [, , keys, action] of key_map) {
    for (const key of keys) {
        if (action) key_actions[key] = action;
    }
}

const arrow_steps = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1] };

function show_keys() {
    const list = $("keys-list");
    if (list.childElementCount === 0) {
        for (const [keys, what] of key_map) {
            const term = document.createElement("dt");
            term.textContent = keys;
            const description = document.createElement("dd");
            description.textContent = what;
            list.append(term, description);
        }
    }
    $("keys").showModal();
}

const clickable_inputs = ["radio", "checkbox", "button", "range", "color"];

// A key typed into a field belongs to the field; not so a box, a button or a slider.
function is_typing(target) {
    return target instanceof HTMLTextAreaElement || target instanceof HTMLSelectElement ||
        (target instanceof HTMLInputElement && !clickable_inputs.includes(target.type));
}

export function wire_keys() {
    $("keys-button").addEventListener("click", show_keys);
    const stage = $("stage");
    stage.addEventListener("keydown", (event) => {
        const step = arrow_steps[event.key];
        if (step) {
            event.preventDefault();
            if (event.ctrlKey || event.metaKey) {
                pan_by(-step[1] * pan_step, -step[0] * pan_step);
            } else {
                move_cursor(step[0], step[1], event.shiftKey);
            }
        } else if (event.key === "Enter") {
            event.preventDefault();
            take_at_cursor(event.altKey);
        } else if (event.key === "Escape") {
            event.preventDefault();
            clear_selection();
        }
    });
    document.addEventListener("keydown", (event) => {
        if (is_typing(event.target) || event.altKey || event.ctrlKey || event.metaKey) return;
        if (event.key === " ") {
            // Space held: dragging pans. Buttons keep their own Space.
            if (event.target instanceof HTMLButtonElement) return;
            gesture.space = true;
            event.preventDefault();
            return;
        }
        if (event.key === "b") {
            hold_before(true);
            return;
        }
        const action = key_actions[event.key];
        // Enter and Escape act on the picture alone; elsewhere they are the browser's.
        if (action && event.key !== "Enter" && event.key !== "Escape") {
            event.preventDefault();
            action();
        }
    });
    document.addEventListener("keyup", (event) => {
        if (event.key === " ") gesture.space = false;
        if (event.key === "b") hold_before(false);
    });
    window.addEventListener("blur", () => {
        gesture.space = false;
        hold_before(false);
    });
}
