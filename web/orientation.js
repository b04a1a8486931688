// SPDX-License-Identifier: MIT
// EXIF orientation, turned by the page's own code exactly as ImageMagick's
// -auto-orient turns it. ImageMagick honours it in JPEG files only (not a
// PNG's eXIf nor a WebP's EXIF chunk), so the page does the same; and since
// the browser would turn JPEG and WebP pictures again on its own, the copy
// of the bytes it decodes has the tag set to 1 (upright) first.

// The orientation tag's value and where it lies in a TIFF structure, or null.
function exif_orientation_in_tiff(bytes, start, end) {
    if (end - start < 8) return null;
    const view = new DataView(bytes.buffer, bytes.byteOffset + start, end - start);
    const order = view.getUint16(0);
    if (order !== 0x4949 && order !== 0x4d4d) return null;
    const little = order === 0x4949;
    if (view.getUint16(2, little) !== 42) return null;
    const directory = view.getUint32(4, little);
    if (directory + 2 > view.byteLength) return null;
    const entries = view.getUint16(directory, little);
    for (let i = 0; i < entries; ++i) {
        const entry = directory + 2 + 12 * i;
        if (entry + 12 > view.byteLength) return null;
        if (view.getUint16(entry, little) !== 0x0112) continue;
        const type = view.getUint16(entry + 2, little);
        if (view.getUint32(entry + 4, little) !== 1 || (type !== 3 && type !== 4)) return null;
        const short = type === 3;
        const value = short ? view.getUint16(entry + 8, little) : view.getUint32(entry + 8, little);
        return { value, at: start + entry + 8, short, little };
    }
    return null;
}

// The first APP1 segment that holds EXIF, in the segments before the image data.
function exif_orientation_in_jpeg(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    for (let at = 2; at + 4 <= bytes.length;) {
        if (bytes[at] !== 0xff) return null;
        const marker = bytes[at + 1];
        if (marker === 0xff) {
            at += 1;
            continue;
        }
        if (marker === 0xda || marker === 0xd9) return null;
        const length = view.getUint16(at + 2);
        const is_exif = marker === 0xe1 && length >= 8 && at + 10 <= bytes.length &&
            String.fromCharCode(...bytes.subarray(at + 4, at + 10)) === "Exif\0\0";
        if (is_exif) {
            return exif_orientation_in_tiff(bytes, at + 10, Math.min(bytes.length, at + 2 + length));
        }
        at += 2 + length;
    }
    return null;
}

// The EXIF chunk of a WebP file (RIFF), or null.
function exif_orientation_in_webp(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    for (let at = 12; at + 8 <= bytes.length;) {
        const type = String.fromCharCode(...bytes.subarray(at, at + 4));
        const length = view.getUint32(at + 4, true);
        const end = Math.min(bytes.length, at + 8 + length);
        if (type === "EXIF") {
            // Some writers keep JPEG's "Exif\0\0" in front of the TIFF structure.
            const skip = String.fromCharCode(...bytes.subarray(at + 8, at + 14)) === "Exif\0\0" ? 6 : 0;
            return exif_orientation_in_tiff(bytes, at + 8 + skip, end);
        }
        at += 8 + length + (length & 1);
    }
    return null;
}

// The orientation ImageMagick applies (1 to 8; 1 when there is none) and a
// copy of the bytes whose tag, if any, says upright, for the browser.
export function orientation_of(bytes, kind) {
    const found = kind === "jpeg" ? exif_orientation_in_jpeg(bytes)
        : kind === "webp" ? exif_orientation_in_webp(bytes) : null;
    if (!found) {
        return { orientation: 1, upright: bytes };
    }
    const upright = bytes.slice();
    const view = new DataView(upright.buffer);
    if (found.short) {
        view.setUint16(found.at, 1, found.little);
    } else {
        view.setUint32(found.at, 1, found.little);
    }
    const honoured = kind === "jpeg" && found.value >= 1 && found.value <= 8;
    return { orientation: honoured ? found.value : 1, upright };
}

// The raster turned upright. For each orientation, where the output's first
// pixel comes from and how far the source moves, in pixels, along an output
// row and down an output column (C: the source's cols, R: its rows).
const orientation_steps = {
    2: (R, C) => [C - 1, -1, C],                 // mirrored left to right
    3: (R, C) => [R * C - 1, -1, -C],            // turned half round
    4: (R, C) => [(R - 1) * C, 1, -C],           // mirrored top to bottom
    5: (R, C) => [0, C, 1],                      // transposed
    6: (R, C) => [(R - 1) * C, -C, 1],           // turned a quarter clockwise
    7: (R, C) => [R * C - 1, -C, -1],            // transversed
    8: (R, C) => [C - 1, C, -1],                 // turned a quarter anticlockwise
};

export function orient({ rgb, rows, cols }, orientation) {
    const steps = orientation_steps[orientation];
    if (!steps) {
        return { rgb, rows, cols };
    }
    const [first, along, down] = steps(rows, cols);
    const sideways = orientation >= 5;
    const out_rows = sideways ? cols : rows;
    const out_cols = sideways ? rows : cols;
    const out = new Uint8Array(rgb.length);
    for (let r = 0, o = 0; r < out_rows; ++r) {
        for (let c = 0, pixel = first + r * down; c < out_cols; ++c, o += 3, pixel += along) {
            const p = 3 * pixel;
            out[o] = rgb[p];
            out[o + 1] = rgb[p + 1];
            out[o + 2] = rgb[p + 2];
        }
    }
    return { rgb: out, rows: out_rows, cols: out_cols };
}
