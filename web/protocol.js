// SPDX-License-Identifier: MIT
// The messages between the page (engine.js, batch.js) and its workers
// (worker.js), declared once for both sides.
//
// The page's requests are { kind, id, ...fields }: each is answered by one
// reply.result or reply.error with its id, a long one (which can be
// cancelled) after reply.progress between its chunks, a batch with a
// reply.row for each photograph besides.
export const request = Object.freeze({
    update: "update", probe: "probe", mask: "mask", raster: "raster", mean: "mean",
    open_file: "open_file", fit: "fit", batch: "batch",
});
// Messages with no id and no answer: the compiled module (first, answered by
// reply.ready), the long job cancelled, a batch's mask written, an update
// superseded.
export const control_kind = Object.freeze({ module: "module", cancel: "cancel", written: "written",
                                           supersede: "supersede" });
export const control = Object.freeze({
    module: (module) => ({ kind: control_kind.module, module }),
    module_failed: (failure) => ({ kind: control_kind.module, failure }),
    cancel: () => ({ kind: control_kind.cancel }),
    written: (ok, message = "") => ({ kind: control_kind.written, ok, message }),
    supersede: (update) => ({ kind: control_kind.supersede, update }),
});

// The worker's side.
export const reply = Object.freeze({
    ready: () => ({ ready: true }),
    not_ready: (message) => ({ ready: false, message }),
    progress: (id, progress) => ({ id, progress }),
    result: (id, result) => ({ id, result }),
    error: (id, { name, message }) => ({ id, error: { name, message } }),
    row: (id, row) => ({ id, row }),
});
