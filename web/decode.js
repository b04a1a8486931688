// SPDX-License-Identifier: MIT
// Opening a photograph as the program's input: three bytes a pixel, row
// after row, the very raster the printed ImageMagick line writes, or a
// refusal that says why and what to do. Every refusal is an Error whose
// message the page shows.
import { max_pixels } from "./limits.js";
import { exif_orientation, hold_png, jpeg_damage, set_upright, too_large, turn_held } from "./reading.js";
import { base_name, convert_line, image_base, image_kind, rename_note } from "./names.js";

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
            // A length below 2 (an APPn or COM, which the damage rule lets
            // through): libjpeg reads on after the length field.
            at += 2 + Math.max(2, view.getUint16(at + 2));
        }
    }
    return null;
}

// JPEG and WebP through the browser's decoder, which gives ImageMagick's
// values on opaque pictures, into the held raster. A canvas holds colours
// premultiplied by alpha, so a picture with any pixel not wholly opaque
// cannot be read exactly.
async function hold_decoded(geometry, bytes, name, base, progress) {
    let bitmap;
    try {
        bitmap = await createImageBitmap(new Blob([bytes]), {
            colorSpaceConversion: "none",
            premultiplyAlpha: "none",
        });
    } catch {
        throw new Error(`${name} could not be decoded by this browser. ${use_imagemagick(name, base)}`);
    }
    const { width: cols, height: rows } = bitmap;
    if (cols * rows > max_pixels) {
        bitmap.close();
        throw too_large(cols, rows);
    }
    const canvas = new OffscreenCanvas(cols, rows);
    const context = canvas.getContext("2d", { willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    bitmap.close();
    const rgba = context.getImageData(0, 0, cols, rows).data;
    for (let j = 3; j < rgba.length; j += 4) {
        if (rgba[j] !== 255) {
            throw new Error(`${name} has transparent pixels, which the browser cannot read exactly. ` +
                            use_imagemagick(name, base));
        }
    }
    // The last look at a cancel before the held raster is replaced.
    await progress("decoding", 1, 1);
    geometry.hold_raster(3 * cols * rows);
    const rgb = geometry.raster_bytes();
    for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
        rgb[i] = rgba[j];
        rgb[i + 1] = rgba[j + 1];
        rgb[i + 2] = rgba[j + 2];
    }
    return { rows, cols };
}

// What to do instead, for a refusal: the line that makes the program's input.
const use_imagemagick = (name, base) =>
    `Make the program's input with ImageMagick and open that .rgb, with the rows and cols it prints: ` +
    convert_line(name, base);

// A refusal whose message the page completes with conemask-image's line.
function use_conemask_image(message) {
    const error = new Error(message);
    error.name = "use_conemask_image";
    return error;
}

// A photograph, read as the printed ImageMagick line reads it, and held in
// the module's memory: { rows, cols, base }. `progress` is awaited between
// steps and throws when the opening is cancelled.
export async function open_image(file, geometry, progress) {
    const bytes = new Uint8Array(await file.arrayBuffer());
    const base = image_base(file.name);
    const kind = image_kind(bytes);
    // A browser decodes no TIFF, and no code here is proven to read one as ImageMagick does.
    if (kind === "tiff") {
        throw use_conemask_image(`${file.name} is a TIFF file, which the page cannot read exactly; ` +
                                 "conemask-image reads it as ImageMagick does");
    }
    // Before the header's size is read: a damaged file gets the reason conemask-image gives it.
    const damage = kind === "jpeg" && jpeg_damage(geometry, bytes);
    if (damage) {
        const error = new Error(`${file.name} is a damaged file (${damage}), which ImageMagick reads with warnings. ` +
                                use_imagemagick(file.name, base));
        error.reason = damage;
        throw error;
    }
    const size = kind && stated_size(bytes);
    if (!size) {
        throw new Error(`${file.name} is not an image the page can open (PNG, JPEG or WebP). ` +
                        use_imagemagick(file.name, base));
    }
    if (size.cols * size.rows > max_pixels) {
        throw too_large(size.cols, size.rows);
    }
    if (kind === "png") {
        return { ...await hold_png(geometry, bytes, file.name, progress), base };
    }
    // An animated WebP: ImageMagick writes every frame, the browser shows one.
    if (kind === "webp" && String.fromCharCode(...bytes.subarray(12, 16)) === "VP8X" && (bytes[20] & 0x02)) {
        throw new Error(`${file.name} is an animated WebP file; the page opens still pictures only`);
    }
    // The browser would turn the picture by its tag on its own: it decodes a
    // copy that says upright, and the module turns it as ImageMagick does,
    // which honours the tag in a JPEG only.
    const tag = exif_orientation(geometry, bytes, kind);
    const decoded = await hold_decoded(geometry, tag ? set_upright(bytes, tag) : bytes, file.name, base, progress);
    // The browser must not have turned the picture on its own (from a tag
    // the page does not read): it would then not be the printed line's.
    if (decoded.rows !== size.rows || decoded.cols !== size.cols) {
        throw new Error(`${file.name}: the browser decoded ${decoded.cols} x ${decoded.rows} pixels where the ` +
                        `file states ${size.cols} x ${size.rows}. ${use_imagemagick(file.name, base)}`);
    }
    const turned = tag && kind === "jpeg" ? turn_held(geometry, decoded.rows, decoded.cols, tag.value) : decoded;
    return { ...turned, base };
}

// A headerless raster in the program's input format, of `rows` x `cols`
// pixels as typed. The program reads the first rows x cols pixels and
// never the rest; so does the page, and it says how much it left.
export async function open_raw(file, rows_text, cols_text) {
    const whole = (text, field) => {
        if (String(text).trim() === "") {
            throw new Error(`Type the raster's ${field} to open ${file.name}`);
        }
        const value = Number(text);
        if (!(Number.isInteger(value) && value > 0)) {
            throw new Error(`${field} must be a whole number above 0, not "${text}"`);
        }
        return value;
    };
    const rows = whole(rows_text, "rows");
    const cols = whole(cols_text, "cols");
    if (rows * cols > max_pixels) {
        throw too_large(cols, rows);
    }
    const expected = rows * cols * 3;
    if (file.size < expected) {
        throw new Error(`${file.name} holds ${file.size} bytes, fewer than ${rows} x ${cols} x 3 = ${expected}`);
    }
    const rgb = new Uint8Array(await file.slice(0, expected).arrayBuffer());
    const left = file.size - expected;
    const note = left > 0
        ? `${file.name} holds ${left.toLocaleString("en")} bytes more than ${rows} x ${cols} x 3 = ` +
          `${expected.toLocaleString("en")}; conemask never reads them, and neither does the page`
        : "";
    const base = base_name(file.name);
    return { rgb, rows, cols, base, note, rename: rename_note(base) };
}
