// SPDX-License-Identifier: MIT
// The page's WebAssembly module against the native program: the mask of
// all 2^24 colours for a table of operands, byte for byte, and the
// conversion of a table of operand texts, bit for bit. And each of the
// module's kernels against find_angle, on every colour.
//
//   node wasm_equals_program.mjs PAGE_DIR NATIVE_CONEMASK NATIVE_OPERAND_PROBE CHECKS_MODULE
//
// CHECKS_MODULE is the module built with the kernels' exports too
// (bindings/wasm, conemask_wasm_checks.mjs), which the page never ships.
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";

const [page, conemask, probe, checks] = process.argv.slice(2).map((p) => resolve(p));
const { load_geometry } = await import(pathToFileURL(join(page, "geometry.js")));
const { conemask_module } = await import(pathToFileURL(join(page, "wasm_module.js")));
const geometry = await load_geometry(await conemask_module());

const work = mkdtempSync(join(tmpdir(), "conemask-page-"));
let failures = 0;
let passes = 0;
const fail = (text) => {
    failures += 1;
    console.log(`FAIL ${text}`);
};

try {
    // Every colour once: 4096 rows of 4096 pixels.
    const side = 4096;
    const rgb = new Uint8Array(3 * side * side);
    for (let c = 0; c < side * side; ++c) {
        rgb[3 * c] = c >>> 16;
        rgb[3 * c + 1] = (c >>> 8) & 0xff;
        rgb[3 * c + 2] = c & 0xff;
    }
    writeFileSync(join(work, "colours.rgb"), rgb);

    // Operands as typed: references with negative components, beyond the
    // integer sums' limit (255 (|r| + |g| + |b|) > 2^24) and at the 32-bit
    // extremes; theta above pi, at 0, nan and inf; thresholds negative,
    // above every projection and cut to 32 bits.
    const operands = [
        ["180", "40", "15", "0.12", "10"],
        ["60", "120", "40", "0.1", "20"],
        ["-60", "120", "-40", "1.6", "-128"],
        ["-200", "-30", "100", "3.2", "-100000"],
        ["-1", "0", "0", "3.2", "-128"],
        ["32767", "32767", "260", "0.3", "0"],
        ["2147483647", "-2147483648", "5", "2.5", "1"],
        ["3", "4", "0", "4.0", "51"],
        ["1", "1", "1", "0.05", "20"],
        ["255", "255", "255", "0.01", "0"],
        ["0", "255", "0", "0.5", "72"],
        ["2147483647", "-2147483648", "2147483647", "1.2", "-1"],
        ["10", "200", "30", "0.2", "2147483647"],
        ["0", "0", "0", "inf", "-5"],
        ["255", "0", "0", "nan", "0"],
        ["12abc", "abc", "7", "0x1p-3", "4294967306"],
    ];
    for (const row of operands) {
        execFileSync(conemask, [...row.slice(0, 5), "colours", String(side), String(side)], { cwd: work });
        const expected = readFileSync(join(work, "colours.raw"));
        const [red, green, blue, thresh] = [row[0], row[1], row[2], row[4]].map((t) => geometry.convert_integer(t));
        const { samples } = geometry.classify(rgb, [red, green, blue], geometry.convert_angle(row[3]), thresh);
        const actual = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
        if (!actual.equals(expected)) {
            let first = 0;
            while (actual[first] === expected[first]) ++first;
            fail(`conemask ${row.join(" ")}: the masks differ from pixel ${first >> 1}`);
        } else {
            passes += 1;
            console.log(`same mask: conemask ${row.join(" ")} colours ${side} ${side}`);
        }
    }

    // What the module costs a pixel: a figure to read, not a test.
    const timings = [];
    for (let i = 0; i < 5; ++i) {
        const start = performance.now();
        geometry.classify(rgb, [60, 120, 40], Math.fround(0.1), 20);
        timings.push((performance.now() - start) * 1e6 / (side * side));
    }
    timings.sort((a, b) => a - b);
    console.log(`WebAssembly classify, every colour, reference 60 120 40, theta 0.1: ${timings[2].toFixed(2)} ns a pixel`);

    // Every kernel of the module against find_angle and decide_sample,
    // compiled into the same module: all 2^24 colours, in the cube's order
    // (the colours past a pre-test come in runs) and shuffled (scattered, as
    // in noise, which the kernels decide in their other modes), for the
    // references and limits of the native kernel tests.
    const module = await (await import(pathToFileURL(checks))).default();
    const kernels = [];
    for (let name; (name = module._conemask_kernel_name(kernels.length)) !== 0;) {
        kernels.push(module.UTF8ToString(name));
    }
    // The page's own kernel first, and the portable one it is measured against.
    if (kernels.join(" ") !== "wasm_simd128 portable") {
        fail(`the module runs the kernels ${kernels.join(", ")}, not wasm_simd128 then portable`);
    }
    const references = [[0, 0, 0], [1, 1, 1], [60, 120, 40], [-60, 120, -40], [-200, -30, 100],
                        [2147483647, -2147483648, 5], [3, 4, 0], [32767, -32767, 259], [32767, 32767, 260],
                        [32768, 1, -5]];
    const limits = [[0.05, 20], [0.3, 0], [1.0, 100], [1.6, -128], [3.2, -100000], [0.0, 0], [NaN, 0],
                    [0.2, 2147483647], [2.5, 1], [4.0, 51]];
    const count = side * side;
    const shuffled = new Uint32Array(count);
    for (let c = 0; c < count; ++c) shuffled[c] = c;
    let seed = 11;
    const random = () => {
        seed ^= seed << 13;
        seed ^= seed >>> 17;
        seed ^= seed << 5;
        return (seed >>> 0) / 4294967296;
    };
    for (let c = count - 1; c > 0; --c) {
        const other = Math.floor(random() * (c + 1));
        [shuffled[c], shuffled[other]] = [shuffled[other], shuffled[c]];
    }
    const heap = (bytes) => {
        const pointer = module._malloc(bytes);
        if (pointer === 0) throw new Error("out of memory");
        return pointer;
    };
    const rgb_at = heap(3 * count);
    const angles_at = heap(4 * count);
    const projections_at = heap(4 * count);
    const expected_at = heap(2 * count);
    const actual_at = heap(2 * count);
    const mismatches = new Map(kernels.map((k) => [k, 0]));
    for (const order of ["in the cube's order", "shuffled"]) {
        const colours = module.HEAPU8.subarray(rgb_at, rgb_at + 3 * count);
        for (let i = 0; i < count; ++i) {
            const c = order === "shuffled" ? shuffled[i] : i;
            colours[3 * i] = c >>> 16;
            colours[3 * i + 1] = (c >>> 8) & 0xff;
            colours[3 * i + 2] = c & 0xff;
        }
        for (const [red, green, blue] of references) {
            module._conemask_find_angles(red, green, blue, rgb_at, angles_at, projections_at, count);
            for (const [max_angle, thresh] of limits) {
                module._conemask_decide_samples(angles_at, projections_at, Math.fround(max_angle), thresh, expected_at,
                                                count);
                const expected = Buffer.from(module.HEAPU8.buffer, expected_at, 2 * count);
                kernels.forEach((kernel, index) => {
                    module._conemask_classify_with(index, red, green, blue, Math.fround(max_angle), thresh, rgb_at,
                                                   actual_at, count);
                    const actual = Buffer.from(module.HEAPU8.buffer, actual_at, 2 * count);
                    if (!actual.equals(expected)) {
                        let first = 0;
                        while (actual[first] === expected[first]) ++first;
                        if (mismatches.get(kernel) < 5) {
                            fail(`${kernel} ${order}, reference ${red} ${green} ${blue}, theta ${max_angle}, thresh `
                                 + `${thresh}: differs from find_angle first at pixel ${first >> 1}`);
                        }
                        mismatches.set(kernel, mismatches.get(kernel) + 1);
                    }
                });
            }
        }
    }
    for (const kernel of kernels) {
        if (mismatches.get(kernel) === 0) {
            passes += 1;
            console.log(`${kernel}: every colour, in order and shuffled, ${references.length} references x `
                        + `${limits.length} limits, the same samples as find_angle`);
        }
    }
    for (const pointer of [rgb_at, angles_at, projections_at, expected_at, actual_at]) module._free(pointer);

    // Texts that the two C libraries could read apart.
    const texts = ["0.12", " 7", "+3", "-0", "12abc", "abc", "", "1e-3", ".5", "+.5e1", "0x1p-3", "0x", "1e", "1e+", "-2.5E-x", "0x1p", "0x1.8P+", "e5", ".e1",
                   "inf", "-Infinity", "infI", "nan", "nan(1)", "3.4028236e38", "1e-46", "2147483648",
                   "-2147483649", "99999999999999999999", "0.000000000000000000000000000000000000000001",
                   "1".repeat(99), "1".repeat(100),
                   // Hex floats, words, the range's edges and halfway cases, signs, space and garbage.
                   "0x1.fffffep127", "0x1.ffffffp127", "0x1p-149", "0x1p-150", "0x1.8p-150", "-0x", "-0x.", "-.",
                   "0x1e", "0xep1", "0x1p+-3", "INFINITY", "-iNfInItY", "infinit", "NaN(123)", "-nan", "1.4e-45",
                   "7.006492e-46", "7.0064923216240862e-46", "7.0064923216240861e-46", "3.4028235677973366e38",
                   "3.4028235677973365e38", "1.000000059604644775390625", "1.000000059604644775390626",
                   "1.000000059604644775390624", "16777217", " \t\n-5.5e+2x", "1e-", "0e5", "00e5", "1.5.3", "1e5e3",
                   "1e+-5", "1.000000059604644775390625" + "0".repeat(70) + "1", "-9223372036854775809",
                   "9223372036854775808", "\v+42"];
    const native = execFileSync(probe, texts, { encoding: "utf8" }).trim().split("\n");
    texts.forEach((text, i) => {
        const [integer_state, integer, angle_state, angle_bits] = native[i].split(" ");
        const wasm_integer = geometry.convert_integer(text);
        const wasm_angle = geometry.convert_angle(text);
        const bits = wasm_angle === null ? null : new Uint32Array(new Float32Array([wasm_angle]).buffer)[0];
        const same_integer = integer_state === "refused" ? wasm_integer === null : wasm_integer === Number(integer);
        // A NaN's payload does not survive a JavaScript number: any NaN matches any.
        const native_nan = (Number(angle_bits) & 0x7fffffff) > 0x7f800000;
        const same_angle = angle_state === "refused" ? wasm_angle === null
                         : native_nan ? Number.isNaN(wasm_angle) : bits === Number(angle_bits);
        if (!same_integer || !same_angle) {
            fail(`"${text}": the program reads ${integer} and bits ${angle_bits}, the page ${wasm_integer} and ${bits}`);
        } else {
            passes += 1;
        }
    });
    console.log(`${texts.length} operand texts checked`);
} finally {
    rmSync(work, { recursive: true, force: true });
}
console.log(`${passes} passed, ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
