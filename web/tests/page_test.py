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

The other browser tests import their shared helpers from here (they live in
page_driver.py); the checks themselves are grouped in page_*.py by what they
exercise.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import page_driver
# Re-exported: the other browser tests and bench/web-batch.py import them from here.
from page_driver import (ADOBE_RGB, BROWSER_MARK, CHROMEDRIVER, CHROMIUM, COLS, CONEMASK, EXAMPLES,  # noqa: F401
                         MAGICK, MAGICK_PATH, PAGE, ROWS, SCREENSHOT, TIMEOUT, ActionChains, By, Page, check,
                         download, end_browser, failures, pointer_at, read_file, rows_cols, settle, start_browser,
                         wait_for)
import page_controls
import page_decoding
import page_inputs
import page_regions
import page_view
import page_work

# Operands typed into the page's fields, as a user types them.
OPERANDS = [
    ("180", "40", "15", "0.12", "10"),
    ("60", "120", "40", "0.1", "20"),
    ("129", "22", "6", "0.3", "-128"),
    ("-60", "120", "-40", "1.6", "-5"),
    ("200", "200", "200", "3.2", "100"),
    ("32767", "32767", "260", "0.25", "0"),
    ("5", "4", "3", "1e", "4294967306"),
]


def __getattr__(name):
    # The tally is counted in page_driver; the other tests read it from here.
    if name == "passes":
        return page_driver.passes
    raise AttributeError(name)


def main():
    # ctest's timeout, or an interrupt, ends the browser too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    work = tempfile.mkdtemp(prefix="conemask-page-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    try:
        driver = start_browser(os.path.join(work, "profile"), downloads)
        try:
            run(Page(driver, work, downloads))
        finally:
            end_browser(driver.service, driver)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{page_driver.passes} passed, {len(failures)} failed")
    return 1 if failures else 0


def run(page):
    """Each group of checks in turn; some start from what the one before left."""
    check_served(page)
    page.open_coffee()
    check(page.message() == "", f"coffee.rgb opens without a message, got {page.message()!r}")
    native_dir = os.path.join(page.work, "native")
    os.mkdir(native_dir)
    shutil.copy(page.coffee, native_dir)
    for row in OPERANDS:
        check_operands(page, native_dir, row)
    check_picking(page)
    page_regions.check_regions(page)
    if os.path.exists(MAGICK):
        page_decoding.check_decoding(page)
    else:
        print("note: ImageMagick is not installed; the decoding table skipped")
    page_work.check_long_work(page)
    page_inputs.check_inputs(page, native_dir)
    page_view.check_view(page)
    page_controls.check_controls(page)


def check_served(page):
    """The page as separate files, from a static server on this machine's loopback."""
    server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "0"], cwd=PAGE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = int(wait_for(lambda: server.stdout.readline(), "the static server").split(" port ")[1].split()[0])
        page.driver.get(f"http://127.0.0.1:{port}/index.html")
        wait_for(lambda: page.state() in ("ready", "broken"), "the served page to start")
        check(page.state() == "ready", "the page starts from a static server")
    finally:
        server.terminate()
        server.wait(timeout=TIMEOUT)


def check_operands(page, native_dir, row):
    """One row of OPERANDS typed in: the downloaded mask is the program's,
    and the command line the page shows, run as it stands, gives it too."""
    page.set_operands(row)
    subprocess.run([CONEMASK, *row, "coffee", str(ROWS), str(COLS)], cwd=native_dir, check=True,
                   stdout=subprocess.DEVNULL)
    expected = read_file(os.path.join(native_dir, "coffee.raw"))
    # The page reads the fields at its next frame: two frames on, the command is theirs.
    page.driver.execute_async_script(
        "const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(done));")
    command = wait_for(lambda: (c := page.value("command")) and
                       page.js("return !document.getElementById('download').disabled") and c, "the command line")
    raw = page.download()
    check(raw == expected, f"the downloaded mask for {' '.join(row)} is the program's")
    words = command.split()
    check(words[0] == "conemask" and len(words) == 9, f"the command line {command!r} has eight operands")
    shown_dir = os.path.join(page.work, "shown")
    shutil.rmtree(shown_dir, ignore_errors=True)
    os.mkdir(shown_dir)
    shutil.copy(page.coffee, os.path.join(shown_dir, words[6] + ".rgb"))
    subprocess.run([CONEMASK, *words[1:]], cwd=shown_dir, check=True, stdout=subprocess.DEVNULL)
    check(read_file(os.path.join(shown_dir, words[6] + ".raw")) == expected, f"{command} gives the page's mask")


def check_picking(page):
    """Picking with the mouse, on the picture as the view fits it to the window."""
    driver, pixels = page.driver, page.pixels
    column, row = 150, 260
    pointer_at(driver, row, column).click().perform()
    p = 3 * (row * COLS + column)
    # The colour comes from the worker, which holds the pixels.
    settle(lambda: page.reference() == list(pixels[p:p + 3]))
    check(page.reference() == list(pixels[p:p + 3]), f"a click takes pixel ({column}, {row}): {page.reference()}")
    # Typed operands made the reference the user's own: the box gives it back to the rectangles.
    if not page.element("reference-from-regions").is_selected():
        page.element("reference-from-regions").click()
    left, top, right, bottom = 130, 250, 170, 280
    drag = pointer_at(driver, top, left).click_and_hold()
    pointer_at(driver, (top + bottom) // 2, (left + right) // 2, drag)
    pointer_at(driver, bottom, right, drag).release().perform()
    mean = page_driver.mean_colour(pixels, [(left, top, right, bottom)])
    settle(lambda: page.reference() == mean)
    check(page.reference() == mean, f"a rectangle takes its mean colour {mean}: {page.reference()}")


if __name__ == "__main__":
    sys.exit(main())
