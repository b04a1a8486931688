// SPDX-License-Identifier: MIT
// The WebAssembly module, compiled once on the page's thread: its bytes ship
// once (as base64 text, which a file:// page can import as a module), and
// each worker gets the compiled module through postMessage (engine.js).
import binary from "./conemask_wasm_binary.mjs";

let compiled = null;

// A promise of the compiled WebAssembly.Module, the same at every call.
export function conemask_module() {
    compiled ??= WebAssembly.compile(Uint8Array.from(atob(binary), (letter) => letter.charCodeAt(0)));
    return compiled;
}
