# SPDX-License-Identifier: MIT
"""A table of photographs made from the example with ImageMagick (and
cwebp), each opened in the page: its printed lines, run natively, give the
downloaded mask, and a clicked pixel's colour is the printed line's raster
there; or the page refuses it as the row says."""
import hashlib
import os
import shutil
import subprocess
import zlib

from page_driver import (ADOBE_RGB, COLS, CONEMASK, MAGICK, MAGICK_PATH, ROWS, check, pointer_at, read_file,
                         rows_cols, settle)

# Files made from the example with ImageMagick: each row's name, the
# convert options that write it from the example's PNG (None: a WebP from
# cwebp with those options), the EXIF orientation put in afterwards (or what
# is done to the file), and
# what the page does: open it as the printed line writes it (None), or refuse
# it with a message holding the text given.
DECODING = [
    *[(f"orientation-{o}.jpg", ["-quality", "92"], o, None) for o in range(1, 9)],
    ("orientation-6-big-endian.jpg", ["-quality", "92"], (6, "big"), None),  # as many cameras write EXIF
    ("orientation-6.png", [], 6, None),              # ImageMagick turns no PNG
    ("orientation-6.webp", ["-lossless"], 6, None),  # nor a WebP
    ("rgb-16.png", ["PNG48:"], None, None),
    ("grey-16.png", ["-colorspace", "Gray", "-depth", "16", "-define", "png:color-type=0"], None, None),
    ("grey-alpha.png", ["-colorspace", "Gray", "(", "-size", f"{COLS}x{ROWS}", "gradient:white-black", ")",
                        "-alpha", "off", "-compose", "CopyOpacity", "-composite", "-define", "png:color-type=4"],
     None, None),
    ("rgba-gradient.png", ["(", "-size", f"{COLS}x{ROWS}", "gradient:white-black", ")", "-alpha", "off",
                           "-compose", "CopyOpacity", "-composite"], None, None),
    ("palette-trns.png", ["-fuzz", "8%", "-transparent", "rgb(180,40,15)", "-colors", "255", "PNG8:"], None, None),
    ("adam7.png", ["-interlace", "PNG"], None, None),
    *[(f"grey-{b}-bit.png", ["-colorspace", "Gray", "-depth", str(b), "-define", f"png:bit-depth={b}",
                             "-define", "png:color-type=0"], None, None) for b in (1, 2, 4)],
    ("profiled.png", ["-profile", ADOBE_RGB], None, None),
    # gAMA 1.0: ImageMagick reads linear light and writes it sRGB-encoded.
    ("linear-gamma.png", ["-set", "gamma", "1.0"], None, None),
    ("linear-gamma-palette.png", ["-set", "gamma", "1.0", "-colors", "50", "PNG8:"], None, None),
    ("baseline-444.jpg", ["-sampling-factor", "4:4:4", "-quality", "95"], None, None),
    ("progressive.jpg", ["-interlace", "JPEG"], None, None),
    ("sampled-420.jpg", ["-sampling-factor", "4:2:0"], None, None),
    ("cmyk.jpg", ["-colorspace", "CMYK"], None, None),
    ("grey.jpg", ["-colorspace", "Gray"], None, None),
    ("profiled.jpg", ["-profile", ADOBE_RGB], None, None),
    ("lossy.webp", None, None, None),
    ("lossless.webp", ["-lossless"], None, None),
    ("transparent.webp", ["-lossless", "-alpha"], None, "has transparent pixels, which the browser cannot read"),
    # Cut short: ImageMagick still writes a raster (with warnings), the browser decodes none.
    ("truncated.jpg", [], lambda path: os.truncate(path, os.path.getsize(path) // 3),
     "JPEG: Premature end of JPEG file"),
]


def tiff_orientation(orientation, order):
    """A TIFF structure in that byte order holding one tag: the orientation."""
    number = lambda value, size: value.to_bytes(size, order)
    return ((b"II*\0" if order == "little" else b"MM\0*") + number(8, 4) + number(1, 2) + number(0x112, 2) +
            number(3, 2) + number(1, 4) + number(orientation, 2) + bytes(2) + bytes(4))


def with_orientation(path, orientation):
    orientation, order = orientation if isinstance(orientation, tuple) else (orientation, "little")
    with open(path, "rb") as f:
        data = f.read()
    exif = tiff_orientation(orientation, order)
    if path.endswith(".jpg"):
        segment = b"Exif\0\0" + exif
        data = data[:2] + b"\xff\xe1" + (len(segment) + 2).to_bytes(2, "big") + segment + data[2:]
    elif path.endswith(".png"):
        chunk = b"eXIf" + exif
        data = data[:33] + len(exif).to_bytes(4, "big") + chunk + zlib.crc32(chunk).to_bytes(4, "big") + data[33:]
    else:
        with open(path + ".exif", "wb") as f:
            f.write(exif)
        subprocess.run(["webpmux", "-set", "exif", path + ".exif", path, "-o", path], check=True,
                       stdout=subprocess.DEVNULL)
        return
    with open(path, "wb") as f:
        f.write(data)


# The SHA-256 of the raster the page holds.
HELD_RASTER = """const done = arguments[0];
    window.conemask_engine.raster().then((rgb) => crypto.subtle.digest("SHA-256", rgb)).then((d) =>
        done([...new Uint8Array(d)].map((b) => b.toString(16).padStart(2, "0")).join("")));"""


def check_decoding(page):
    photo_dir = os.path.join(page.work, "photos")
    os.mkdir(photo_dir)
    example = os.path.join(photo_dir, "example.png")
    subprocess.run([MAGICK, "-size", f"{COLS}x{ROWS}", "-depth", "8", f"rgb:{page.coffee}", example], check=True)
    for row in DECODING:
        path = make_photo(photo_dir, example, *row[:3])
        if path:
            check_photo(page, photo_dir, path, row[3])


def make_photo(photo_dir, example, name, options, orientation):
    """The row's file, written from the example; None where cwebp is missing for it."""
    path = os.path.join(photo_dir, name)
    if options is None or name.endswith(".webp"):
        cwebp = shutil.which("cwebp")
        if not cwebp:
            print(f"note: cwebp is missing; {name} skipped")
            return None
        source = os.path.join(photo_dir, "rgba-gradient.png") if "-alpha" in (options or []) else example
        flags = [o for o in (options or ["-q", "80"]) if o != "-alpha"]
        subprocess.run([cwebp, "-quiet", *flags, source, "-o", path], check=True)
    else:
        if options and options[-1].endswith(":"):
            options, target = options[:-1], options[-1] + path
        else:
            target = path
        subprocess.run([MAGICK, example, *options, target], check=True)
    if callable(orientation):
        orientation(path)
    elif orientation:
        with_orientation(path, orientation)
    return path


def check_photo(page, photo_dir, path, refusal):
    name = os.path.basename(path)
    base = name.rsplit(".", 1)[0]
    page.open_file(path)
    if refusal:
        check(refusal in page.file_message(), f"{name} is refused: {page.file_message()!r}")
        line = page.file_message().split(": ")[-1]
    else:
        check(page.file_message() == "", f"{name} opens without a message: {page.file_message()!r}")
        line = page.value("convert-line")
    printed = subprocess.run(line, shell=True, cwd=photo_dir, env=MAGICK_PATH, check=True, capture_output=True,
                             text=True).stdout.split()
    written = read_file(os.path.join(photo_dir, base + ".rgb"))
    if refusal:
        # The .rgb the message's line makes opens, with the size it printed.
        page.open_file(os.path.join(photo_dir, base + ".rgb"), *printed)
    held = page.driver.execute_async_script(HELD_RASTER)
    check(held == hashlib.sha256(written).hexdigest(), f"{name}: the page holds the printed line's raster")
    command = page.value("command").split()
    check(command[-2:] == printed, f"{name}: the command's rows and cols are those printed: {command[-2:]}")
    if command[-2:] != printed:
        return
    check_photo_mask(page, photo_dir, name, command, printed, refusal)
    check_photo_click(page, name, printed, written)


def check_photo_mask(page, photo_dir, name, command, printed, refusal):
    base = name.rsplit(".", 1)[0]
    raw = page.download(base)
    subprocess.run([CONEMASK, *command[1:]], cwd=photo_dir, check=True, stdout=subprocess.DEVNULL)
    native = read_file(os.path.join(photo_dir, base + ".raw"))
    differing = sum(a != b for a, b in zip(native[::2], raw[::2]))
    check(raw == native, f"{name}: the page's mask is the printed lines' ({differing} samples differ)")
    print(f"{name}: {'refused, then its .rgb' if refusal else 'opened'} as {rows_cols(printed)}, "
          f"{'the same mask' if raw == native else f'{differing} samples differ'}")


def check_photo_click(page, name, printed, written):
    """A click near the lower right takes that pixel of the written raster."""
    rows, cols = int(printed[0]), int(printed[1])
    row, column = rows * 3 // 4, cols * 2 // 3
    page.js("window.conemask_view.fit_view();")
    pointer_at(page.driver, row, column).click().perform()
    p = 3 * (row * cols + column)
    settle(lambda: page.reference() == list(written[p:p + 3]))
    taken = page.reference()
    check(taken == list(written[p:p + 3]), f"{name}: a click takes pixel ({column}, {row}) of the raster, "
          f"{list(written[p:p + 3])}: {taken}")
