// SPDX-License-Identifier: MIT
// The page's side of its worker (worker.js): requests as promises. The
// newest update wins: one runs at a time, and of those asked for meanwhile
// only the newest is kept, the others resolving to null; a running one
// that new operands make stale stops between slices of a large raster and
// resolves to null too. Long jobs (open_file, fit) report progress and can be
// cancelled; their promise then rejects with an Error named "cancelled".

import { control, request } from "./protocol.js";
import { conemask_module } from "./wasm_module.js";

// The single-file page carries the worker's modules inline, as text: a
// file:// page may start no worker from a file, and Chromium refuses a
// module worker from a blob URL there too, but takes one from a data URL.
// The separate files start worker.js beside this module. Either way the
// worker gets the page's compiled module first, and answers { ready } once
// it has instantiated it.
export function start_page_worker() {
    const inline = document.getElementById("worker-source");
    const worker = inline
        ? new Worker(`data:text/javascript;charset=utf-8,${encodeURIComponent(inline.textContent)}`, { type: "module" })
        : new Worker(new URL("./worker.js", import.meta.url), { type: "module" });
    conemask_module().then((module) => worker.postMessage(control.module(module)),
                           (error) => worker.postMessage(control.module_failed(error.message)));
    return worker;
}

// The page's progress line (#progress, #progress-bar, #progress-what and
// its #cancel button), where the page has one.
function show_job_progress(progress) {
    const by_id = (id) => document.getElementById(id);
    const line = by_id("progress");
    if (!line) return;
    line.hidden = progress === null;
    if (progress) {
        const cancel = by_id("cancel");
        if (cancel) cancel.hidden = progress.cancellable === false;
        by_id("progress-what").textContent = progress.what;
        by_id("progress-bar").max = progress.total;
        by_id("progress-bar").value = progress.done;
    }
}

const operands_key = ({ reference, max_angle, thresh }) => [...reference, max_angle, thresh].join(",");

// on_progress({ what, done, total, cancellable }) while a long job (or a
// large raster's update, not cancellable) runs, on_progress(null) when none does.
export async function start_engine(on_progress = show_job_progress) {
    const worker = start_page_worker();
    const waiting = new Map();
    let next_id = 1;
    let long_job = null;

    await new Promise((resolve, reject) => {
        worker.onmessage = ({ data }) => data.ready ? resolve()
            : reject(new Error(`the worker could not start its WebAssembly module: ${data.message}`));
        worker.onerror = (event) => reject(new Error(`the worker could not start: ${event.message ?? "no reason given"}`));
    });
    worker.onmessage = ({ data }) => {
        const request = waiting.get(data.id);
        if (!request) return;
        if (data.progress) {
            // A long job's progress first; a large raster's update shows its own when none runs.
            if (data.id === long_job) {
                on_progress(data.progress);
            } else if (data.id === update_running && long_job === null) {
                update_progress = true;
                on_progress(data.progress);
            }
            return;
        }
        waiting.delete(data.id);
        if (data.id === long_job) {
            long_job = null;
            on_progress(null);
        }
        if (data.error) {
            const error = new Error(data.error.message);
            error.name = data.error.name;
            request.reject(error);
        } else {
            request.resolve(data.result);
        }
    };
    // A worker that dies takes every request with it: none is left hanging.
    let failed = null;
    worker.onerror = (event) => {
        const error = new Error(`the worker failed: ${event.message ?? "no reason given"}`);
        failed = error;
        for (const request of waiting.values()) request.reject(error);
        waiting.clear();
        if (long_job !== null) on_progress(null);
        long_job = null;
    };

    function call(kind, message, transfer = []) {
        const id = next_id++;
        return { id, promise: new Promise((resolve, reject) => {
            if (failed) {
                reject(failed);
                return;
            }
            waiting.set(id, { resolve, reject });
            worker.postMessage({ ...message, id, kind }, transfer);
        }) };
    }
    function long(kind, message, transfer) {
        const { id, promise } = call(kind, message, transfer);
        long_job = id;
        on_progress({ what: kind === request.open_file ? "opening" : kind, done: 0, total: 1 });
        return promise;
    }

    let update_running = null;  // the id of the update in the worker
    let running_operands = "";
    let running_superseded = false;
    let update_progress = false;
    let update_next = null;  // { params, resolve, reject }
    const update_ended = () => {
        update_running = null;
        if (update_progress && long_job === null) on_progress(null);
        update_progress = false;
        send_update();
    };
    function send_update() {
        if (update_running !== null || !update_next) return;
        const { params, resolve, reject } = update_next;
        update_next = null;
        const start = performance.now();
        const { id, promise } = call(request.update, { params });
        update_running = id;
        running_operands = operands_key(params);
        running_superseded = false;
        promise.then((result) => {
            update_ended();
            if (result?.preview) {
                const { data, width, height } = result.preview;
                result.preview = new ImageData(data, width, height);
            }
            if (result) result.round_trip_ms = performance.now() - start;
            resolve(result);
        }, (error) => {
            update_ended();
            reject(error);
        });
    }

    const engine = {
        // A photograph, or an .rgb file with the rows and cols typed ({ rows, cols }
        // as texts), read and held by the worker: resolves to
        // { rows, cols, base, note, rename, image_name }.
        open_file(file, raw = null) {
            return long(request.open_file, { file, raw });
        },
        // For the tests: a copy of the raster the worker holds.
        raster() {
            return call(request.raster, {}).promise;
        },
        // A large raster's update in the worker gives way at once.
        update(params) {
            update_next?.resolve(null);
            // Only new operands make the running classification stale; a new view reuses it.
            if (update_running !== null && !running_superseded && operands_key(params) !== running_operands) {
                running_superseded = true;
                worker.postMessage(control.supersede(update_running));
            }
            return new Promise((resolve, reject) => {
                update_next = { params, resolve, reject };
                send_update();
            });
        },
        probe(row, col, params) {
            return call(request.probe, { params: { row, col, ...params, view: undefined } }).promise;
        },
        mask(params) {
            return call(request.mask, { params: { ...params, view: undefined } }).promise;
        },
        // The rounded mean of the pixels to take, null when there are none.
        mean(regions) {
            return call(request.mean, { regions }).promise;
        },
        // regions [{ left, top, right, bottom, mode: "take" | "leave" }], inclusive;
        // options { reference, thresh, share /* per cent */, fit_thresh }.
        fit(regions, options) {
            return long(request.fit, { regions, options });
        },
        cancel() {
            worker.postMessage(control.cancel());
        },
    };
    document.getElementById("cancel")?.addEventListener("click", () => engine.cancel());
    // For the tests and the curious.
    window.conemask_engine = engine;
    return engine;
}
