// SPDX-License-Identifier: MIT
// The names the printed lines write and the download carries. Every line
// must run as printed for any file name: the shell, ImageMagick and the
// browser each read some characters in a name as something else. And the
// kind of image a file is by its first bytes, which a name may not say.

// A text that the shell passes on as one word, unchanged.
export function shell_word(text) {
    return /^[\w.,+@%/:=-]+$/.test(text) ? text : `'${text.replaceAll("'", "'\\''")}'`;
}

// The photograph's name as ImageMagick's input: a leading "-" would be an
// option, "@" a list of names, and "NAME:" a format; behind "./" each is a
// file's name. ImageMagick reads a name holding "%", "[" or "]" as it
// stands when that file exists.
export function input_word(name) {
    return shell_word(/^[-@]|:/.test(name) ? `./${name}` : name);
}

// The name without its directory and last extension, as the program's
// basefilename operand.
export function base_name(name) {
    const file = name.split(/[\\/]/).pop();
    const dot = file.lastIndexOf(".");
    return dot > 0 ? file.slice(0, dot) : file;
}

// The name a browser gives a download: it drops leading and trailing dots
// and spaces, and puts "_" for the characters a file system may refuse.
export function saved_name(name) {
    // eslint-disable-next-line no-control-regex
    const kept = name.replace(/[\u0000-\u001f\u007f"*/:<>?\\|]/g, "_").replace(/^[.\s]+|[.\s]+$/g, "");
    return kept === "" ? "download" : kept;
}

// The base of the .rgb a photograph's printed line writes: one the browser
// saves unchanged with .raw after it, so that the download is the very
// file the printed lines write.
export function image_base(name) {
    const base = saved_name(base_name(name).replace(/^[.\s]+/, ""));
    return base === "download" ? "photo" : base;
}

// For an .rgb the user has (its base is fixed): what to rename the download
// to where the browser saves it under another name; "" when it keeps it.
export function rename_note(base) {
    const saved = saved_name(`${base}.raw`);
    return saved === `${base}.raw` ? "" : `The browser saves the mask as ${saved}: rename it to ${base}.raw, ` +
        "the name conemask writes";
}

// The ImageMagick line that writes the raster the page reads from an image:
// turned upright by its EXIF orientation, alpha dropped, no colour profile
// applied, 16-bit samples reduced to 8. In an output name ImageMagick reads
// "%" as the start of a number's format ("%%" is one "%"), and a leading
// "@" as a list of names.
export function convert_line(image_name, base) {
    const output = `${base.startsWith("@") ? "./" : ""}${base.replaceAll("%", "%%")}.rgb`;
    return `convert ${input_word(image_name)} -auto-orient -alpha off -colorspace sRGB -depth 8 ` +
           `-print '%h %w\\n' rgb:${shell_word(output)}`;
}

// conemask-image's line, for a photograph the page cannot read exactly.
export function conemask_image_line(image_name, [red, green, blue], theta, thresh) {
    return `conemask-image ${input_word(image_name)} ${red} ${green} ${blue} ${theta} ${thresh}`;
}

const png_signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

// The kind of image a file's bytes hold, or null (its first 16 bytes suffice).
export function image_kind(bytes) {
    const ascii = (at, length) => String.fromCharCode(...bytes.subarray(at, at + length));
    if (bytes.length >= 8 && png_signature.every((b, i) => bytes[i] === b)) return "png";
    if (bytes.length >= 4 && (ascii(0, 4) === "II*\0" || ascii(0, 4) === "MM\0*")) return "tiff";
    if (bytes.length >= 3 && bytes[0] === 0xff && bytes[1] === 0xd8 && bytes[2] === 0xff) return "jpeg";
    if (bytes.length >= 16 && ascii(0, 4) === "RIFF" && ascii(8, 4) === "WEBP") return "webp";
    return null;
}
