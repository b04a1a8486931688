// SPDX-License-Identifier: MIT
// The WebAssembly module's kernels under node: ns a pixel for each kernel the
// module runs, and for the page's whole classification (its chosen kernel,
// then the count and the largest sample), on random bytes and on the example
// photograph tiled, each a raster of the given size. Median of RUNS runs
// (default 5), after one untimed, in the process's processor time (which
// other programs on a shared machine inflate less than the time elapsed,
// shown beside it). It prints figures only; it never fails on a slow machine.
//
//   node bench/web-kernel.mjs BUILD_PAGE_DIR [megapixels]    (default 12)
//
// BUILD_PAGE_DIR is the web build's page directory (build/web/page), beside
// which build/web/checks holds the module with the kernels' exports.
// Operands as bench/run's: 60 120 40, theta 0.1, thresh 20.
import { readFileSync } from "node:fs";
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";

const [page_dir, megapixels_text = "12"] = process.argv.slice(2);
if (!page_dir) {
    console.error("usage: node bench/web-kernel.mjs BUILD_PAGE_DIR [megapixels]");
    process.exit(2);
}
const megapixels = Number(megapixels_text);
if (!(megapixels > 0)) {
    console.error(`not a size in megapixels: ${megapixels_text}`);
    process.exit(2);
}
const runs = Number(process.env.RUNS ?? 5);
const pixels = Math.round(megapixels * 1e6);

// The module with the kernels' exports, built beside the page (build/web/checks), never shipped.
const checks = join(resolve(page_dir), "..", "checks", "conemask_wasm_checks.mjs");
const module = await (await import(pathToFileURL(checks))).default();
const heap = (bytes) => {
    const pointer = module._malloc(bytes);
    if (pointer === 0) throw new Error(`cannot allocate ${bytes} bytes in the module`);
    return pointer;
};
const rgb_at = heap(3 * pixels);
const samples_at = heap(2 * pixels);
const largest_at = heap(2);

const kernels = [];
for (let name; (name = module._conemask_kernel_name(kernels.length)) !== 0;) {
    kernels.push(module.UTF8ToString(name));
}

const [red, green, blue, theta, thresh] = [60, 120, 40, Math.fround(0.1), 20];
const programs = [
    ...kernels.map((name, index) => [name, () => {
        module._conemask_classify_with(index, red, green, blue, theta, thresh, rgb_at, samples_at, pixels);
    }]),
    ["page's classify", () => {
        module._conemask_classify(red, green, blue, theta, thresh, rgb_at, samples_at, pixels, largest_at);
    }],
];

// A raster of random bytes (xorshift, fixed seed) and the photograph tiled.
const fill_random = () => {
    const rgb = module.HEAPU8.subarray(rgb_at, rgb_at + 3 * pixels);
    let seed = 7;
    for (let i = 0; i < rgb.length; ++i) {
        seed ^= seed << 13;
        seed ^= seed >>> 17;
        seed ^= seed << 5;
        rgb[i] = seed >>> 24;
    }
};
const fill_photograph = () => {
    const photo = readFileSync(new URL("../examples/coffee.rgb", import.meta.url));
    const rgb = module.HEAPU8.subarray(rgb_at, rgb_at + 3 * pixels);
    for (let at = 0; at < rgb.length; at += photo.length) {
        rgb.set(photo.subarray(0, Math.min(photo.length, rgb.length - at)), at);
    }
};

const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    const middle = sorted.length >> 1;
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

console.log(`WebAssembly under node ${process.version}, ${megapixels} megapixels, median of ${runs} (ns a pixel)`);
console.log(`${"".padEnd(18)} ${"processor time".padStart(24)} ${"elapsed".padStart(24)}`);
console.log(`${"kernel".padEnd(18)} ${"random".padStart(11)} ${"photograph".padStart(12)} ${"random".padStart(11)} `
            + `${"photograph".padStart(12)}`);
const figures = new Map(programs.map(([name]) => [name, { processor: [], elapsed: [] }]));
for (const fill of [fill_random, fill_photograph]) {
    fill();
    for (const [name, run] of programs) {
        run();
        const processor = [];
        const elapsed = [];
        for (let i = 0; i < runs; ++i) {
            const start = process.hrtime.bigint();
            const start_usage = process.cpuUsage();
            run();
            const usage = process.cpuUsage(start_usage);
            elapsed.push(Number(process.hrtime.bigint() - start) / pixels);
            processor.push((usage.user + usage.system) * 1000 / pixels);
        }
        figures.get(name).processor.push(median(processor));
        figures.get(name).elapsed.push(median(elapsed));
    }
}
const column = (value, width) => value.toFixed(3).padStart(width);
for (const [name, { processor, elapsed }] of figures) {
    console.log(`${name.padEnd(18)} ${column(processor[0], 11)} ${column(processor[1], 12)} ${column(elapsed[0], 11)} `
                + `${column(elapsed[1], 12)}`);
}
