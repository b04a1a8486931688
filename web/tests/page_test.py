#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page in a real headless Chromium, loaded from file://.

    page_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR [--screenshot PNG]

Opens examples/coffee.rgb through the page's own controls, sets each row of
a table of operands in the page's fields, downloads the mask and compares it
byte for byte with the native program's; runs the command line the page
shows; picks a pixel and a rectangle with the mouse; and feeds the page bad
inputs, each of which must give its message. Exits 77 (skipped) where
Chromium, its driver or Selenium is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
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
TIMEOUT = 30

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


def start_browser(profile, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1400,2000"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return driver


def main():
    work = tempfile.mkdtemp(prefix="conemask-page-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    driver = start_browser(os.path.join(work, "profile"), downloads)
    try:
        run(driver, work, downloads)
    finally:
        driver.quit()
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
        driver.get("file://" + os.path.join(PAGE, "conemask-tuner.html"))
        wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")
        check(js("return document.body.dataset.state") == "ready", "the page starts its module from file://")

    def updates():
        return int(js("return window.conemask_tuner.updates"))

    def type_into(field, text):
        box = element(By.ID, field)
        box.clear()
        box.send_keys(text)

    def open_file(path, rows=None, cols=None):
        before = updates()
        if rows is not None:
            type_into("raw-rows", str(rows))
            type_into("raw-cols", str(cols))
        element(By.ID, "image-file").send_keys(path)
        wait_for(lambda: js("return document.body.dataset.state") in ("ready", "refused") and
                 (updates() > before or js("return document.body.dataset.state") == "refused"),
                 f"the page to open {path}")

    def message():
        return element(By.ID, "message").text

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

    # Picking with the mouse: the canvas shows the photograph at its own size.
    canvas = element(By.ID, "picture")
    width, height = js("const b = arguments[0].getBoundingClientRect(); return [b.width, b.height];", canvas)
    check((width, height) == (COLS, ROWS), f"the preview shows {COLS} x {ROWS} at 1:1, got {width} x {height}")

    def offset(column, row):
        return column - COLS // 2, row - ROWS // 2

    def reference():
        return [int(element(By.ID, c).get_attribute("value")) for c in ("red", "green", "blue")]

    column, row = 150, 260
    ActionChains(driver).move_to_element_with_offset(canvas, *offset(column, row)).click().perform()
    p = 3 * (row * COLS + column)
    check(reference() == list(pixels[p:p + 3]), f"a click takes pixel ({column}, {row}): {reference()}")

    left, top, right, bottom = 130, 250, 170, 280
    ActionChains(driver).move_to_element_with_offset(canvas, *offset(left, top)).click_and_hold() \
        .move_to_element_with_offset(canvas, *offset((left + right) // 2, (top + bottom) // 2)) \
        .move_to_element_with_offset(canvas, *offset(right, bottom)).release().perform()
    sums = [0, 0, 0]
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            for c in range(3):
                sums[c] += pixels[3 * (y * COLS + x) + c]
    count = (right - left + 1) * (bottom - top + 1)
    mean = [int(s / count + 0.5) for s in sums]
    check(reference() == mean, f"a rectangle takes its mean colour {mean}: {reference()}")

    # Fit to region: theta takes 95% of the rectangle's pixels, and no less.
    element(By.ID, "fit").click()
    wait_for(lambda: element(By.ID, "command").get_attribute("value").split()[4] != "1e", "fit to region")
    theta = float(element(By.ID, "theta").get_attribute("value"))
    check(0 < theta < 3.2, f"fit to region sets theta, got {theta}")

    if SCREENSHOT:
        type_into("thresh", "10")
        driver.set_window_size(1000, 2000)
        time.sleep(0.5)
        driver.save_screenshot(SCREENSHOT)

    # Photographs the browser decodes, against ImageMagick's reading of the
    # same files (the README's conversion): PNG must agree byte for byte,
    # and then the page's two lines, run in a shell, give the page's mask.
    # JPEG decoders may differ in their last bits; the difference is shown.
    convert = shutil.which("convert")
    if convert:
        photo_dir = os.path.join(work, "photos")
        os.mkdir(photo_dir)
        for name in ("coffee.png", "coffee.jpg"):
            path = os.path.join(photo_dir, name)
            subprocess.run([convert, "-size", f"{COLS}x{ROWS}", "-depth", "8", f"rgb:{coffee}", path], check=True)
            open_file(path)
            decoded = bytes(js("return Array.from(window.conemask_tuner.raster.rgb)"))
            magick = subprocess.run([convert, path, "-alpha", "off", "-colorspace", "sRGB", "-depth", "8", "rgb:-"],
                                    check=True, capture_output=True).stdout
            differing = [abs(a - b) for a, b in zip(decoded, magick) if a != b]
            print(f"{name}: the browser and ImageMagick differ in {len(differing)} of {len(magick)} bytes"
                  + (f", by at most {max(differing)}" if differing else ""))
            if name.endswith(".png"):
                check(decoded == magick, "the browser decodes the PNG as ImageMagick does")
                raw = download(driver, downloads)
                convert_line = element(By.ID, "convert-line").get_attribute("value")
                command = element(By.ID, "command").get_attribute("value")
                subprocess.run(convert_line, shell=True, cwd=photo_dir, check=True, stdout=subprocess.DEVNULL)
                subprocess.run([CONEMASK, *command.split()[1:]], cwd=photo_dir, check=True, stdout=subprocess.DEVNULL)
                with open(os.path.join(photo_dir, "coffee.raw"), "rb") as f:
                    check(f.read() == raw, "the page's two lines, run in a shell, give the page's mask")
    else:
        print("note: ImageMagick is not installed; the decoding comparison skipped")

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
        ("an .rgb of the wrong size", lambda: open_file(short, ROWS, COLS), "holds 719999 bytes, not 400 x 600 x 3"),
        ("rows of 0", lambda: open_file(coffee, 0, COLS), "rows and cols must be whole numbers above 0"),
        ("an image that is too large", lambda: open_file(huge), "more than the page takes (100 megapixels)"),
    ]
    for what, act, expected in cases:
        load_page()
        act()
        check(expected in message(), f"{what} gives its message: {message()!r}")
    load_page()
    open_file(coffee, ROWS, COLS)
    type_into("thresh", "abc")
    wait_for(lambda: "thresh" in message(), "the message for a non-numeric field")
    check('thresh: "abc" is not a number; conemask reads it as 0' in message(),
          f"a non-numeric field gives its message: {message()!r}")
    check(js("return document.body.dataset.state") == "ready", "the page still works after the bad inputs")


def download(driver, downloads):
    for name in os.listdir(downloads):
        os.remove(os.path.join(downloads, name))
    driver.find_element(By.ID, "download").click()
    path = os.path.join(downloads, "coffee.raw")
    wait_for(lambda: os.path.exists(path) and not any(n.endswith(".crdownload") for n in os.listdir(downloads)),
             "the download")
    with open(path, "rb") as f:
        return f.read()


if __name__ == "__main__":
    sys.exit(main())
