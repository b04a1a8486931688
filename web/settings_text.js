// SPDX-License-Identifier: MIT
// The texts that settings.js reads: the URL's fragment and a pasted
// command line. A module of its own, free of the page and of the
// WebAssembly module, so that node tests it (tests/pure_modules.test.mjs).

const fragment_integer = /^[+-]?\d{1,99}$/;
// What float_text writes: a decimal number, or inf or nan.
const fragment_float = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$|^-?(inf|nan)$/;

// The fragment's operands as field texts, or an Error saying why it does not parse.
export function parse_fragment(fragment) {
    const fields = new URLSearchParams(fragment);
    const known = new Set(["ref", "theta", "thresh"]);
    for (const key of fields.keys()) {
        if (!known.has(key)) return new Error(`it holds "${key}", which is none of ref, theta, thresh`);
    }
    const texts = {};
    if (fields.has("ref")) {
        const parts = fields.get("ref").split(",");
        if (parts.length !== 3 || !parts.every((p) => fragment_integer.test(p))) {
            return new Error("ref must be three whole numbers, as ref=180,40,15");
        }
        [texts.red, texts.green, texts.blue] = parts;
    }
    if (fields.has("theta")) {
        texts.theta = fields.get("theta");
        if (!fragment_float.test(texts.theta) || texts.theta.length > 99) {
            return new Error("theta must be a number of radians, as theta=0.12");
        }
    }
    if (fields.has("thresh")) {
        texts.thresh = fields.get("thresh");
        if (!fragment_integer.test(texts.thresh)) return new Error("thresh must be a whole number, as thresh=10");
    }
    if (Object.keys(texts).length === 0) return new Error("it names no operand");
    return texts;
}

// A command line split into words as a POSIX shell splits it, for the
// quoting that lines printed by the page (and most shells' users) use:
// blanks, single quotes, double quotes and backslashes. null when a quote
// is left open.
export function shell_words(line) {
    const words = [];
    let word = null;
    for (let i = 0; i < line.length; ++i) {
        const c = line[i];
        if (/\s/.test(c)) {
            if (word !== null) words.push(word);
            word = null;
            continue;
        }
        word ??= "";
        if (c === "'") {
            const end = line.indexOf("'", i + 1);
            if (end < 0) return null;
            word += line.slice(i + 1, end);
            i = end;
        } else if (c === '"') {
            let j = i + 1;
            for (; j < line.length && line[j] !== '"'; ++j) {
                if (line[j] === "\\" && /["\\$`]/.test(line[j + 1] ?? "")) ++j;
                word += line[j];
            }
            if (j >= line.length) return null;
            i = j;
        } else if (c === "\\") {
            word += line[++i] ?? "";
        } else {
            word += c;
        }
    }
    if (word !== null) words.push(word);
    return words;
}
