// SPDX-License-Identifier: MIT
// The page's WebAssembly classification under node, in nanoseconds a
// pixel, on random bytes and on the example photograph tiled: the figure
// bench/web prints where the kernel's own benchmark (web-kernel.mjs) is
// missing. Figures only; it never fails on a slow machine.
//
//   node bench/web-module.mjs PAGE_DIR [megapixels]     (default 12)
import { readFileSync } from "node:fs";
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";

const [page, megapixels = "12"] = process.argv.slice(2);
const { load_geometry } = await import(pathToFileURL(join(resolve(page), "geometry.js")));
const { conemask_module } = await import(pathToFileURL(join(resolve(page), "wasm_module.js")));
const geometry = await load_geometry(await conemask_module());
const pixels = Math.round(Number(megapixels) * 1e6);
const runs = 7;

const random = new Uint8Array(3 * pixels);
for (let i = 0, state = 12345; i < random.length; ++i) {
    state = (Math.imul(state, 1103515245) + 12345) >>> 0;
    random[i] = state >>> 24;
}
const photo = readFileSync(new URL("../examples/coffee.rgb", import.meta.url));
const tiled = new Uint8Array(3 * pixels);
for (let at = 0; at < tiled.length; at += photo.length) tiled.set(photo.subarray(0, tiled.length - at), at);

for (const [name, rgb] of [["random bytes", random], ["the photograph, tiled", tiled]]) {
    // An older page's glue holds no raster: its classify copies the bytes in once.
    const classify = geometry.hold_raster
        ? (geometry.hold_raster(rgb.length), geometry.raster_bytes().set(rgb),
           () => geometry.classify_raster([60, 120, 40], Math.fround(0.1), 20))
        : () => geometry.classify(rgb, [60, 120, 40], Math.fround(0.1), 20);
    classify();
    const times = [];
    for (let i = 0; i < runs; ++i) {
        const start = performance.now();
        classify();
        times.push((performance.now() - start) * 1e6 / pixels);
    }
    times.sort((a, b) => a - b);
    console.log(`module classify and count, ${name}, ${megapixels} MP: ${times[runs >> 1].toFixed(2)} ns a pixel ` +
                `(median of ${runs}; best ${times[0].toFixed(2)})`);
}
