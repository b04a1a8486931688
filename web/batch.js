// SPDX-License-Identifier: MIT
// Many photographs with the current operands: chosen files or a folder,
// masked in a worker of the batch's own (the picture's worker keeps its
// photograph), one photograph at a time. Each row comes as the program's
// summary CSV line, shown in the table and offered as the CSV; where the
// browser lets a page write into a folder, the masks go there, elsewhere
// the page gives conemask-image's line that writes them.
import { $, geometry, state } from "./page.js";
import { operand_params } from "./controls.js";
import { start_page_worker } from "./engine.js";
import { float_text } from "./geometry.js";
import { base_name, image_kind, shell_word } from "./names.js";

// A folder's photographs: by their name or, for a name that says nothing,
// by their first bytes. Hidden files (a name from ".") are left out, as the
// shell's folder/* leaves them out.
const batch_image_pattern = /\.(png|jpe?g|webp|tiff?)$/i;
const is_hidden = (name) => name.split("/").some((part) => part.startsWith("."));
const can_write_folders = typeof window.showDirectoryPicker === "function";

let batch_items = [];     // [{ file, name }], in the order of the rows
let batch_lines = null;   // { header, lines }: the CSV so far
let batch_worker = null;  // Promise of the started worker
let batch_job = 0;

// The name a row gives its photograph: its path from the chosen folder on, or its own name.
const item_name = (file) => file.webkitRelativePath || file.name;

// Names in the order of their characters' code points, which is the order
// of their UTF-8 bytes: the shell's folder/* under LC_ALL=C.
function by_name(a, b) {
    const left = Array.from(a.name, (c) => c.codePointAt(0));
    const right = Array.from(b.name, (c) => c.codePointAt(0));
    for (let i = 0; i < Math.min(left.length, right.length); ++i) {
        if (left[i] !== right[i]) return left[i] - right[i];
    }
    return left.length - right.length;
}

async function is_photograph({ file, name }) {
    if (is_hidden(name)) return false;
    if (batch_image_pattern.test(name)) return true;
    return image_kind(new Uint8Array(await file.slice(0, 16).arrayBuffer())) !== null;
}

let choice = 0;  // the latest choice, which an earlier one still reading must not overwrite

// `candidates` [{ file, name, in_folder }]: a folder's files are kept when
// they are photographs, files chosen one by one all (each gets its row).
async function choose_items(candidates) {
    // The running batch's rows would land in the new list's table.
    if (document.body.dataset.batch === "running") {
        show_batch_message("A batch is running: Cancel it before choosing other photographs");
        return;
    }
    const this_choice = ++choice;
    const kept = await Promise.all(candidates.map((item) => !item.in_folder || is_photograph(item)));
    if (this_choice !== choice) return;
    batch_items = candidates.filter((_, i) => kept[i]).map(({ file, name }) => ({ file, name })).sort(by_name);
    $("batch-rows").replaceChildren();
    batch_lines = null;
    $("batch-csv").disabled = true;
    show_batch_message(batch_items.length === 0 ? "No photographs chosen"
        : `${batch_items.length} photograph${batch_items.length === 1 ? "" : "s"} chosen`);
    show_batch_line();
}

const chosen = (files, in_folder) => Array.from(files, (file) => ({ file, name: item_name(file), in_folder }));

// A dropped folder's files, its folders' included: FileSystemEntry's
// callbacks made promises; a reader gives a folder's entries in parts.
const entry_file = (entry) => new Promise((resolve, reject) => entry.file(resolve, reject));
const entry_part = (reader) => new Promise((resolve, reject) => reader.readEntries(resolve, reject));

async function folder_files(folder) {
    const found = [];
    const reader = folder.createReader();
    for (let part = await entry_part(reader); part.length > 0; part = await entry_part(reader)) {
        for (const entry of part) {
            if (entry.isDirectory) found.push(...await folder_files(entry));
            else found.push({ file: await entry_file(entry), name: entry.fullPath.replace(/^\//, ""), in_folder: true });
        }
    }
    return found;
}

// What was dropped: files, each with its row, and folders, read whole.
async function dropped_items(entries) {
    const found = [];
    try {
        for (const entry of entries) {
            if (entry.isDirectory) found.push(...await folder_files(entry));
            else found.push({ file: await entry_file(entry), name: entry.name, in_folder: false });
        }
    } catch (error) {
        // Chromium reads no dropped folder into a page opened from a file.
        if (error.name !== "EncodingError" || location.protocol !== "file:") throw error;
        throw new Error("a page opened from a file cannot read a dropped folder in this browser: " +
                        "choose the folder instead");
    }
    return found;
}

function show_batch_message(text) {
    $("batch-message").textContent = text;
}

// conemask-image's line for the same photographs and operands: the masks
// into masks/, the same CSV into shares.csv.
export function show_batch_line() {
    $("batch-run").disabled = batch_items.length === 0 || state.operands_refused ||
        document.body.dataset.batch === "running";
    if (batch_items.length === 0 || state.operands_refused) {
        $("batch-line").value = "";
        return;
    }
    const [red, green, blue] = state.reference;
    const names = batch_items.map(({ name }) => shell_word(name.startsWith("-") ? `./${name}` : name));
    $("batch-line").value = `mkdir -p masks && conemask-image --output-dir masks --summary shares.csv ` +
        `${names.join(" ")} ${red} ${green} ${blue} ${float_text(state.max_angle)} ${state.thresh}`;
}

// The fields of a CSV line (RFC 4180, its CR LF at the end).
function csv_fields(line) {
    const fields = [];
    const text = line.replace(/\r\n$/, "");
    for (let at = 0; at <= text.length;) {
        if (text[at] === '"') {
            let field = "";
            for (at += 1; at < text.length; at += 1) {
                if (text[at] === '"' && text[at + 1] === '"') field += text[at++];
                else if (text[at] === '"') break;
                else field += text[at];
            }
            fields.push(field);
            at += 2;
        } else {
            const end = text.indexOf(",", at) === -1 ? text.length : text.indexOf(",", at);
            fields.push(text.slice(at, end));
            at = end + 1;
        }
    }
    return fields;
}

function add_table_row(row) {
    const tr = document.createElement("tr");
    tr.dataset.status = row.status === "ok" ? "ok" : "refused";
    const preview = document.createElement("td");
    if (row.thumbnail) {
        const { data, width, height } = row.thumbnail;
        const canvas = document.createElement("canvas");
        Object.assign(canvas, { width, height });
        canvas.getContext("2d").putImageData(new ImageData(data, width, height), 0, 0);
        canvas.setAttribute("aria-label", `the mask of ${row.name}`);
        preview.append(canvas);
    }
    tr.append(preview);
    // file, rows, cols, selected, share, mean, largest, status: the CSV's own text.
    for (const field of csv_fields(row.line).slice(0, 8)) {
        const td = document.createElement("td");
        td.textContent = field;
        tr.append(td);
    }
    $("batch-rows").append(tr);
}

function start_batch_worker() {
    batch_worker ??= new Promise((resolve, reject) => {
        const worker = start_page_worker();
        worker.onmessage = ({ data }) => data.ready ? resolve(worker)
            : reject(new Error(`the batch's worker could not start its WebAssembly module: ${data.message}`));
        worker.onerror = (event) => reject(new Error(`the batch's worker could not start: ${event.message}`));
    });
    return batch_worker;
}

function show_batch_progress(progress) {
    $("batch-progress").hidden = progress === null;
    if (progress) {
        $("batch-what").textContent = `${progress.done} of ${progress.total} photographs`;
        $("batch-bar").max = progress.total;
        $("batch-bar").value = progress.done;
    }
}

// The folder the masks go into, where the user asked for one; null for none.
async function chosen_folder() {
    if (!$("batch-write").checked || !can_write_folders) return null;
    const names = batch_items.map(({ name }) => `${base_name(name)}.raw`);
    const twice = names.find((name, i) => names.indexOf(name) !== i);
    if (twice) throw new Error(`Two photographs would write ${twice}; nothing was written`);
    return window.showDirectoryPicker({ mode: "readwrite", id: "conemask-masks" });
}

// A mask into `folder` as NAME.raw, little-endian as the download. The
// browser writes a file it swaps in whole at the close, so that a stopped
// batch leaves no half mask.
async function write_mask_file(folder, name, samples) {
    const handle = await folder.getFileHandle(`${base_name(name)}.raw`, { create: true });
    const writable = await handle.createWritable();
    try {
        await writable.write(new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength));
    } catch (error) {
        await writable.abort().catch(() => {});
        throw error;
    }
    await writable.close();
}

async function run_batch_here() {
    const job = ++batch_job;
    const items = batch_items;
    $("batch-rows").replaceChildren();
    batch_lines = { header: geometry.module.UTF8ToString(geometry.module._conemask_summary_header()), lines: [] };
    $("batch-csv").disabled = true;
    let folder;
    try {
        folder = await chosen_folder();
    } catch (error) {
        show_batch_message(error.name === "AbortError" ? "No folder chosen; nothing was masked" : error.message);
        document.body.dataset.batch = "refused";
        return;
    }
    const worker = await start_batch_worker();
    document.body.dataset.batch = "running";
    $("batch-run").disabled = true;
    show_batch_progress({ done: 0, total: items.length });
    const finished = (state_name, text) => {
        document.body.dataset.batch = state_name;
        show_batch_progress(null);
        show_batch_line();
        $("batch-csv").disabled = batch_lines.lines.length === 0;
        show_batch_message(text);
    };
    worker.onmessage = ({ data }) => {
        if (data.id !== job) return;
        if (data.progress) show_batch_progress(data.progress);
        else if (data.row) {
            batch_lines.lines.push(data.row.line);
            add_table_row(data.row);
            if (data.row.mask) {
                write_mask_file(folder, data.row.name, data.row.mask).then(
                    () => worker.postMessage({ kind: "written", ok: true }),
                    (error) => worker.postMessage({ kind: "written", ok: false, message: error.message }));
            }
        } else if (data.result) {
            const masked = $("batch-rows").querySelectorAll("tr[data-status=ok]").length;
            finished("done", `${masked} of ${items.length} photographs masked` +
                             (folder ? `, their masks written into the folder ${folder.name}` : ""));
        } else if (data.error) {
            const done = batch_lines.lines.length;
            const cancelled = data.error.name === "cancelled";
            finished(cancelled ? "cancelled" : "stopped", cancelled
                ? `Cancelled after ${done} of ${items.length} photographs; the CSV holds their rows`
                : `The batch stopped: ${data.error.message}`);
        }
    };
    // A worker that dies (out of memory on a huge photograph) ends the batch, never leaves it running.
    worker.onerror = (event) => {
        batch_worker = null;
        finished("stopped", `The batch stopped: its worker failed (${event.message ?? "no reason given"})`);
    };
    worker.postMessage({ id: job, kind: "batch", items, operands: operand_params(), write: folder !== null });
}

function download_csv() {
    if (!batch_lines) return;
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([batch_lines.header, ...batch_lines.lines], { type: "text/csv" }));
    link.download = "shares.csv";
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
}

export function wire_batch() {
    $("batch-write-label").hidden = !can_write_folders;
    $("batch-folder-note").hidden = can_write_folders;
    const choose = (candidates) => Promise.resolve(candidates).then(choose_items).catch((error) =>
        show_batch_message(`The photographs could not be read: ${error.message}`));
    $("batch-files").addEventListener("change", () => choose(chosen($("batch-files").files, false)));
    $("batch-folder").addEventListener("change", () => choose(chosen($("batch-folder").files, true)));
    $("batch-run").addEventListener("click", () => {
        run_batch_here().catch((error) => {
            show_batch_progress(null);
            show_batch_message(`The batch could not run: ${error.message}`);
            document.body.dataset.batch = "stopped";
        });
    });
    $("batch-cancel").addEventListener("click", () => batch_worker?.then((worker) => worker.postMessage({ kind: "cancel" })));
    $("batch-csv").addEventListener("click", download_csv);
    const zone = $("batch-section");
    zone.addEventListener("dragover", (event) => event.preventDefault());
    zone.addEventListener("drop", (event) => {
        event.preventDefault();
        // The entries are the drop's only while its event runs: taken at once.
        const entries = Array.from(event.dataTransfer.items, (item) => item.webkitGetAsEntry?.()).filter(Boolean);
        if (entries.some((entry) => entry.isDirectory)) {
            choose(dropped_items(entries));
        } else if (event.dataTransfer.files.length > 0) {
            choose(chosen(event.dataTransfer.files, false));
        }
    });
}
