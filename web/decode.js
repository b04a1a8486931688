// SPDX-License-Identifier: MIT
// Opening a photograph as the program's input: three bytes a pixel, row
// after row. Every refusal is an Error whose message the page shows.
import { max_pixels } from "./geometry.js";

const too_large = (cols, rows) =>
    new Error(`${cols} x ${rows} pixels is more than the page takes (${max_pixels / 1e6} megapixels)`);

// The size a PNG, JPEG or WebP file states in its header, read before the
// browser decodes it, so that a huge image is refused without freezing the
// tab; null for anything else.
export function stated_size(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const ascii = (at, length) => String.fromCharCode(...bytes.subarray(at, at + length));
    if (bytes.length >= 24 && view.getUint32(0) === 0x89504e47 && ascii(12, 4) === "IHDR") {
        return { cols: view.getUint32(16), rows: view.getUint32(20) };
    }
    if (bytes.length >= 30 && ascii(0, 4) === "RIFF" && ascii(8, 4) === "WEBP") {
        const chunk = ascii(12, 4);
        if (chunk === "VP8X") {
            const three = (at) => bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16);
            return { cols: three(24) + 1, rows: three(27) + 1 };
        }
        if (chunk === "VP8L") {
            const bits = view.getUint32(21, true);
            return { cols: (bits & 0x3fff) + 1, rows: ((bits >>> 14) & 0x3fff) + 1 };
        }
        if (chunk === "VP8 ") {
            return { cols: view.getUint16(26, true) & 0x3fff, rows: view.getUint16(28, true) & 0x3fff };
        }
        return null;
    }
    if (bytes.length >= 4 && view.getUint16(0) === 0xffd8) {
        // JPEG: walk the segments to the first start of frame.
        let at = 2;
        while (at + 9 < bytes.length) {
            if (bytes[at] !== 0xff) {
                return null;
            }
            const marker = bytes[at + 1];
            if (marker === 0xff) {
                at += 1;
                continue;
            }
            const is_frame = marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc;
            if (is_frame) {
                return { rows: view.getUint16(at + 5), cols: view.getUint16(at + 7) };
            }
            at += 2 + view.getUint16(at + 2);
        }
    }
    return null;
}

// A photograph the browser decodes, without colour management and without
// premultiplied alpha; alpha is dropped.
export async function open_image(file) {
    const bytes = new Uint8Array(await file.arrayBuffer());
    const size = stated_size(bytes);
    if (size === null) {
        throw new Error(`${file.name} is not an image the page can open (PNG, JPEG or WebP)`);
    }
    if (size.cols * size.rows > max_pixels) {
        throw too_large(size.cols, size.rows);
    }
    let bitmap;
    try {
        bitmap = await createImageBitmap(new Blob([bytes]), {
            colorSpaceConversion: "none",
            premultiplyAlpha: "none",
        });
    } catch {
        throw new Error(`${file.name} could not be decoded as an image`);
    }
    const { width: cols, height: rows } = bitmap;
    if (cols * rows > max_pixels) {
        throw too_large(cols, rows);
    }
    const canvas = new OffscreenCanvas(cols, rows);
    const context = canvas.getContext("2d", { willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    bitmap.close();
    const rgba = context.getImageData(0, 0, cols, rows).data;
    const rgb = new Uint8Array(3 * cols * rows);
    for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
        rgb[i] = rgba[j];
        rgb[i + 1] = rgba[j + 1];
        rgb[i + 2] = rgba[j + 2];
    }
    return { rgb, rows, cols, base: base_name(file.name) };
}

// A headerless raster in the program's input format, of `rows` x `cols`
// pixels as typed.
export async function open_raw(file, rows, cols) {
    if (!(Number.isInteger(rows) && rows > 0 && Number.isInteger(cols) && cols > 0)) {
        throw new Error("rows and cols must be whole numbers above 0");
    }
    if (rows * cols > max_pixels) {
        throw too_large(cols, rows);
    }
    const expected = rows * cols * 3;
    if (file.size !== expected) {
        throw new Error(`${file.name} holds ${file.size} bytes, not ${rows} x ${cols} x 3 = ${expected}`);
    }
    const rgb = new Uint8Array(await file.arrayBuffer());
    return { rgb, rows, cols, base: base_name(file.name) };
}

// The name without its directory and last extension, as the program's
// basefilename operand.
export function base_name(name) {
    const file = name.split(/[\\/]/).pop();
    const dot = file.lastIndexOf(".");
    return dot > 0 ? file.slice(0, dot) : file;
}
