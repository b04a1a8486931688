// SPDX-License-Identifier: MIT
// The fit's rule against a search by brute force, on random rasters,
// regions, references and shares: for each thresh, the smallest theta
// that takes the share of the pixels to take, found by bisection with the
// module's own classification; then the fewest pixels to leave, the
// smallest theta, the highest thresh. The fit must choose the same.
//
//   node fit_rule.mjs PAGE_DIR
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";

const page = resolve(process.argv[2]);
const { load_geometry } = await import(pathToFileURL(join(page, "geometry.js")));
const { clamp_regions, fit_regions } = await import(pathToFileURL(join(page, "fit.js")));
const { conemask_module } = await import(pathToFileURL(join(page, "wasm_module.js")));
const geometry = await load_geometry(await conemask_module());
const rows = 60, cols = 80, trials = 120;
let seed = 7;
const random = () => (seed = (Math.imul(seed, 1103515245) + 12345) >>> 0) / 2 ** 32;
const below = (n) => Math.floor(random() * n);
let failures = 0;

for (let trial = 0; trial < trials; ++trial) {
    geometry.hold_raster(3 * rows * cols);
    const bytes = geometry.raster_bytes();
    const tone = [255 * random(), 255 * random(), 255 * random()];
    for (let i = 0; i < bytes.length; ++i) bytes[i] = tone[i % 3] * (0.2 + random()) + 60 * random() - 30;
    const rectangle = (mode) => {
        const left = below(cols), top = below(rows);
        return { left, top, right: left + below(30), bottom: top + below(30), mode };
    };
    const regions = clamp_regions([rectangle("take"), rectangle("leave"), rectangle(random() < 0.5 ? "take" : "leave")],
                                  rows, cols);
    const options = { reference: [below(300) - 20, below(256), below(256)], thresh: below(100) - 20,
                      share: [1, 50, 90, 95, 99.5, 100][trial % 6], fit_thresh: trial % 2 === 1 };
    // The pixels to take and to leave, a pixel in both being to leave.
    const label = new Uint8Array(rows * cols);
    for (const mode of [1, 2]) {
        for (const r of regions.filter((r) => r.mode === mode)) {
            for (let y = r.top; y <= r.bottom; ++y) label.fill(mode, y * cols + r.left, y * cols + r.right + 1);
        }
    }
    const pixels = (mode) => Uint8Array.from([...label].flatMap((l, i) => l === mode ? [...bytes.slice(3 * i, 3 * i + 3)]
                                                                                  : []));
    const take = pixels(1), leave = pixels(2);
    const needed = Math.ceil(Math.round(options.share * 100) * (take.length / 3) / 10000);
    const selected = (rgb, theta, thresh) => rgb.length === 0 ? 0
        : geometry.classify_pixels(rgb, options.reference, theta, thresh).selected;
    const thetas = [...new Set(geometry.angles(take, options.reference).filter((a) => !Number.isNaN(a)))]
        .sort((a, b) => a - b).map((a) => {
            const next = new Float32Array([a]);
            new Uint32Array(next.buffer)[0] += 1;
            return next[0];
        });
    let best = null;
    for (const thresh of options.fit_thresh ? Array.from({ length: 509 }, (_, i) => 253 - i) : [options.thresh]) {
        if (thetas.length === 0 || selected(take, thetas.at(-1), thresh) < needed) continue;
        let low = 0, high = thetas.length - 1;
        while (low < high) {
            const middle = (low + high) >> 1;
            if (selected(take, thetas[middle], thresh) >= needed) high = middle;
            else low = middle + 1;
        }
        const taken = selected(leave, thetas[low], thresh);
        if (!best || taken < best.taken || (taken === best.taken && thetas[low] < best.theta)) {
            best = { theta: thetas[low], thresh, taken };
        }
    }
    const fit = await fit_regions(geometry, regions, cols, options, async () => {}).catch((error) => ({ error }));
    const same = best ? fit.max_angle === best.theta && fit.thresh === best.thresh && fit.leave_selected === best.taken
                      : fit.error !== undefined;
    if (!same) {
        failures += 1;
        console.log(`FAIL trial ${trial} ${JSON.stringify(options)}: the search finds ${JSON.stringify(best)}, ` +
                    `the fit ${fit.error ? fit.error.message : `${fit.max_angle} ${fit.thresh} ${fit.leave_selected}`}`);
    }
}
console.log(`${trials - failures} passed, ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
