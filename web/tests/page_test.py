#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page in a real headless Chromium, loaded from file://.

    page_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR [--screenshot PNG]

Opens examples/coffee.rgb through the page's own controls, sets each row of
a table of operands in the page's fields, downloads the mask and compares it
byte for byte with the native program's; runs the command line the page
shows; picks a pixel and a rectangle with the mouse; and feeds the page bad
inputs, each of which must give its message. Then the layout at a desktop's
and a phone's size, the readout against the native find_angle, picking from
the keyboard and the settings that travel. Exits 77 (skipped) where
Chromium, its driver or Selenium is missing.

With --screenshot, the page at 1280 x 800 goes to PNG, and at 390 x 844 (a
phone) to PNG with -phone before its suffix.
"""
import hashlib
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.chrome.service import Service
except ImportError:
    print("note: python3-selenium is not installed; the browser tests skipped")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if not CHROMIUM or not CHROMEDRIVER:
    print("note: chromium or chromium-driver is not installed; the browser tests skipped")
    sys.exit(77)

PAGE, CONEMASK, EXAMPLES = (os.path.abspath(p) for p in sys.argv[1:4])
SCREENSHOT = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--screenshot" else None
ROWS, COLS = 400, 600
# The real ImageMagick (another convert may come first on PATH); the lines
# the page prints run with its directory first.
MAGICK = "/usr/bin/convert"
MAGICK_PATH = {**os.environ, "PATH": "/usr/bin:" + os.environ.get("PATH", "")}
ADOBE_RGB = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"
# A wait's bound: far above any wait, even on a loaded machine, and below
# ctest's 900 s for the whole test, so that a stalled page is named.
TIMEOUT = 300

failures = []
passes = 0


def check(condition, what):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(what)
        print(f"FAIL {what}")


def wait_for(predicate, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise TimeoutError(what)


# Carried in the environment of chromedriver and of everything it starts,
# Chromium's crash handler too, which leaves their process group.
BROWSER_MARK = ("CONEMASK_PAGE_TEST_BROWSER", str(os.getpid()))


def start_browser(profile, downloads):
    """chromedriver and the Chromium it starts, in a session of their own,
    marked in their environment: end_browser ends them all."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1400,2000"):
        options.add_argument(flag)
    service = Service(CHROMEDRIVER, env={**os.environ, BROWSER_MARK[0]: BROWSER_MARK[1]},
                      popen_kw={"start_new_session": True})
    try:
        driver = webdriver.Chrome(service=service, options=options)
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    except BaseException:
        end_browser(service, None)
        raise
    return driver


def end_browser(service, driver):
    """Asks the browser to quit, then kills whatever is left of it (a browser
    that no longer answers, its renderers, its crash handler)."""
    try:
        if driver is not None:
            driver.quit()
    finally:
        if getattr(service, "process", None) is not None:
            try:
                os.killpg(service.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        mark = ("=".join(BROWSER_MARK)).encode()
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if mark in environ.read().split(b"\0"):
                        os.kill(int(entry), signal.SIGKILL)
            except (OSError, ValueError):
                continue  # not a process, gone, or not ours to read


def main():
    # ctest's timeout, or an interrupt, ends the browser too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    work = tempfile.mkdtemp(prefix="conemask-page-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    try:
        driver = start_browser(os.path.join(work, "profile"), downloads)
        try:
            run(driver, work, downloads)
        finally:
            end_browser(driver.service, driver)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passes} passed, {len(failures)} failed")
    return 1 if failures else 0


def run(driver, work, downloads):
    element = driver.find_element
    js = driver.execute_script

    # The page as separate files, from a static server on this machine's loopback.
    server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "0"], cwd=PAGE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = int(wait_for(lambda: server.stdout.readline(), "the static server").split(" port ")[1].split()[0])
        driver.get(f"http://127.0.0.1:{port}/index.html")
        wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the served page to start")
        check(js("return document.body.dataset.state") == "ready", "the page starts from a static server")
    finally:
        server.terminate()
        server.wait(timeout=TIMEOUT)

    def load_page():
        # A fresh page with the default operands, whatever an earlier one kept:
        # the link's operands win over the kept ones.
        driver.get("about:blank")
        driver.get("file://" + os.path.join(PAGE, "conemask-tuner.html") + "#ref=180,40,15&theta=0.12&thresh=10")
        wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")
        check(js("return document.body.dataset.state") == "ready", "the page starts its module from file://")

    def updates():
        return int(js("return window.conemask_tuner.updates"))

    def type_into(field, text):
        box = element(By.ID, field)
        box.clear()
        box.send_keys(text)

    def opens():
        return int(js("return document.body.dataset.opens || 0"))

    def open_file(path, rows=None, cols=None):
        if rows is not None:
            type_into("raw-rows", str(rows))
            type_into("raw-cols", str(cols))
        before = opens()
        element(By.ID, "image-file").send_keys(path)
        wait_for(lambda: opens() > before and js("return document.body.dataset.opened") == os.path.basename(path) and
                 js("return document.body.dataset.state") in ("ready", "refused"), f"the page to open {path}")

    def message():
        return element(By.ID, "message").text

    def file_message():
        return element(By.ID, "file-message").text

    load_page()
    coffee = os.path.join(EXAMPLES, "coffee.rgb")
    with open(coffee, "rb") as f:
        pixels = f.read()
    open_file(coffee, ROWS, COLS)
    check(message() == "", f"coffee.rgb opens without a message, got {message()!r}")

    # Operands typed into the page's fields, as a user types them.
    native_dir = os.path.join(work, "native")
    os.mkdir(native_dir)
    shutil.copy(coffee, native_dir)
    operands = [
        ("180", "40", "15", "0.12", "10"),
        ("60", "120", "40", "0.1", "20"),
        ("129", "22", "6", "0.3", "-128"),
        ("-60", "120", "-40", "1.6", "-5"),
        ("200", "200", "200", "3.2", "100"),
        ("32767", "32767", "260", "0.25", "0"),
        ("5", "4", "3", "1e", "4294967306"),
    ]
    for row in operands:
        for field, text in zip(("red", "green", "blue", "theta", "thresh"), row):
            type_into(field, text)
        subprocess.run([CONEMASK, *row, "coffee", str(ROWS), str(COLS)], cwd=native_dir, check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(native_dir, "coffee.raw"), "rb") as f:
            expected = f.read()
        # The page reads the fields at its next frame: two frames on, the command is theirs.
        driver.execute_async_script("const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(done));")
        command = wait_for(lambda: (c := element(By.ID, "command").get_attribute("value")) and
                           js("return !document.getElementById('download').disabled") and c, "the command line")
        raw = download(driver, downloads)
        check(raw == expected, f"the downloaded mask for {' '.join(row)} is the program's")
        # The command line the page shows, run as it stands.
        words = command.split()
        check(words[0] == "conemask" and len(words) == 9, f"the command line {command!r} has eight operands")
        shown_dir = os.path.join(work, "shown")
        shutil.rmtree(shown_dir, ignore_errors=True)
        os.mkdir(shown_dir)
        shutil.copy(coffee, os.path.join(shown_dir, words[6] + ".rgb"))
        subprocess.run([CONEMASK, *words[1:]], cwd=shown_dir, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(shown_dir, words[6] + ".raw"), "rb") as f:
            check(f.read() == expected, f"{command} gives the page's mask")

    # Picking with the mouse, on the picture as the view fits it to the window.

    def reference():
        return [int(element(By.ID, c).get_attribute("value")) for c in ("red", "green", "blue")]

    column, row = 150, 260
    pointer_at(driver, row, column).click().perform()
    p = 3 * (row * COLS + column)
    # The colour comes from the worker, which holds the pixels.
    settle(lambda: reference() == list(pixels[p:p + 3]))
    check(reference() == list(pixels[p:p + 3]), f"a click takes pixel ({column}, {row}): {reference()}")

    # Typed operands made the reference the user's own: the box gives it back to the rectangles.
    if not element(By.ID, "reference-from-regions").is_selected():
        element(By.ID, "reference-from-regions").click()
    left, top, right, bottom = 130, 250, 170, 280
    drag = pointer_at(driver, top, left).click_and_hold()
    pointer_at(driver, (top + bottom) // 2, (left + right) // 2, drag)
    pointer_at(driver, bottom, right, drag).release().perform()
    sums = [0, 0, 0]
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            for c in range(3):
                sums[c] += pixels[3 * (y * COLS + x) + c]
    count = (right - left + 1) * (bottom - top + 1)
    mean = [int(s / count + 0.5) for s in sums]
    try:
        wait_for(lambda: reference() == mean, "the rectangle's mean")
    except TimeoutError:
        pass
    check(reference() == mean, f"a rectangle takes its mean colour {mean}: {reference()}")

    check_regions(driver, work, coffee, pixels, load_page, open_file, type_into, message)

    if os.path.exists(MAGICK):
        check_decoding(driver, work, downloads, coffee, open_file, file_message)
    else:
        print("note: ImageMagick is not installed; the decoding table skipped")

    # What one update costs on a 12-megapixel photograph (the example, tiled
    # to 4000 x 3000): a figure to read, not a test.
    big = os.path.join(work, "big.rgb")
    big_rows, big_cols = 3000, 4000
    row_bytes = [pixels[3 * COLS * (r % ROWS):3 * COLS * (r % ROWS + 1)] for r in range(ROWS)]
    with open(big, "wb") as f:
        for r in range(big_rows):
            line = row_bytes[r % ROWS]
            f.write((line * (big_cols // COLS + 1))[:3 * big_cols])
    open_file(big, big_rows, big_cols)
    times = []
    for theta in ("0.1", "0.2", "0.3", "0.4", "0.5"):
        before = updates()
        type_into("theta", theta)
        wait_for(lambda: updates() > before and js("return document.body.dataset.state") == "ready", "an update")
        times.append(js("return window.conemask_tuner.last_update_ms"))
    times.sort()
    print(f"one update on {big_rows} x {big_cols} pixels: median {times[len(times) // 2]:.0f} ms "
          f"(of {', '.join(f'{t:.0f}' for t in times)})")
    check_long_work(driver, big_rows, big_cols, message)

    # Bad inputs: each gives its message, and the page goes on working.
    bad_dir = os.path.join(work, "bad")
    os.mkdir(bad_dir)
    not_image = os.path.join(bad_dir, "notes.png")
    with open(not_image, "w") as f:
        f.write("not a picture\n")
    short = os.path.join(bad_dir, "short.rgb")
    with open(short, "wb") as f:
        f.write(pixels[:-1])
    # A PNG header that states 20000 x 20000 pixels: refused before decoding.
    huge = os.path.join(bad_dir, "huge.png")
    with open(huge, "wb") as f:
        f.write(bytes.fromhex("89504e470d0a1a0a0000000d49484452") + (20000).to_bytes(4, "big") * 2 +
                bytes.fromhex("0802000000") + bytes(4))
    cases = [
        ("a file that is not an image", lambda: open_file(not_image), "is not an image the page can open"),
        ("an .rgb too short", lambda: open_file(short, ROWS, COLS), "holds 719999 bytes, fewer than 400 x 600 x 3"),
        ("rows of 0", lambda: open_file(coffee, 0, COLS), 'rows must be a whole number above 0, not "0"'),
        ("cols of 2.5", lambda: open_file(coffee, ROWS, 2.5), 'cols must be a whole number above 0, not "2.5"'),
        ("an image that is too large", lambda: open_file(huge), "more than the page takes (100 megapixels)"),
    ]
    for what, act, expected in cases:
        load_page()
        act()
        check(expected in file_message(), f"{what} gives its message: {file_message()!r}")

    # A refused file leaves nothing of the picture before it.
    load_page()
    open_file(coffee, ROWS, COLS)
    js("window.conemask_tuner.regions.push({left: 1, top: 1, right: 9, bottom: 9, mode: 'take', selected: null});")
    open_file(not_image)
    left = js("""const c = document.getElementById('picture');
                 const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
                 return [d.some((v) => v !== 0), document.getElementById('stats').textContent,
                         document.getElementById('command').value, document.getElementById('download').disabled,
                         window.conemask_tuner.regions.length];""")
    check(left == [False, "", "", True, 0], f"a refused file clears the picture, regions, count and command: {left}")

    # A dropped .rgb without its size opens once rows and cols are typed.
    load_page()
    element(By.ID, "raw-rows").clear()
    element(By.ID, "raw-cols").clear()
    js("const i = document.createElement('input'); i.type = 'file'; i.id = 'test-drop'; document.body.append(i);")
    element(By.ID, "test-drop").send_keys(coffee)
    before = opens()
    js("""const t = new DataTransfer(); t.items.add(document.getElementById('test-drop').files[0]);
          document.getElementById('stage').dispatchEvent(new DragEvent('drop', {dataTransfer: t}));""")
    wait_for(lambda: opens() > before, "the dropped file")
    check("Type the raster's rows to open coffee.rgb" in file_message(), f"a dropped .rgb asks for its size: "
          f"{file_message()!r}")
    before = opens()
    type_into("raw-rows", str(ROWS))
    type_into("raw-cols", str(COLS))
    element(By.ID, "raw-rows").click()
    wait_for(lambda: opens() > before and js("return document.body.dataset.state") == "ready" and
             js("return window.conemask_tuner.raster && window.conemask_tuner.raster.cols") == COLS,
             "the dropped file to reopen")
    check(file_message() == "", f"typing rows and cols opens the dropped .rgb: {file_message()!r}")

    # An .rgb longer than rows x cols x 3 opens as the program reads it.
    load_page()
    open_file(coffee, ROWS - 1, COLS)
    check("coffee.rgb holds 1,800 bytes more than 399 x 600 x 3 = 718,200" in file_message(),
          f"a longer .rgb opens with a note: {file_message()!r}")
    command = element(By.ID, "command").get_attribute("value").split()
    check(command[-2:] == [str(ROWS - 1), str(COLS)], f"a longer .rgb's command has its rows and cols: {command}")
    subprocess.run([CONEMASK, *command[1:]], cwd=native_dir, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(native_dir, "coffee.raw"), "rb") as f:
        check(download(driver, downloads) == f.read(), "a longer .rgb gives the program's mask")
    load_page()
    open_file(coffee, ROWS, COLS)
    # Operands the program reads leniently are said so, each the same way;
    # one it refuses leaves no command, no copy and no download.
    for field, text, expected, refused in OPERAND_FAULTS:
        for name in ("red", "green", "blue", "theta", "thresh"):
            type_into(name, {"red": "180", "green": "40", "blue": "15", "theta": "0.12", "thresh": "10"}[name])
        type_into(field, text)
        wait_for(lambda: field in message(), f"the message for {field} {text[:20]!r}")
        check(expected in message(), f"{field} {text[:20]!r} gives its message: {message()!r}")
        shown = js("return ['command', 'copy', 'download'].map((id) => { const e = document.getElementById(id); "
                   "return id === 'command' ? e.value !== '' : !e.disabled; });")
        check(shown == [not refused] * 3, f"{field} {text[:20]!r}: command, copy and download offered {shown}")
    check(js("return document.body.dataset.state") == "ready", "the page still works after the bad inputs")

    check_view(driver, work, coffee, pixels, load_page, open_file, type_into, message)


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


def check_decoding(driver, work, downloads, coffee, open_file, file_message):
    """Each file of the table opened in the page: its printed lines, run
    natively, give the downloaded mask, and a clicked pixel's colour is the
    printed line's raster there; or the page refuses it as the row says."""
    js = driver.execute_script
    element = driver.find_element
    photo_dir = os.path.join(work, "photos")
    os.mkdir(photo_dir)
    example = os.path.join(photo_dir, "example.png")
    subprocess.run([MAGICK, "-size", f"{COLS}x{ROWS}", "-depth", "8", f"rgb:{coffee}", example], check=True)
    cwebp = shutil.which("cwebp")
    for name, options, orientation, refusal in DECODING:
        path = os.path.join(photo_dir, name)
        if options is None or name.endswith(".webp"):
            if not cwebp:
                print(f"note: cwebp is missing; {name} skipped")
                continue
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
        open_file(path)
        if refusal:
            check(refusal in file_message(), f"{name} is refused: {file_message()!r}")
            line = file_message().split(": ")[-1]
        else:
            check(file_message() == "", f"{name} opens without a message: {file_message()!r}")
            line = element(By.ID, "convert-line").get_attribute("value")
        base = name.rsplit(".", 1)[0]
        printed = subprocess.run(line, shell=True, cwd=photo_dir, env=MAGICK_PATH, check=True, capture_output=True,
                                 text=True).stdout.split()
        with open(os.path.join(photo_dir, base + ".rgb"), "rb") as f:
            written = f.read()
        if refusal:
            # The .rgb the message's line makes opens, with the size it printed.
            open_file(os.path.join(photo_dir, base + ".rgb"), *printed)
        held = driver.execute_async_script("""const done = arguments[0];
            window.conemask_engine.raster().then((rgb) => crypto.subtle.digest("SHA-256", rgb)).then((d) =>
                done([...new Uint8Array(d)].map((b) => b.toString(16).padStart(2, "0")).join("")));""")
        check(held == hashlib.sha256(written).hexdigest(), f"{name}: the page holds the printed line's raster")
        command = element(By.ID, "command").get_attribute("value").split()
        check(command[-2:] == printed, f"{name}: the command's rows and cols are those printed: {command[-2:]}")
        if command[-2:] != printed:
            continue
        raw = download(driver, downloads, base)
        subprocess.run([CONEMASK, *command[1:]], cwd=photo_dir, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(photo_dir, base + ".raw"), "rb") as f:
            native = f.read()
        differing = sum(a != b for a, b in zip(native[::2], raw[::2]))
        check(raw == native, f"{name}: the page's mask is the printed lines' ({differing} samples differ)")
        print(f"{name}: {'refused, then its .rgb' if refusal else 'opened'} as {rows_cols(printed)}, "
              f"{'the same mask' if raw == native else f'{differing} samples differ'}")
        # A click near the lower right takes that pixel of the written raster.
        rows, cols = int(printed[0]), int(printed[1])
        row, column = rows * 3 // 4, cols * 2 // 3
        js("window.conemask_view.fit_view();")
        pointer_at(driver, row, column).click().perform()
        p = 3 * (row * cols + column)
        taken_now = lambda: [int(element(By.ID, c).get_attribute("value")) for c in ("red", "green", "blue")]
        settle(lambda: taken_now() == list(written[p:p + 3]))
        taken = taken_now()
        check(taken == list(written[p:p + 3]), f"{name}: a click takes pixel ({column}, {row}) of the raster, "
              f"{list(written[p:p + 3])}: {taken}")


# Operand texts in their fields: the warning each gives, and whether the
# program refuses it (no command then).
OPERAND_FAULTS = [
    ("thresh", "abc", 'thresh: conemask reads "abc" as 0', False),
    ("thresh", "12abc", 'thresh: conemask reads "12abc" as 12', False),
    ("thresh", "1e3", 'thresh: conemask reads "1e3" as 1', False),
    ("thresh", "0x20", 'thresh: conemask reads "0x20" as 0', False),
    ("thresh", "4294967306", 'thresh: conemask reads "4294967306" as 10', False),
    ("red", "12abc", 'red: conemask reads "12abc" as 12', False),
    ("blue", " 15", 'blue: conemask reads " 15" as 15', False),
    ("theta", "0.1rad", 'theta: conemask reads "0.1rad" as 0.1', False),
    ("theta", "1" * 100, "theta: more than 99 characters, which conemask refuses", True),
    ("green", "4" * 100, "green: more than 99 characters, which conemask refuses", True),
]

# Window sizes, in CSS pixels, with their device pixel ratio: at each, the
# picture and the theta and thresh sliders are in view together without
# scrolling, and nothing is wider than the window.
WINDOWS = [("desktop", 1280, 800, 1, False), ("phone", 390, 844, 3, True)]

# Pixels of the example (row, column) where the readout is checked: the
# corners and three inside.
READOUT_PIXELS = [(0, 0), (ROWS - 1, COLS - 1), (260, 150), (123, 456), (301, 77)]
# CSS pixels per raster pixel beyond the fit, for the readout's second round.
READOUT_ZOOM = 8

# Pasted command lines: the operand fields they set, the command the page
# then shows (None: the line is refused) and the messages it gives.
PASTED = [
    ("conemask 60 120 40 0.1 20 coffee 400 600", ["60", "120", "40", "0.1", "20"],
     "conemask 60 120 40 0.1 20 coffee 400 600", []),
    ("conemask 12abc 40 15 1e3 0x20 coffee 400 600", ["12abc", "40", "15", "1e3", "0x20"],
     "conemask 12 40 15 1000 0 coffee 400 600",
     ['red: conemask reads "12abc" as 12', 'thresh: conemask reads "0x20" as 0']),
    ("./conemask '180' \"40\" 15 .12 1e3 coffee 400 600", ["180", "40", "15", ".12", "1e3"],
     "conemask 180 40 15 0.12 1 coffee 400 600", ['thresh: conemask reads "1e3" as 1']),
    ("conemask 180 40 15 0.12 10 coffee 0400abc 600", ["180", "40", "15", "0.12", "10"],
     "conemask 180 40 15 0.12 10 coffee 400 600", ['rows: conemask reads "0400abc" as 400']),
    ("conemask 180 40 15 0.12 10 coffee", None, None, ["eight operands"]),
    ("conemask 180 40 15 '0.12 10 coffee 400 600", None, None, ["a quote that is not closed"]),
]

# URL fragments, on a page whose last operands were 60 120 40 0.1 20: the
# operand fields after loading it, and the message.
FRAGMENTS = [
    ("#ref=129,22,6&theta=0.3&thresh=-128", ["129", "22", "6", "0.3", "-128"], ""),
    ("#theta=0.25", ["60", "120", "40", "0.25", "20"], ""),
    ("#theta=inf", ["60", "120", "40", "inf", "20"], ""),
    ("#ref=1,2&theta=0.1", ["60", "120", "40", "0.1", "20"], "ref must be three whole numbers"),
    ("#theta=abc&thresh=5", ["60", "120", "40", "0.1", "20"], "theta must be a number of radians"),
    ("#colour=red", ["60", "120", "40", "0.1", "20"], 'it holds "colour"'),
    ("#%E0%A4%A", ["60", "120", "40", "0.1", "20"], "were ignored"),
]


def pinch(driver, field_texts):
    """Two fingers moving apart over the picture zoom it by as much as their
    spread grows, and take no pixel and no rectangle."""
    js = driver.execute_script
    driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 2})
    x, y = js("const b = document.getElementById('stage').getBoundingClientRect();"
              "return [Math.round(b.left + b.width / 2), Math.round(b.top + b.height / 2)];")
    before = js("return window.conemask_view.view.zoom")
    texts = field_texts()

    def touch(kind, *points):
        driver.execute_cdp_cmd("Input.dispatchTouchEvent", {
            "type": kind, "touchPoints": [{"x": px, "y": y, "id": i} for i, px in enumerate(points)]})
    touch("touchStart", x - 10)
    touch("touchStart", x - 10, x + 10)
    for step in range(1, 6):
        touch("touchMove", x - 10 - 10 * step, x + 10 + 10 * step)
    touch("touchEnd")
    driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": False})
    after = js("return window.conemask_view.view.zoom")
    check(abs(after / before - 6) < 1e-6 and field_texts() == texts and
          js("return window.conemask_tuner.regions.length") == 0,
          f"a pinch from 20 to 120 pixels apart zooms from {before} to {after}, taking nothing")


def float_bits(text):
    return struct.unpack("<I", struct.pack("<f", float(text)))[0]


def check_view(driver, work, coffee, pixels, load_page, open_file, type_into, message):
    """The layout at two window sizes, the readout against the native
    program, picking from the keyboard, the histogram, and the settings
    that travel (URL fragment, storage, a pasted command line)."""
    js = driver.execute_script
    element = driver.find_element
    fields = ("red", "green", "blue", "theta", "thresh")

    def field_texts():
        return [element(By.ID, name).get_attribute("value") for name in fields]

    def set_operands(texts):
        for name, text in zip(fields, texts):
            type_into(name, text)

    def settled(action):
        """Does `action`, then waits for the page's update after it."""
        before = int(js("return window.conemask_tuner.updates"))
        action()
        wait_for(lambda: int(js("return window.conemask_tuner.updates")) > before, "an update")

    for name, width, height, scale, mobile in WINDOWS:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})
        load_page()
        open_file(coffee, ROWS, COLS)
        seen = js("""
            const box = (e) => { const b = e.getBoundingClientRect(); return [b.left, b.top, b.right, b.bottom]; };
            const v = window.conemask_view, corner = v.client_point(0, 0);
            const far = v.client_point(arguments[0], arguments[1]);
            const half = v.view.zoom / 2, command = document.getElementById('command');
            return { width: innerWidth, height: innerHeight, scrolled: [scrollX, scrollY],
                     page_width: document.documentElement.scrollWidth,
                     panel_fits: document.getElementById('panel').scrollWidth <=
                                 document.getElementById('panel').clientWidth,
                     picture: [corner.x - half, corner.y - half, far.x + half, far.y + half],
                     theta: box(document.getElementById('theta-slider')),
                     thresh: box(document.getElementById('thresh-slider')),
                     theta_field: box(document.getElementById('theta')),
                     thresh_field: box(document.getElementById('thresh')),
                     readout: box(document.getElementById('readout')),
                     command: box(command),
                     command_fits: command.scrollWidth <= command.clientWidth,
                     command_font: parseFloat(getComputedStyle(command).fontSize) };""", ROWS - 1, COLS - 1)
        print(f"{name} {width} x {height}: picture y {seen['picture'][1]:.0f} to {seen['picture'][3]:.0f}, "
              f"readout y {seen['readout'][1]:.0f}, theta slider y {seen['theta'][1]:.0f} and field "
              f"{seen['theta_field'][1]:.0f}, thresh slider y {seen['thresh'][1]:.0f} and field "
              f"{seen['thresh_field'][1]:.0f}, command y {seen['command'][1]:.0f} (further down), "
              f"page {seen['page_width']} wide")
        for what in ("picture", "theta", "thresh", "theta_field", "thresh_field"):
            left, top, right, bottom = seen[what]
            check(seen["scrolled"] == [0, 0] and left >= -0.5 and top >= -0.5 and right <= width + 0.5 and
                  bottom <= height + 0.5, f"{name}: the {what} is in view without scrolling: {seen[what]}")
        check(seen["page_width"] <= width and seen["panel_fits"],
              f"{name}: nothing scrolls sideways ({seen['page_width']} px wide, the panel fits: {seen['panel_fits']})")
        check(seen["command_fits"] and seen["command_font"] >= 12,
              f"{name}: the command line is readable whole ({seen['command_font']} px)")
        if SCREENSHOT:
            pointer_at(driver, 230, 210).perform()
            path = SCREENSHOT if name == "desktop" else SCREENSHOT.replace(".png", f"-{name}.png")
            time.sleep(0.3)
            driver.save_screenshot(path)
        if mobile:
            pinch(driver, field_texts)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})

    # The readout under the pointer, at the fit and zoomed in: the sample is
    # the native mask's, the angle and projection native find_angle's.
    native_dir = os.path.join(work, "readout")
    os.mkdir(native_dir)
    shutil.copy(coffee, native_dir)
    operands = ["180", "40", "15", "0.12", "10"]
    subprocess.run([CONEMASK, *operands, "coffee", str(ROWS), str(COLS)], cwd=native_dir, check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(native_dir, "coffee.raw"), "rb") as f:
        mask = f.read()
    colours = [list(pixels[3 * (r * COLS + c):3 * (r * COLS + c) + 3]) for r, c in READOUT_PIXELS]
    probe = os.path.join(os.path.dirname(CONEMASK), "angle_probe")
    native = subprocess.run([probe, *operands[:3], *(str(v) for c in colours for v in c)], check=True,
                            capture_output=True, text=True).stdout.split("\n")
    load_page()
    open_file(coffee, ROWS, COLS)
    settled(lambda: set_operands(operands))
    for zoom in ("fit", f"{READOUT_ZOOM}x"):
        for (row, column), colour, line in zip(READOUT_PIXELS, colours, native):
            # Zoomed about the pixel, which stays under the same point.
            settled(lambda: js("const v = window.conemask_view; v.fit_view(); if (arguments[2] > 0) {"
                               "const p = v.client_point(arguments[0], arguments[1]);"
                               "v.zoom_by(arguments[2] / v.view.zoom, p.x, p.y); }",
                               row, column, 0 if zoom == "fit" else READOUT_ZOOM))
            pointer_at(driver, row, column).perform()
            try:
                wait_for(lambda: js("const d = document.getElementById('readout').dataset; return [d.row, d.column];")
                         == [str(row), str(column)], "the readout")
            except TimeoutError:
                pass
            shown = js("return {...document.getElementById('readout').dataset};")
            where = f"the readout at ({row}, {column}), {zoom}"
            check([int(shown["row"]), int(shown["column"])] == [row, column], f"{where} names its pixel: {shown}")
            if [int(shown["row"]), int(shown["column"])] != [row, column]:
                continue
            sample = int.from_bytes(mask[2 * (row * COLS + column):2 * (row * COLS + column) + 2], "little",
                                    signed=True)
            angle_bits, projection_bits = (int(v) for v in line.split())
            check(shown["rgb"] == " ".join(map(str, colour)), f"{where}: RGB {shown['rgb']}, not {colour}")
            check(int(shown["sample"]) == sample, f"{where}: sample {shown['sample']}, the program writes {sample}")
            check(float_bits(shown["angle"]) == angle_bits and float_bits(shown["projection"]) == projection_bits,
                  f"{where}: angle {shown['angle']} and projection {shown['projection']} are find_angle's")
        if zoom != "fit":
            # Zoomed in, the untouched photograph (p) shows each pixel as a block of its own colour.
            js("document.getElementById('stage').focus();")
            settled(lambda: ActionChains(driver).send_keys("p").perform())
            row, column = READOUT_PIXELS[-1]
            block = js("""const v = window.conemask_view, p = v.client_point(arguments[0], arguments[1]);
                const c = document.getElementById('picture'), b = c.getBoundingClientRect(), s = c.width / b.width;
                const at = (dx, dy) => Array.from(c.getContext('2d').getImageData(
                    Math.floor((p.x - b.left + dx) * s), Math.floor((p.y - b.top + dy) * s), 1, 1).data.slice(0, 3));
                const h = v.view.zoom * 0.4;
                return [at(0, 0), at(-h, -h), at(h, h)];""", row, column)
            check(block == [colours[-1]] * 3, f"zoomed in, pixel ({row}, {column}) is a block of its colour: {block}")
            ActionChains(driver).send_keys("t").perform()

    # The wheel zooms about the pointer, + zooms in, 0 fits again.
    zoom = lambda: js("return window.conemask_view.view.zoom")  # noqa: E731
    settled(lambda: js("window.conemask_view.fit_view();"))
    fitted = zoom()
    ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(element(By.ID, "stage")), 0, -200).perform()
    wheeled = wait_for(lambda: zoom() if zoom() > fitted else None, "the wheel's zoom")
    js("document.getElementById('stage').focus();")
    ActionChains(driver).send_keys("+").perform()
    plussed = zoom()
    ActionChains(driver).send_keys("0").perform()
    check(wheeled > fitted and abs(plussed / wheeled - 1.5) < 1e-9 and zoom() == fitted,
          f"the wheel, + and 0 zoom: {fitted}, {wheeled}, {plussed}, {zoom()}")

    # A drag with the space bar held pans, and takes nothing.
    regions = js("return window.conemask_tuner.regions.length")
    texts = field_texts()
    before = js("return {...window.conemask_view.view}")
    pan = pointer_at(driver, 200, 300, ActionChains(driver).key_down(Keys.SPACE)).click_and_hold()
    pan.move_by_offset(-50, -30).release().key_up(Keys.SPACE).perform()
    after = js("return {...window.conemask_view.view}")
    moved = [(after["left"] - before["left"]) * after["zoom"], (after["top"] - before["top"]) * after["zoom"]]
    check(all(abs(m - e) < 1e-6 for m, e in zip(moved, (50, 30))) and field_texts() == texts and
          js("return window.conemask_tuner.regions.length") == regions,
          f"a drag with the space bar held pans by it, taking nothing: {moved}")

    # Picking from the keyboard: the cursor starts where the pointer was.
    settled(lambda: js("window.conemask_view.fit_view();"))
    pointer_at(driver, 200, 300).perform()
    js("document.getElementById('stage').focus();")
    ActionChains(driver).send_keys(Keys.RIGHT * 3 + Keys.DOWN * 2).perform()
    wait_for(lambda: js("return document.getElementById('readout').dataset.column") == "303", "the cursor")
    check(js("return document.getElementById('readout').dataset.row") == "202", "the readout follows the cursor")
    ActionChains(driver).send_keys(Keys.ENTER).perform()
    p = 3 * (202 * COLS + 303)
    wait_for(lambda: field_texts()[:3] == [str(v) for v in pixels[p:p + 3]], "Enter to take the pixel")
    check(True, "Enter takes the cursor's pixel")
    # The rectangle's mean becomes the reference while the regions give it.
    js("const box = document.getElementById('reference-from-regions'); if (box && !box.checked) box.click();"
       "document.getElementById('stage').focus();")
    ActionChains(driver).key_down(Keys.SHIFT).send_keys(Keys.RIGHT * 4 + Keys.DOWN * 3).key_up(Keys.SHIFT) \
        .send_keys(Keys.ENTER).perform()
    sums = [sum(pixels[3 * (r * COLS + c) + k] for r in range(202, 206) for c in range(303, 308)) for k in range(3)]
    mean = [str(int(v / 20 + 0.5)) for v in sums]
    try:
        wait_for(lambda: field_texts()[:3] == mean, "Shift and the arrows to take a rectangle")
    except TimeoutError:
        pass
    check(field_texts()[:3] == mean, f"Shift with the arrows takes a rectangle's mean {mean}: {field_texts()[:3]}")
    ActionChains(driver).send_keys("?").perform()
    listed = js("return [document.getElementById('keys').open, document.getElementById('keys-list').children.length];")
    check(listed[0] and listed[1] >= 30, f"? lists the keys: {listed}")
    ActionChains(driver).send_keys(Keys.ESCAPE).perform()
    element(By.ID, "copy").click()
    wait_for(lambda: element(By.ID, "copied").text, "the copy's note")
    check(element(By.ID, "copied").text == "copied", f"Copy says so: {element(By.ID, 'copied').text!r}")

    # A click on the histogram sets theta to the angle there.
    histogram = element(By.ID, "histogram")
    js("arguments[0].scrollIntoView({block: 'center'});", histogram)
    ActionChains(driver).move_to_element_with_offset(histogram, -histogram.size["width"] // 4, 0).click().perform()
    wait_for(lambda: abs(float(field_texts()[3]) - math.pi / 4) < 0.01, "a click on the histogram")
    check(True, "a click on the histogram at a quarter sets theta to 45 degrees")

    # Settings that travel: the fragment follows the operands, and a link or
    # a reload restores them; a fragment that does not parse is ignored.
    set_operands(["60", "120", "40", "0.1", "20"])
    wait_for(lambda: driver.current_url.endswith("#ref=60,120,40&theta=0.1&thresh=20"), "the fragment")
    check(True, "the URL's fragment follows the operands")
    page_url = driver.current_url.split("#")[0]
    driver.get(page_url)
    wait_for(lambda: js("return document.body.dataset.state") == "ready", "the page to start")
    check(field_texts() == ["60", "120", "40", "0.1", "20"], f"a reload restores the operands: {field_texts()}")
    for fragment, expected, said in FRAGMENTS:
        driver.get("about:blank")
        driver.get(page_url + fragment)
        wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")
        check(field_texts() == expected, f"the fragment {fragment} gives the fields {field_texts()}")
        check(said in message() if said else "ignored" not in message(),
              f"the fragment {fragment} gives the message {message()!r}")
        # Once the page has kept what it shows, the next row starts from the same stored operands.
        wait_for(lambda: js("const k = JSON.parse(localStorage.getItem('conemask-tuner-operands'));"
                            "return k && [k.red, k.green, k.blue, k.theta, k.thresh];") == field_texts(),
                 "the operands kept")
        js("localStorage.setItem('conemask-tuner-operands', JSON.stringify("
           "{red: '60', green: '120', blue: '40', theta: '0.1', thresh: '20'}));")

    # A pasted command line sets every operand, as the program reads them.
    load_page()
    open_file(coffee, ROWS, COLS)
    for line, texts, command, said in PASTED:
        set_operands(["1", "2", "3", "0.5", "7"])
        type_into("pasted", line + Keys.ENTER)
        wait_for(lambda: (element(By.ID, "command").get_attribute("value") == command) if command else message(),
                 f"the pasted line {line}")
        if texts:
            check(field_texts() == texts, f"{line} fills the fields: {field_texts()}")
        shown = element(By.ID, "command").get_attribute("value")
        check(shown == (command or "conemask 1 2 3 0.5 7 coffee 400 600"), f"{line} gives the command {shown}")
        for text in said:
            check(text in message(), f"{line} says {text!r}: {message()!r}")
        if not said:
            check(message() == "", f"{line} gives no message: {message()!r}")


# Regions dragged on the example and the fit: rectangles to take and to
# leave (left, top, right, bottom, inclusive), how a leave rectangle is
# asked for (Alt held, or the panel's choice), the share typed and whether
# thresh is fitted too. The first row is the README's example.
SAUCER, SAUCER_SHADE, WOOD, WOOD_LEFT = (100, 220, 170, 300), (250, 330, 320, 370), (490, 300, 590, 390), (0, 150, 60, 300)
REGION_FITS = [
    ([SAUCER], [WOOD], "alt", "95", False),
    ([SAUCER], [WOOD], "panel", "95", True),
    ([SAUCER, SAUCER_SHADE], [WOOD, WOOD_LEFT], "alt", "99.5", True),
    ([SAUCER_SHADE], [], "alt", "1", False),
    ([SAUCER], [WOOD], "alt", "100", True),
]
# Shares the page refuses, each with its message.
SHARE_FAULTS = [
    ("0.5", "outside 1 to 100 per cent"),
    ("100.01", "outside 1 to 100 per cent"),
    ("abc", "is not a number of per cent"),
    ("95.125", "at most two decimals"),
    ("", "is not a number of per cent"),
    ("-5", "is not a number of per cent"),
]


def native_selected(work, pixels, rectangle, operands):
    """How many pixels the native program selects in the rectangle cut out of the example."""
    left, top, right, bottom = rectangle
    cut = os.path.join(work, "cut")
    os.makedirs(cut, exist_ok=True)
    with open(os.path.join(cut, "region.rgb"), "wb") as f:
        for y in range(top, bottom + 1):
            f.write(pixels[3 * (y * COLS + left):3 * (y * COLS + right + 1)])
    subprocess.run([CONEMASK, *operands, "region", str(bottom - top + 1), str(right - left + 1)], cwd=cut,
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(cut, "region.raw"), "rb") as f:
        raw = f.read()
    return sum(1 for i in range(0, len(raw), 2) if raw[i] or raw[i + 1])


def check_regions(driver, work, coffee, pixels, load_page, open_file, type_into, message):
    """Each row of REGION_FITS dragged on the example and fitted: the
    reference is the mean of the pixels to take, and the native program, run
    on each rectangle cut out of the raster with the page's command line,
    selects exactly the pixels the page reports; a theta one float smaller
    takes less than the share. Then the shares the page refuses."""
    js = driver.execute_script
    element = driver.find_element
    for takes, leaves, how, share, fit_thresh in REGION_FITS:
        what = f"take {takes}, leave {leaves} ({how}), {share}%{', thresh too' if fit_thresh else ''}"
        load_page()
        open_file(coffee, ROWS, COLS)
        # The fields as the last page left them (they are kept): thresh plainly 10.
        type_into("thresh", "10")
        for rectangle, leave in [*((r, False) for r in takes), *((r, True) for r in leaves)]:
            left, top, right, bottom = rectangle
            js("document.querySelector(`input[name=region-mode][value=${arguments[0]}]`).click()",
               "leave" if leave and how == "panel" else "take")
            alt = leave and how == "alt"
            if alt:
                ActionChains(driver).key_down(Keys.ALT).perform()
            drag = pointer_at(driver, top, left).click_and_hold()
            pointer_at(driver, bottom, right, drag).release().perform()
            if alt:
                ActionChains(driver).key_up(Keys.ALT).perform()
        # The view may show the photograph smaller than 1:1: a rectangle may
        # land a pixel off, and then the page's own rectangles count.
        listed = js("return window.conemask_tuner.regions.map((r) => [r.left, r.top, r.right, r.bottom, r.mode])")
        modes = ["take"] * len(takes) + ["leave"] * len(leaves)
        check([m for *_, m in listed] == modes and
              all(abs(a - b) <= 1 for got, meant in zip(listed, [*takes, *leaves]) for a, b in zip(got, meant)),
              f"{what}: the panel lists {listed}")
        takes = [tuple(r[:4]) for r in listed if r[4] == "take"]
        leaves = [tuple(r[:4]) for r in listed if r[4] == "leave"]
        sums, count = [0, 0, 0], 0
        for left, top, right, bottom in takes:
            for y in range(top, bottom + 1):
                for x in range(left, right + 1):
                    count += 1
                    for c in range(3):
                        sums[c] += pixels[3 * (y * COLS + x) + c]
        mean = [str(int(s / count + 0.5)) for s in sums]
        wait_for(lambda: [element(By.ID, c).get_attribute("value") for c in ("red", "green", "blue")] == mean,
                 f"{what}: the reference {mean}")
        type_into("share", share)
        if element(By.ID, "fit-thresh").is_selected() != fit_thresh:
            element(By.ID, "fit-thresh").click()
        element(By.ID, "fit").click()
        wait_for(lambda: js("return document.getElementById('fit-report').textContent"), f"{what}: the fit")
        report = element(By.ID, "fit-report").text
        print(f"fit, {what}: {report}")
        wait_for(lambda: element(By.ID, "command").get_attribute("value").split()[4:6] ==
                 [element(By.ID, "theta").get_attribute("value"), element(By.ID, "thresh").get_attribute("value")],
                 f"{what}: the command line after the fit")
        operands = element(By.ID, "command").get_attribute("value").split()[1:6]
        page_counts = js("return window.conemask_tuner.regions.map((r) => r.selected)")
        native = [native_selected(work, pixels, r, operands) for r in [*takes, *leaves]]
        check(page_counts == native, f"{what}: the page's counts {page_counts} are the program's {native}")
        data = js("return Object.assign({}, document.getElementById('fit-report').dataset)")
        take_pixels = sum((r[2] - r[0] + 1) * (r[3] - r[1] + 1) for r in takes)
        check(int(data["takeSelected"]) == sum(native[:len(takes)]) and
              int(data["leaveSelected"]) == sum(native[len(takes):]),
              f"{what}: the report's totals {data['takeSelected']}, {data['leaveSelected']} are the program's")
        needed = -(-round(float(share) * 100) * take_pixels // 10000)
        check(int(data["takeSelected"]) >= needed, f"{what}: takes at least {needed} of {take_pixels}")
        smaller = js("const b = new Float32Array([Number(arguments[0])]); new Uint32Array(b.buffer)[0] -= 1; "
                     "return b[0].toPrecision(9);", operands[3])
        fewer = sum(native_selected(work, pixels, r, [*operands[:3], smaller, operands[4]]) for r in takes)
        check(fewer < needed, f"{what}: theta {smaller}, one float less, takes {fewer}, fewer than {needed}")
    theta = element(By.ID, "theta").get_attribute("value")
    for text, expected in SHARE_FAULTS:
        type_into("share", text)
        element(By.ID, "fit").click()
        wait_for(lambda: expected in element(By.ID, "fit-report").text, f"the message for the share {text!r}")
        check(element(By.ID, "theta").get_attribute("value") == theta, f"the share {text!r} is refused, theta kept")


def check_long_work(driver, rows, cols, message):
    """On the 12-megapixel raster: a stale update is dropped, not queued; a
    fit over every pixel shows its progress and stops when cancelled; and
    the main thread's longest block while the slider moves, printed."""
    js = driver.execute_script
    element = driver.find_element
    answers = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const operands = { reference: [180, 40, 15], max_angle: Math.fround(0.12) };
        const engine = window.conemask_engine;
        Promise.all([10, 20, 30].map((thresh) => engine.update({ ...operands, thresh })))
            .then((results) => done(results.map((r) => r && r.selected)));
    """)
    # The first may have waited behind the page's own update, and been dropped too.
    alone = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        window.conemask_engine.update({ reference: [180, 40, 15], max_angle: Math.fround(0.12), thresh: 30 })
            .then((r) => done(r && r.selected));
    """)
    check(answers[1] is None and answers[2] == alone and (answers[0] is None or answers[0] > alone),
          f"of three quick updates the middle one is dropped and the last answered: {answers}, {alone}")
    drag = pointer_at(driver, 0, 0).click_and_hold()
    pointer_at(driver, rows - 1, cols - 1, drag).release().perform()
    theta = element(By.ID, "theta").get_attribute("value")
    share = element(By.ID, "share")
    share.clear()
    share.send_keys("95")
    # Cancel clicked in the same task as Fit reaches the worker before the
    # fit's first yield, however fast either runs; the progress it showed
    # first is kept by an observer, as no poll from here could be sure to see it.
    cancel_shown = js("""
        const what = document.getElementById("progress-what");
        const seen = new MutationObserver(() => {
            if (!what.textContent.startsWith("measuring")) return;
            seen.disconnect();
            document.body.dataset.fitProgress = what.textContent;
        });
        seen.observe(what, { childList: true, characterData: true, subtree: true });
        document.getElementById("fit").click();
        const shown = !document.getElementById("progress").hidden && !document.getElementById("cancel").hidden;
        document.getElementById("cancel").click();
        return shown;""")
    wait_for(lambda: element(By.ID, "fit").is_enabled(), "the cancelled fit's end")
    shown = js("return document.body.dataset.fitProgress || ''")
    check(cancel_shown and shown.startswith("measuring") and "cancelled" in element(By.ID, "fit-report").text and
          not element(By.ID, "progress").is_displayed(),
          f"a fit over {rows * cols:,} pixels shows its progress ({shown!r}) and Cancel, which stops it "
          f"({element(By.ID, 'fit-report').text!r}) and hides it")
    check(element(By.ID, "theta").get_attribute("value") == theta, "a cancelled fit leaves theta as it was")
    probe = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const slider = document.getElementById("theta-slider");
        let last = performance.now(), longest = 0;
        const ticks = setInterval(() => {
            const now = performance.now();
            longest = Math.max(longest, now - last);
            last = now;
        }, 5);
        const start = performance.now();
        const move = () => {
            const t = performance.now() - start;
            if (t > 2000) {
                clearInterval(ticks);
                done(longest);
                return;
            }
            slider.value = String(3 + 12 * (0.5 + 0.5 * Math.sin(t / 400)));
            slider.dispatchEvent(new Event("input", { bubbles: true }));
            setTimeout(move, 16);
        };
        move();
    """)
    print(f"the main thread's longest block while the theta slider moves on {rows} x {cols} pixels: {probe:.0f} ms "
          "(the longest gap between the ticks of a 5 ms timer)")


def settle(predicate):
    """Waits a while for what the page does after an answer from its worker; the check follows."""
    try:
        wait_for(predicate, "the page to settle")
    except TimeoutError:
        pass


def pointer_at(driver, row, column, chain=None):
    """Actions (`chain`, or new ones) with the pointer moved to a raster
    pixel's centre where the page's view shows it now, to the nearest whole
    CSS pixel of the window."""
    chain = chain or ActionChains(driver)
    # Kept on the picture: a corner pixel's centre may round to just outside it.
    x, y = driver.execute_script("""const p = window.conemask_view.client_point(arguments[0], arguments[1]);
        const b = document.getElementById('picture').getBoundingClientRect();
        const inside = (v, low, high) => Math.min(Math.floor(high - 0.01), Math.max(Math.ceil(low), Math.round(v)));
        return [inside(p.x, b.left, b.right), inside(p.y, b.top, b.bottom)];""", row, column)
    chain.w3c_actions.pointer_action.move_to_location(x, y)
    return chain


def rows_cols(printed):
    return f"{printed[0]} x {printed[1]}"


def download(driver, downloads, base="coffee"):
    for name in os.listdir(downloads):
        os.remove(os.path.join(downloads, name))
    driver.find_element(By.ID, "download").click()
    path = os.path.join(downloads, base + ".raw")
    wait_for(lambda: os.path.exists(path) and not any(n.endswith(".crdownload") for n in os.listdir(downloads)),
             "the download")
    with open(path, "rb") as f:
        return f.read()


if __name__ == "__main__":
    sys.exit(main())
