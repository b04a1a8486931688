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
// The most pixels a fit measures: each costs some 20 bytes while the fit
// runs, beside the raster and its mask in the module's memory.
export const fit_max_pixels = 25_000_000;

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

// The pixels the program may select (those with a code), sorted by angle
// with their codes: a radix sort on the angles' bits, 11 at a time, which
// order as the angles do because no angle is negative.
function sort_by_angle(angles, codes) {
    const bits = new Uint32Array(angles.buffer, angles.byteOffset, angles.length);
    let n = 0;
    for (let i = 0; i < codes.length; ++i) n += codes[i] !== no_code ? 1 : 0;
    let keys = new Uint32Array(n), tags = new Int16Array(n);
    for (let i = 0, j = 0; i < codes.length; ++i) {
        if (codes[i] !== no_code) {
            keys[j] = bits[i];
            tags[j++] = codes[i];
        }
    }
    let spare_keys = new Uint32Array(n), spare_tags = new Int16Array(n);
    for (let shift = 0; shift < 32; shift += 11) {
        const starts = new Uint32Array(2049);
        for (let i = 0; i < n; ++i) starts[((keys[i] >>> shift) & 2047) + 1] += 1;
        for (let d = 0; d < 2048; ++d) starts[d + 1] += starts[d];
        for (let i = 0; i < n; ++i) {
            const at = starts[(keys[i] >>> shift) & 2047]++;
            spare_keys[at] = keys[i];
            spare_tags[at] = tags[i];
        }
        [keys, spare_keys, tags, spare_tags] = [spare_keys, keys, spare_tags, tags];
    }
    return { angles: new Float32Array(keys.buffer), codes: tags, chosen: new Uint8Array(n), ...by_code(tags) };
}

// The positions of the sorted pixels grouped by code (clamped to the
// thresholds that matter): group c is positions[starts[c] .. starts[c + 1]).
function by_code(codes) {
    const slot = (code) => Math.max(lowest_thresh, Math.min(highest_thresh, code)) - lowest_thresh;
    const starts = new Uint32Array(highest_thresh - lowest_thresh + 2);
    for (let i = 0; i < codes.length; ++i) starts[slot(codes[i]) + 1] += 1;
    for (let c = 0; c + 1 < starts.length; ++c) starts[c + 1] += starts[c];
    const next = starts.slice();
    const positions = new Uint32Array(codes.length);
    for (let i = 0; i < codes.length; ++i) positions[next[slot(codes[i])]++] = i;
    return { starts, positions };
}

const next_float_up = (value) => {
    const bits = new Float32Array([value]);
    new Uint32Array(bits.buffer)[0] += 1;  // angles are never negative
    return bits[0];
};

// The fit over sorted pixels: for each candidate thresh, highest first,
// the smallest theta that takes `needed` pixels to take, and the pixels to
// leave it takes; the fewest of those wins, then the smallest theta, then
// the highest thresh. As thresh falls, pixels join and that theta can only
// fall: two cursors, one in each sorted list, move down only, so the whole
// sweep is linear. Returns { most } when no thresh lets `needed` through.
function search(take_set, leave_set, needed, thresholds) {
    let best = null;
    let next_code = highest_thresh;
    let joined = 0;
    // take_end: the take pixels at positions below it hold take_count chosen ones;
    // leave_end likewise, all of its pixels' angles below the current theta.
    let take_end = take_set.angles.length, take_count = 0;
    let leave_end = leave_set.angles.length, leave_count = 0;
    const join = (set, code, end) => {
        let below = 0;
        const slot = code - lowest_thresh;
        for (let g = set.starts[slot]; g < set.starts[slot + 1]; ++g) {
            const position = set.positions[g];
            set.chosen[position] = 1;
            below += position < end ? 1 : 0;
        }
        return below;
    };
    for (const thresh of thresholds) {
        for (; next_code >= Math.max(thresh, lowest_thresh); --next_code) {
            const slot = next_code - lowest_thresh;
            joined += take_set.starts[slot + 1] - take_set.starts[slot];
            take_count += join(take_set, next_code, take_end);
            leave_count += join(leave_set, next_code, leave_end);
        }
        if (joined < needed) continue;
        while (take_count - take_set.chosen[take_end - 1] >= needed) take_count -= take_set.chosen[--take_end];
        const angle = take_set.angles[take_end - 1];
        const max_angle = next_float_up(angle);
        while (leave_end > 0 && leave_set.angles[leave_end - 1] >= max_angle) {
            leave_count -= leave_set.chosen[--leave_end];
        }
        if (!best || leave_count < best.leave_taken || (leave_count === best.leave_taken && max_angle < best.max_angle)) {
            // Pixels at the same angle past the cursor are taken too.
            let take_taken = take_count;
            for (let i = take_end; i < take_set.angles.length && take_set.angles[i] === angle; ++i) {
                take_taken += take_set.chosen[i];
            }
            best = { max_angle, thresh, leave_taken: leave_count, take_taken };
        }
    }
    return best ?? { most: joined };
}

// options: { reference, thresh, share /* per cent */, fit_thresh }; step(what, done, total)
// reports progress, yields and throws when the work is cancelled.
export async function fit_regions(geometry, regions, cols, options, step) {
    const sizes = region_sizes(regions, cols);
    if (sizes.take === 0) {
        throw new Error("There are no pixels to take: drag a rectangle over what the mask should take");
    }
    if (sizes.take + sizes.leave > fit_max_pixels) {
        throw new Error(`The regions hold ${(sizes.take + sizes.leave).toLocaleString("en")} pixels; a fit takes ` +
                        `at most ${fit_max_pixels.toLocaleString("en")}: draw smaller rectangles`);
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
    await step("sorting the angles", 0, 1);
    const take_set = sort_by_angle(measured.take.angles, measured.take.codes);
    const leave_set = sort_by_angle(measured.leave.angles, measured.leave.codes);
    measured.take = measured.leave = null;  // their room, for the search
    const found = search(take_set, leave_set, needed, thresholds);
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
function count_regions(geometry, regions, cols, reference, max_angle, thresh) {
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
