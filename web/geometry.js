// SPDX-License-Identifier: MIT
// The glue to the WebAssembly module: the program's own classification,
// angles and operand conversion, on typed arrays. The worker holds the
// raster in the module's memory; the page's main thread only converts
// operands. Both instantiate the module compiled once (wasm_module.js).
import load_conemask from "./conemask_wasm.mjs";

// Emscripten's module (its exports and memory) on `compiled`, a WebAssembly.Module.
export function instantiate_conemask(compiled) {
    return new Promise((resolve, reject) => {
        load_conemask({
            // The default would resolve the binary's name against the script's
            // URL, which a worker started from a data URL cannot.
            locateFile: (name) => name,
            instantiateWasm(imports, receive) {
                WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance, compiled), reject);
                return {};
            },
        }).then(resolve, reject);
    });
}

export async function load_geometry(compiled) {
    const module = await instantiate_conemask(compiled);
    // Buffers in the module's memory, grown as needed and kept between calls.
    const buffers = new Map();
    const buffer = (name, bytes) => {
        const held = buffers.get(name);
        if (held && held.bytes >= bytes) {
            return held.pointer;
        }
        if (held) {
            module._free(held.pointer);
        }
        const pointer = module._malloc(Math.max(bytes, 16));
        if (pointer === 0) {
            throw new Error("out of memory");
        }
        buffers.set(name, { pointer, bytes });
        return pointer;
    };
    let loaded_rgb = null;
    let held_bytes = 0;

    // The raster's bytes are copied in once, not at every update.
    const put_rgb = (rgb) => {
        const pointer = buffer("rgb", rgb.length);
        if (loaded_rgb !== rgb) {
            module.HEAPU8.set(rgb, pointer);
            loaded_rgb = rgb;
        }
        return pointer;
    };
    // Other pixels (a sample, a region) go through a buffer of their own.
    const put_pixels = (rgb) => {
        const pointer = buffer("pixels", rgb.length);
        module.HEAPU8.set(rgb, pointer);
        return pointer;
    };
    // The module's classification of `count` pixels (three bytes each) into
    // their samples: how many are nonzero and the largest. Every classify
    // below comes here.
    const classify_into = (rgb_pointer, samples_pointer, count, reference, max_angle, thresh) => {
        const largest_pointer = buffer("largest", 2);
        const selected = module._conemask_classify(reference[0], reference[1], reference[2], max_angle, thresh,
                                                   rgb_pointer, samples_pointer, count, largest_pointer);
        return { selected, largest: module.HEAP16[largest_pointer >> 1] };
    };
    const samples_view = (pointer, count) => new Int16Array(module.HEAP16.buffer, pointer, count);

    return {
        // The samples the program writes for `rgb` (three bytes a pixel), how
        // many are nonzero and the largest. The samples are a view of the
        // module's memory, valid until the next call: copying 12 megapixels'
        // worth at every update would cost more than classifying them.
        classify(rgb, reference, max_angle, thresh) {
            const count = rgb.length / 3;
            const rgb_pointer = put_rgb(rgb);
            const samples_pointer = buffer("samples", 2 * count);
            const counted = classify_into(rgb_pointer, samples_pointer, count, reference, max_angle, thresh);
            return { samples: samples_view(samples_pointer, count), ...counted };
        },

        // find_angle's angle of each pixel of `rgb` to the reference.
        angles(rgb, reference) {
            return this.measure(rgb, reference, false).angles;
        },

        // find_angle's angle and projection of each pixel of `rgb`, copied out.
        measure(rgb, reference, with_projections = true) {
            const count = rgb.length / 3;
            const rgb_pointer = put_pixels(rgb);
            const angles_pointer = buffer("angles", 4 * count);
            const projections_pointer = with_projections ? buffer("projections", 4 * count) : 0;
            module._conemask_angles(reference[0], reference[1], reference[2], rgb_pointer, angles_pointer,
                                    projections_pointer, count);
            const copy = (pointer) => new Float32Array(module.HEAPF32.buffer, pointer, count).slice();
            return { angles: copy(angles_pointer), projections: with_projections ? copy(projections_pointer) : null };
        },

        // The raster held in the module's memory: room for `bytes` bytes, which
        // the caller fills through raster_bytes() (a view that a later
        // allocation may detach: take it afresh after any call).
        hold_raster(bytes) {
            loaded_rgb = null;
            buffer("rgb", bytes);
            held_bytes = bytes;
        },
        raster_bytes() {
            return new Uint8Array(module.HEAPU8.buffer, buffers.get("rgb").pointer, held_bytes);
        },
        // For the reading of a photograph (reading.js): the module, a named
        // buffer of at least `bytes` bytes (its address), one given back, and
        // the held raster's address.
        module,
        buffer,
        release(name) {
            const held = buffers.get(name);
            if (held) module._free(held.pointer);
            buffers.delete(name);
        },
        raster_pointer() {
            return buffers.get("rgb").pointer;
        },
        // classify() on the held raster; `samples` is a view, as there.
        classify_raster(reference, max_angle, thresh) {
            const counted = this.classify_raster_part(reference, max_angle, thresh, 0, held_bytes / 3);
            return { samples: this.raster_samples(), ...counted };
        },
        // classify_raster() on `count` pixels of the held raster from pixel
        // `start`, into the same samples: the selected and the largest among them.
        classify_raster_part(reference, max_angle, thresh, start, count) {
            const samples_pointer = buffer("samples", 2 * (held_bytes / 3));
            return classify_into(buffers.get("rgb").pointer + 3 * start, samples_pointer + 2 * start, count, reference,
                                 max_angle, thresh);
        },
        // The preview's RGBA words (see preview.cpp) of the held raster and its
        // last classification: raster column columns[x] at device column x,
        // raster row rows[y] at device row y, -1 off the raster.
        preview(cols, columns, rows, mode, tint, opacity, largest) {
            const columns_pointer = buffer("preview_columns", 4 * columns.length);
            const rows_pointer = buffer("preview_rows", 4 * rows.length);
            const words_pointer = buffer("preview", 4 * columns.length * rows.length);
            module.HEAP32.set(columns, columns_pointer >> 2);
            module.HEAP32.set(rows, rows_pointer >> 2);
            module._conemask_preview(buffers.get("rgb").pointer, buffers.get("samples").pointer, cols, columns_pointer,
                                     columns.length, rows_pointer, rows.length, mode, tint[0], tint[1], tint[2],
                                     opacity, largest, words_pointer);
            return new Uint32Array(module.HEAPU8.buffer, words_pointer, columns.length * rows.length).slice();
        },
        // The samples of the last classify_raster(), as a fresh view.
        raster_samples() {
            return new Int16Array(module.HEAP16.buffer, buffers.get("samples").pointer, held_bytes / 3);
        },
        // classify() on other pixels (a region, a probe), leaving the held raster alone.
        classify_pixels(rgb, reference, max_angle, thresh) {
            const count = rgb.length / 3;
            const rgb_pointer = put_pixels(rgb);
            const samples_pointer = buffer("pixel_samples", 2 * count);
            const counted = classify_into(rgb_pointer, samples_pointer, count, reference, max_angle, thresh);
            return { samples: samples_view(samples_pointer, count), ...counted };
        },

        // An operand converted as the program converts it: null when it is
        // too long for the program's buffer.
        convert_integer(text) {
            return convert(text, 4, module._conemask_convert_integer, (p) => module.HEAP32[p >> 2]);
        },
        convert_angle(text) {
            return convert(text, 4, module._conemask_convert_angle, (p) => module.HEAPF32[p >> 2]);
        },
    };

    function convert(text, size, converter, read) {
        const encoded = new TextEncoder().encode(text);
        const text_pointer = buffer("text", encoded.length + 1);
        module.HEAPU8.set(encoded, text_pointer);
        module.HEAPU8[text_pointer + encoded.length] = 0;
        const value_pointer = buffer("value", size);
        return converter(text_pointer, value_pointer) ? read(value_pointer) : null;
    }
}

// The shortest decimal text that a float scan ("%f", rounding to nearest)
// turns back into the very float `value`.
export function float_text(value) {
    if (!Number.isFinite(value)) {
        return Number.isNaN(value) ? "nan" : value > 0 ? "inf" : "-inf";
    }
    for (let digits = 1; digits <= 9; ++digits) {
        const text = Number(value.toPrecision(digits)).toString();
        if (Math.fround(Number(text)) === value) {
            return text;
        }
    }
    return value.toPrecision(9);
}
