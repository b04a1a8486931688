#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Opening photographs in the tuner page, in headless Chromium.

    page_open_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR [--only opening]

A 40-megapixel PNG opened over an open photograph: the picture before it,
its command line and its download withdrawn at once, progress shown, and
the main thread's longest task printed (a figure, not a test). Then a table
of awkward file names, each opened, its printed lines run natively and the
downloaded mask compared with theirs; and a TIFF, which the page refuses
with conemask-image's line; and the histogram of a photograph opened after
another. Exits 77 (skipped) where Chromium, its driver
or Selenium is missing (page_test.py says which).
"""
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import zlib

import page_test as pt
from page_test import By, check, wait_for

BIG_ROWS, BIG_COLS = 5000, 8000
# The printed lines run with the real ImageMagick and the built conemask.
LINES_PATH = {**pt.MAGICK_PATH, "PATH": os.path.dirname(pt.CONEMASK) + ":" + pt.MAGICK_PATH["PATH"]}


def checked(condition, what):
    check(condition, what)
    return condition


def main():
    # ctest's timeout, or an interrupt, ends the browser too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    work = tempfile.mkdtemp(prefix="conemask-page-open-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    driver = pt.start_browser(os.path.join(work, "profile"), downloads)
    try:
        page = Page(driver, work, downloads)
        check_opening(page)
        if "--only" not in sys.argv:
            check_names(page)
            check_tiff(page)
            check_histogram(page)
    finally:
        pt.end_browser(driver.service, driver)
        shutil.rmtree(work, ignore_errors=True)
    print(f"{pt.passes} passed, {len(pt.failures)} failed")
    return 1 if pt.failures else 0


class Page:
    """The single-file page from file://, and the few things every check does with it."""

    def __init__(self, driver, work, downloads):
        self.driver, self.work, self.downloads = driver, work, downloads
        self.js = driver.execute_script
        with open(os.path.join(pt.EXAMPLES, "coffee.rgb"), "rb") as f:
            self.coffee = f.read()

    def load(self):
        self.driver.get("about:blank")
        self.driver.get("file://" + os.path.join(pt.PAGE, "conemask-tuner.html") +
                        "#ref=180,40,15&theta=0.12&thresh=10")
        wait_for(lambda: self.js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")

    def value(self, field):
        return self.driver.find_element(By.ID, field).get_attribute("value")

    def file_message(self):
        return self.driver.find_element(By.ID, "file-message").text

    def open(self, path, rows=None, cols=None):
        if rows is not None:
            for field, value in (("raw-rows", rows), ("raw-cols", cols)):
                box = self.driver.find_element(By.ID, field)
                box.clear()
                box.send_keys(str(value))
        before = int(self.js("return document.body.dataset.opens || 0"))
        self.driver.find_element(By.ID, "image-file").send_keys(path)
        wait_for(lambda: int(self.js("return document.body.dataset.opens || 0")) > before and
                 self.js("return document.body.dataset.opened") == os.path.basename(path) and
                 self.js("return document.body.dataset.state") in ("ready", "refused"), f"the page to open {path}")
        if self.js("return document.body.dataset.state") == "ready":
            wait_for(lambda: self.value("command") and
                     self.js("return !document.getElementById('download').disabled"), "the command line")

    def download(self):
        """The downloaded mask's name and bytes."""
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))
        self.driver.find_element(By.ID, "download").click()
        wait_for(lambda: (names := os.listdir(self.downloads)) and not any(n.endswith(".crdownload") for n in names),
                 "the download")
        name = os.listdir(self.downloads)[0]
        with open(os.path.join(self.downloads, name), "rb") as f:
            return name, f.read()


def tiled_png(path, rows, cols, coffee):
    """The example tiled to rows x cols, as an 8-bit RGB PNG."""
    example_rows, example_cols = 400, 600
    lines = [coffee[3 * example_cols * r:3 * example_cols * (r + 1)] for r in range(example_rows)]
    lines = [b"\0" + (line * (cols // example_cols + 1))[:3 * cols] for line in lines]
    squeeze = zlib.compressobj(1)
    chunk = lambda kind, data: (len(data).to_bytes(4, "big") + kind + data +
                                zlib.crc32(kind + data).to_bytes(4, "big"))
    data = b"".join(squeeze.compress(lines[r % example_rows]) for r in range(rows)) + squeeze.flush()
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", cols.to_bytes(4, "big") + rows.to_bytes(4, "big") +
                                             bytes([8, 2, 0, 0, 0])) + chunk(b"IDAT", data) + chunk(b"IEND", b""))


# Watches the page from the file input's change event: the longest task the
# browser reports, the longest gap between a 5 ms timer's ticks, when
# progress first shows, and what is on screen just after the change.
WATCH_OPENING = """
const seen = { task: 0, tasks: [], gap: 0, progress: null, after_change: null, start: null };
window.conemask_watch = seen;
new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) {
        seen.task = Math.max(seen.task, entry.duration);
        seen.tasks.push(Math.round(entry.startTime - (seen.start ?? entry.startTime)) + "+" + Math.round(entry.duration));
    }
}).observe({ type: "longtask" });
let last = performance.now();
seen.ticks = setInterval(() => {
    const now = performance.now();
    seen.gap = Math.max(seen.gap, now - last);
    last = now;
}, 5);
document.addEventListener("change", () => {
    seen.start = performance.now();
    const opens = document.body.dataset.opens;
    setTimeout(() => {
        const by_id = (id) => document.getElementById(id);
        seen.after_change = [by_id("command").value, by_id("convert-line").value, by_id("download").disabled,
                             by_id("stats").textContent];
    }, 0);
    const look = () => {
        if (!document.getElementById("progress").hidden) seen.progress = performance.now() - seen.start;
        else if (document.body.dataset.opens === opens) setTimeout(look, 1);
    };
    look();
}, true);
"""


def check_opening(page):
    big = os.path.join(page.work, "big.png")
    tiled_png(big, BIG_ROWS, BIG_COLS, page.coffee)
    page.load()
    page.open(os.path.join(pt.EXAMPLES, "coffee.rgb"), 400, 600)
    page.js(WATCH_OPENING)
    page.open(big)
    seen = page.js("clearInterval(window.conemask_watch.ticks); return window.conemask_watch;")
    megapixels = BIG_ROWS * BIG_COLS / 1e6
    progress = "never shown" if seen["progress"] is None else f"shown after {seen['progress']:.0f} ms"
    print(f"opening a {megapixels:.0f}-megapixel PNG: the main thread's longest task {seen['task']:.0f} ms "
          f"(the longest gap between a 5 ms timer's ticks {seen['gap']:.0f} ms); progress {progress}; "
          f"tasks over 50 ms, from the change, in ms: {', '.join(seen['tasks']) or 'none'}")
    check(seen["after_change"] == ["", "", True, ""],
          f"the photograph before, its lines and its download are withdrawn at once: {seen['after_change']}")
    check(seen["progress"] is not None, "opening a large photograph shows its progress")
    check(page.value("command").endswith(f" big {BIG_ROWS} {BIG_COLS}"), f"the large PNG opens: {page.value('command')}")

    # Opened again (a copy: the same file again fires no change) and cancelled as soon as its
    # progress shows: nothing of it, nor of the one before, stays.
    again = os.path.join(page.work, "again.png")
    shutil.copy(big, again)
    before = int(page.js("return document.body.dataset.opens || 0"))
    page.driver.find_element(By.ID, "image-file").send_keys(again)
    wait_for(lambda: page.driver.find_element(By.ID, "cancel").is_displayed(), "the opening's Cancel")
    page.driver.find_element(By.ID, "cancel").click()
    wait_for(lambda: int(page.js("return document.body.dataset.opens || 0")) > before, "the cancelled opening")
    left = [page.file_message(), page.value("command"), page.js("return document.body.dataset.state"),
            page.driver.find_element(By.ID, "progress").is_displayed()]
    check("cancelled" in left[0] and left[1:] == ["", "refused", False],
          f"a cancelled opening leaves no picture and says so: {left}")


# Awkward names: each opens, its printed lines run as printed, and the
# download is the file they write.
NAMES = [
    "-dash.jpg",
    "photo%d.jpg",
    "100%.png",
    "frame[1].png",
    "scene[0-2].jpg",
    ".hidden.jpg",
    "..twice.png",
    " leading space.png",
    "trailing dot..png",
    "png:colon.png",
    "@list.jpg",
    "it's \"quoted\".jpg",
    "tab\tin.png",
]


def check_names(page):
    names_dir = os.path.join(page.work, "names")
    os.mkdir(names_dir)
    examples = {}
    for kind in ("png", "jpg"):
        examples[kind] = os.path.join(page.work, f"example.{kind}")
        subprocess.run([pt.MAGICK, "-size", "600x400", "-depth", "8", f"rgb:{os.path.join(pt.EXAMPLES, 'coffee.rgb')}",
                        "-resize", "50%", examples[kind]], check=True)
    page.load()
    for name in NAMES:
        path = os.path.join(names_dir, name)
        shutil.copy(examples[name.rsplit(".", 1)[1]], path)
        page.open(path)
        if not checked(page.file_message() == "", f"{name!r} opens without a message: {page.file_message()!r}"):
            continue
        line, command = page.value("convert-line"), page.value("command")
        run = subprocess.run(f"{line} && {command}", shell=True, cwd=names_dir, env=LINES_PATH,
                             capture_output=True, text=True)
        if not checked(run.returncode == 0, f"{name!r}: the printed lines run: {run.stderr.strip()!r}"):
            continue
        base = shlex.split(command)[6]
        saved, raw = page.download()
        check(saved == base + ".raw", f"{name!r}: the download is {saved!r}, the lines write {base + '.raw'!r}")
        with open(os.path.join(names_dir, base + ".raw"), "rb") as f:
            check(raw == f.read(), f"{name!r}: the downloaded mask is the printed lines'")


def check_tiff(page):
    path = os.path.join(page.work, "scan.tif")
    subprocess.run([pt.MAGICK, "-size", "600x400", "-depth", "8", f"rgb:{os.path.join(pt.EXAMPLES, 'coffee.rgb')}",
                    path], check=True)
    page.load()
    page.open(os.path.join(pt.EXAMPLES, "coffee.rgb"), 400, 600)
    page.open(path)
    message = page.file_message()
    check("scan.tif is a TIFF file, which the page cannot read exactly" in message and
          message.endswith(": conemask-image scan.tif 180 40 15 0.12 10") and page.value("command") == "",
          f"a TIFF is refused with conemask-image's line: {message!r}")


def check_histogram(page):
    """The angle histogram is the new photograph's, though the reference stays."""
    flat = os.path.join(page.work, "flat.png")
    subprocess.run([pt.MAGICK, "-size", "10x10", "xc:rgb(10,200,30)", flat], check=True)
    page.load()
    page.open(os.path.join(pt.EXAMPLES, "coffee.rgb"), 400, 600)
    page.open(flat)
    wait_for(lambda: page.js("return document.body.dataset.state") == "ready", "the update")
    counts = [c for c in page.js("return Array.from(window.conemask_tuner.histogram)") if c]
    check(counts == [100], f"a one-colour photograph's histogram after another's: {counts[:5]}")


if __name__ == "__main__":
    sys.exit(main())
