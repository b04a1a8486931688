// SPDX-License-Identifier: MIT
// Regions to take and to leave, in the worker: their pixels, their mean,
// and the fit of theta (and thresh) that takes a share of the pixels to
// take while taking the fewest pixels to leave. A pixel inside both a
// rectangle to take and one to leave is to leave: a leave rectangle cuts
// a hole out of a take rectangle.
const take = 1;
const leave = 2;
// Pixels handed to the module at once: large enough that the calls cost
// nothing, small enough that a chunk stays well under a frame's time.
const batch_pixels = 1 << 20;
// A projection passes `thresh` exactly when thresh <= its code, the
// largest integer below it; a pixel the program never selects (black, or a
// projection that truncates to 0) gets no_code.
const no_code = -32768;
// Every projection lies within +-253.1 (white's length times 255 / 445), so
// thresholds outside these bounds select as the bounds do.
const highest_thresh = 253;
const lowest_thresh = -255;

// The rectangles, clamped to the raster and put in order; empty ones dropped.
export function clamp_regions(regions, rows, cols) {
    return regions.map((r) => ({
        left: Math.max(0, Math.min(r.left, r.right)), right: Math.min(cols - 1, Math.max(r.left, r.right)),
        top: Math.max(0, Math.min(r.top, r.bottom)), bottom: Math.min(rows - 1, Math.max(r.top, r.bottom)),
        mode: r.mode === "leave" ? leave : take,
    })).filter((r) => r.left <= r.right && r.top <= r.bottom);
}

// Runs of pixels [row, start, end (exclusive), label], row by row, of the
// union of the rectangles to take less those to leave, and of the union
// of those to leave.
function* region_runs(regions, cols) {
    if (regions.length === 0) return;
    const labels = new Uint8Array(cols);
    const first = Math.min(...regions.map((r) => r.top));
    const last = Math.max(...regions.map((r) => r.bottom));
    const from = Math.min(...regions.map((r) => r.left));
    const to = Math.max(...regions.map((r) => r.right)) + 1;
    for (let row = first; row <= last; ++row) {
        labels.fill(0, from, to);
        for (const label of [take, leave]) {
            for (const r of regions) {
                if (r.mode === label && r.top <= row && row <= r.bottom) labels.fill(label, r.left, r.right + 1);
            }
        }
        for (let start = from; start < to;) {
            let end = start + 1;
            while (end < to && labels[end] === labels[start]) ++end;
            if (labels[start] !== 0) yield [row, start, end, labels[start]];
            start = end;
        }
    }
}

export function region_sizes(regions, cols) {
    const sizes = { [take]: 0, [leave]: 0 };
    for (const [, start, end, label] of region_runs(regions, cols)) sizes[label] += end - start;
    return { take: sizes[take], leave: sizes[leave] };
}

// The pixels of the runs in batches { take, leave } of RGB bytes, both
// valid until the next batch. raster_bytes() is taken afresh for each
// run, as the module's memory may have grown meanwhile.
function* region_batches(regions, cols, raster_bytes) {
    const buffers = { [take]: new Uint8Array(3 * batch_pixels), [leave]: new Uint8Array(3 * batch_pixels) };
    const filled = { [take]: 0, [leave]: 0 };
    const batch = () => ({ take: buffers[take].subarray(0, 3 * filled[take]),
                           leave: buffers[leave].subarray(0, 3 * filled[leave]) });
    for (const [row, start, end, label] of region_runs(regions, cols)) {
        for (let at = start; at < end;) {
            const n = Math.min(end - at, batch_pixels - filled[label]);
            const from = 3 * (row * cols + at);
            buffers[label].set(raster_bytes().subarray(from, from + 3 * n), 3 * filled[label]);
            filled[label] += n;
            at += n;
            if (filled[label] === batch_pixels) {
                yield batch();
                filled[take] = filled[leave] = 0;
            }
        }
    }
    if (filled[take] + filled[leave] > 0) yield batch();
}

// The rounded mean colour (halves up) of the pixels to take; null when there are none.
export function take_mean(regions, cols, raster_bytes) {
    const sums = [0, 0, 0];
    let count = 0;
    for (const { take: pixels } of region_batches(regions, cols, raster_bytes)) {
        for (let i = 0; i < pixels.length; i += 3) {
            sums[0] += pixels[i];
            sums[1] += pixels[i + 1];
            sums[2] += pixels[i + 2];
        }
        count += pixels.length / 3;
    }
    return count === 0 ? null : sums.map((sum) => Math.floor(sum / count + 0.5));
}

// A Fenwick tree of counts over sorted positions.
class counts_tree {
    constructor(size) {
        this.tree = new Int32Array(size + 1);
    }
    add(position) {
        for (let i = position + 1; i < this.tree.length; i += i & -i) this.tree[i] += 1;
    }
    // How many were added at positions below `end`.
    below(end) {
        let sum = 0;
        for (let i = end; i > 0; i -= i & -i) sum += this.tree[i];
        return sum;
    }
    // The position of the k-th smallest added (k from 1).
    kth(k) {
        let position = 0;
        for (let step = 1 << Math.floor(Math.log2(this.tree.length)); step > 0; step >>= 1) {
            if (position + step < this.tree.length && this.tree[position + step] < k) {
                position += step;
                k -= this.tree[position];
            }
        }
        return position;
    }
}

// The first index of `sorted` whose value is not below `value`.
function lower_bound(sorted, value) {
    let low = 0, high = sorted.length;
    while (low < high) {
        const middle = (low + high) >>> 1;
        if (sorted[middle] < value) low = middle + 1;
        else high = middle;
    }
    return low;
}

// The pixels the program may select, sorted by angle, with each one's
// position in that order grouped by code, highest code first.
function by_angle_and_code(angles, codes) {
    const eligible = codes.reduce((n, c) => n + (c !== no_code ? 1 : 0), 0);
    const sorted = new Float32Array(eligible);
    for (let i = 0, n = 0; i < codes.length; ++i) if (codes[i] !== no_code) sorted[n++] = angles[i];
    sorted.sort();
    const groups = new Map();
    for (let i = 0; i < codes.length; ++i) {
        if (codes[i] === no_code) continue;
        const code = Math.max(lowest_thresh, Math.min(highest_thresh, codes[i]));
        if (!groups.has(code)) groups.set(code, []);
        groups.get(code).push(lower_bound(sorted, angles[i]));
    }
    return { sorted, groups, tree: new counts_tree(eligible) };
}

const next_float_up = (value) => {
    const bits = new Float32Array([value]);
    new Uint32Array(bits.buffer)[0] += 1;  // angles are never negative
    return bits[0];
};

// The fit over measured pixels: for each candidate thresh (highest first),
// the smallest theta that takes `needed` pixels to take, and the pixels to
// leave it takes; the fewest of those wins, then the smallest theta, then
// the highest thresh. Null when no thresh lets `needed` through.
function search(take_set, leave_set, needed, thresholds) {
    let best = null;
    let next_code = highest_thresh;
    let most = 0;
    for (const thresh of thresholds) {
        for (; next_code >= Math.max(thresh, lowest_thresh); --next_code) {
            for (const position of take_set.groups.get(next_code) ?? []) take_set.tree.add(position);
            for (const position of leave_set.groups.get(next_code) ?? []) leave_set.tree.add(position);
            most += take_set.groups.get(next_code)?.length ?? 0;
        }
        if (most < needed) continue;
        const max_angle = next_float_up(take_set.sorted[take_set.tree.kth(needed)]);
        const leave_taken = leave_set.tree.below(lower_bound(leave_set.sorted, max_angle));
        if (!best || leave_taken < best.leave_taken || (leave_taken === best.leave_taken && max_angle < best.max_angle)) {
            const take_taken = take_set.tree.below(lower_bound(take_set.sorted, max_angle));
            best = { max_angle, thresh, leave_taken, take_taken };
        }
    }
    return best ?? { most };
}

// options: { reference, thresh, share /* per cent */, fit_thresh }; step(what, done, total)
// reports progress, yields and throws when the work is cancelled.
export async function fit_regions(geometry, regions, cols, options, step) {
    const sizes = region_sizes(regions, cols);
    if (sizes.take === 0) {
        throw new Error("There are no pixels to take: drag a rectangle over what the mask should take");
    }
    const { reference } = options;
    const measured = { take: { angles: new Float32Array(sizes.take), codes: new Int16Array(sizes.take), n: 0 },
                       leave: { angles: new Float32Array(sizes.leave), codes: new Int16Array(sizes.leave), n: 0 } };
    const total = sizes.take + sizes.leave;
    let done = 0;
    for (const batch of region_batches(regions, cols, geometry.raster_bytes)) {
        for (const kind of ["take", "leave"]) {
            const { angles, projections } = geometry.measure(batch[kind], reference);
            const into = measured[kind];
            into.angles.set(angles, into.n);
            for (let i = 0; i < angles.length; ++i) {
                const p = projections[i];
                into.codes[into.n + i] = Number.isNaN(angles[i]) || !(Math.abs(p) >= 1) ? no_code : Math.ceil(p) - 1;
            }
            into.n += angles.length;
            done += angles.length;
        }
        await step("measuring the regions", done, total);
    }
    // The share in hundredths of a per cent, so that the count needed is exact.
    const needed = Math.ceil(Math.round(options.share * 100) * sizes.take / 10000);
    const thresholds = [];
    if (options.fit_thresh) {
        for (let t = highest_thresh; t >= lowest_thresh; --t) thresholds.push(t);
    } else {
        thresholds.push(options.thresh);
    }
    const found = search(by_angle_and_code(measured.take.angles, measured.take.codes),
                         by_angle_and_code(measured.leave.angles, measured.leave.codes), needed, thresholds);
    if (found.max_angle === undefined) {
        const at = options.fit_thresh ? "at any thresh" : `at thresh ${options.thresh}`;
        throw new Error(`No theta takes ${options.share}% of the pixels to take ${at}: ` +
                        `at most ${(100 * found.most / sizes.take).toFixed(1)}% have a direction and a strength above it`);
    }
    await step("counting with the program's classification", 0, 1);
    const counted = count_regions(geometry, regions, cols, reference, found.max_angle, found.thresh);
    if (counted.take !== found.take_taken || counted.leave !== found.leave_taken) {
        throw new Error(`The fit counted ${found.take_taken} and ${found.leave_taken} pixels, ` +
                        `the program's classification ${counted.take} and ${counted.leave}`);
    }
    return { max_angle: found.max_angle, thresh: found.thresh, take_pixels: sizes.take, leave_pixels: sizes.leave,
             take_selected: counted.take, leave_selected: counted.leave,
             take_share: sizes.take ? counted.take / sizes.take : 0,
             leave_share: sizes.leave ? counted.leave / sizes.leave : 0, regions: counted.regions };
}

// The pixels the program selects among the pixels to take and to leave,
// and in each rectangle on its own (as the program would on the rectangle
// cut out of the raster).
export function count_regions(geometry, regions, cols, reference, max_angle, thresh) {
    const selected = (pixels) => pixels.length === 0 ? 0
        : geometry.classify_pixels(pixels, reference, max_angle, thresh).selected;
    const counted = { take: 0, leave: 0, regions: [] };
    for (const batch of region_batches(regions, cols, geometry.raster_bytes)) {
        counted.take += selected(batch.take);
        counted.leave += selected(batch.leave);
    }
    for (const region of regions) {
        let count = 0;
        for (const batch of region_batches([{ ...region, mode: take }], cols, geometry.raster_bytes)) {
            count += selected(batch.take);
        }
        counted.regions.push(count);
    }
    return counted;
}
