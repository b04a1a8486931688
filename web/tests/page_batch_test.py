#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page's batch of photographs, in headless Chromium.

    page_batch_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR CONEMASK_IMAGE [--screenshot PNG]

A table of batches, each chosen through the page's own file inputs (several
files, or a folder) and masked with the operands typed into its fields: the
CSV the page offers must be byte for byte what `conemask-image --summary`
writes for the same files and operands, with a damaged photograph and a name
that needs CSV quotes among them; each masked row has its preview, each
refused row none. Then a batch cancelled in the middle: fewer rows than
photographs, the CSV of those rows equal to the program's for them, and the
next batch runs whole. Exits 77 (skipped) where Chromium, its driver or
Selenium is missing (page_test.py says which).

With --screenshot, the batch table of the first batch goes to PNG.
"""
import functools
import hashlib
import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

import page_test as pt
from page_test import By, check, wait_for

CONEMASK_IMAGE = os.path.abspath(sys.argv[4])
SCREENSHOT = sys.argv[6] if len(sys.argv) > 6 and sys.argv[5] == "--screenshot" else None
QUOTED = 'field "7", north.jpg'

# name, how the photographs are chosen, the operands: (red, green, blue, theta, thresh).
BATCHES = [
    ("several files", "files", ("180", "40", "15", "0.12", "10")),
    ("a folder, a negative thresh", "folder", ("120", "80", "60", "0.3", "-5")),
    ("a wide cone", "files", ("200", "150", "100", "1.2", "0")),
]


def make_photographs(work):
    """The example as a PNG and as JPEGs (one named for CSV quotes), a damaged
    PNG and a picture of one colour, in work/season."""
    folder = os.path.join(work, "season")
    os.mkdir(folder)
    coffee = f"rgb:{os.path.join(pt.EXAMPLES, 'coffee.rgb')}"
    make = lambda *args: subprocess.run([pt.MAGICK, *args], check=True, timeout=120)
    make("-size", "600x400", "-depth", "8", coffee, os.path.join(folder, "coffee.png"))
    make("-size", "600x400", "-depth", "8", coffee, "-quality", "90", os.path.join(folder, QUOTED))
    make("-size", "600x400", "-depth", "8", coffee, "-crop", "200x300+50+40", "-quality", "75",
         os.path.join(folder, "crop.jpg"))
    make("-size", "31x17", "xc:rgb(180,40,15)", os.path.join(folder, "flat.png"))
    with open(os.path.join(folder, "coffee.png"), "rb") as whole:
        cut = whole.read()
    with open(os.path.join(folder, "damaged.png"), "wb") as damaged:
        damaged.write(cut[:len(cut) // 2])
    return folder


def program_csv(cwd, names, operands):
    run = subprocess.run([CONEMASK_IMAGE, "--summary", "-", "--no-mask", *names, *operands], cwd=cwd,
                         capture_output=True, timeout=300)
    return run.stdout


class Page:
    def __init__(self, driver, downloads):
        self.driver, self.downloads = driver, downloads
        self.js = driver.execute_script
        self.js_async = driver.execute_async_script

    def load(self, operands, origin=None):
        red, green, blue, theta, thresh = operands
        self.driver.get("about:blank")
        self.driver.get((origin or "file://" + pt.PAGE) + "/conemask-tuner.html" +
                        f"#ref={red},{green},{blue}&theta={theta}&thresh={thresh}")
        wait_for(lambda: self.js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")

    def choose(self, paths, folder=None):
        if folder:
            self.driver.find_element(By.ID, "batch-folder").send_keys(folder)
        else:
            # A file input that takes several appends what it is sent: emptied first.
            self.js("document.getElementById('batch-files').value = ''")
            self.driver.find_element(By.ID, "batch-files").send_keys("\n".join(paths))
        wait_for(lambda: not self.driver.find_element(By.ID, "batch-run").get_attribute("disabled"), "Mask them")

    def run(self, until=("done",)):
        self.js("delete document.body.dataset.batch")
        self.driver.find_element(By.ID, "batch-run").click()
        return wait_for(lambda: (s := self.js("return document.body.dataset.batch")) in until and s, "the batch")

    def rows(self):
        return self.js("""return Array.from(document.querySelectorAll('#batch-rows tr'), (tr) =>
            ({ status: tr.dataset.status, preview: tr.querySelector('canvas') !== null,
               cells: Array.from(tr.cells, (td) => td.textContent) }))""")

    def csv(self):
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))
        self.driver.find_element(By.ID, "batch-csv").click()
        wait_for(lambda: (names := os.listdir(self.downloads)) and not any(n.endswith(".crdownload") for n in names),
                 "the CSV's download")
        with open(os.path.join(self.downloads, os.listdir(self.downloads)[0]), "rb") as f:
            return f.read()


def check_batches(page, work, folder):
    names = sorted(os.listdir(folder))
    for title, how, operands in BATCHES:
        page.load(operands)
        if how == "folder":
            page.choose([], folder)
            given = [f"season/{name}" for name in names]
        else:
            page.choose([os.path.join(folder, name) for name in names])
            given = names
        page.run()
        rows = page.rows()
        csv = page.csv()
        expected = program_csv(work if how == "folder" else folder, given, operands)
        check(csv == expected, f"{title}: the page's CSV is the program's:\n{csv!r}\n{expected!r}")
        check(len(rows) == len(names) and all(r["preview"] == (r["status"] == "ok") for r in rows) and
              [r["cells"][1] for r in rows] == given, f"{title}: a row each, a preview for each masked: {rows}")
        check(sum(r["status"] == "refused" for r in rows) == 1, f"{title}: the damaged photograph's row is refused")
        line = page.driver.find_element(By.ID, "batch-line").get_attribute("value")
        check(" ".join(operands) in line and "--summary shares.csv" in line, f"{title}: the batch line: {line}")
        if SCREENSHOT and title == BATCHES[0][0]:
            section = page.driver.find_element(By.ID, "batch-section")
            page.js("arguments[0].scrollIntoView()", section)
            section.screenshot(SCREENSHOT)


def check_cancel(page, work):
    """A batch of large photographs cancelled once its first row is in."""
    big = os.path.join(work, "big")
    os.mkdir(big)
    first = os.path.join(big, "big-00.png")
    subprocess.run([pt.MAGICK, "-size", "600x400", "-depth", "8", f"rgb:{os.path.join(pt.EXAMPLES, 'coffee.rgb')}",
                    "-write", "mpr:c", "+delete", "-size", "3000x2000", "tile:mpr:c", first], check=True, timeout=300)
    names = [f"big-{i:02}.png" for i in range(12)]
    for name in names[1:]:
        shutil.copyfile(first, os.path.join(big, name))
    operands = ("180", "40", "15", "0.12", "10")
    page.load(operands)
    page.choose([os.path.join(big, name) for name in names])
    page.js("delete document.body.dataset.batch")
    page.driver.find_element(By.ID, "batch-run").click()
    wait_for(lambda: len(page.rows()) >= 1, "the first row")
    page.driver.find_element(By.ID, "batch-cancel").click()
    wait_for(lambda: page.js("return document.body.dataset.batch") != "running", "the cancel")
    rows = page.rows()
    state = page.js("return document.body.dataset.batch")
    progress_hidden = page.js("return document.getElementById('batch-progress').hidden")
    check(state == "cancelled" and 1 <= len(rows) < len(names) and progress_hidden,
          f"Cancel in the middle: {state}, {len(rows)} of {len(names)} rows, progress hidden {progress_hidden}")
    csv = page.csv()
    expected = program_csv(big, names[:len(rows)], operands)
    check(csv == expected, f"the cancelled batch's CSV is the program's for its rows:\n{csv!r}\n{expected!r}")
    page.choose([os.path.join(big, name) for name in names[:2]])
    check(page.run(("done", "stopped", "cancelled")) == "done" and len(page.rows()) == 2,
          "a batch after a cancelled one runs whole")


# The page's folder picker answered with a folder of the page's own storage
# (a headless browser shows no picker): the masks written there, by name and digest.
PICK_STORED_FOLDER = """
window.showDirectoryPicker = async () => {
    const root = await navigator.storage.getDirectory();
    await root.removeEntry("masks", { recursive: true }).catch(() => {});
    return root.getDirectoryHandle("masks", { create: true });
};
"""
STORED_MASKS = """
const done = arguments[0];
(async () => {
    const folder = await (await navigator.storage.getDirectory()).getDirectoryHandle("masks", { create: true });
    const found = {};
    for await (const [name, handle] of folder.entries()) {
        const bytes = await (await handle.getFile()).arrayBuffer();
        const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
        found[name] = [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
    }
    return found;
})().then(done, (error) => done(String(error)));
"""


def check_folder(page, work, folder):
    """Masks written into a chosen folder: those of the photographs masked,
    byte for byte the program's; two photographs of one name write nothing."""
    # A page's own storage is refused to file:// pages: this one comes from a server in this process.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=pt.PAGE))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        check_folder_writes(page, work, folder, f"http://127.0.0.1:{server.server_address[1]}")
    finally:
        server.shutdown()
        server.server_close()


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def check_folder_writes(page, work, folder, origin):
    operands = ("180", "40", "15", "0.12", "10")
    names = sorted(os.listdir(folder))
    out = os.path.join(work, "program-masks")
    os.mkdir(out)
    subprocess.run([CONEMASK_IMAGE, "--output-dir", out, *names, *operands], cwd=folder, capture_output=True,
                   timeout=300)
    expected = {name: hashlib.sha256(open(os.path.join(out, name), "rb").read()).hexdigest()
                for name in os.listdir(out)}
    page.load(operands, origin)
    page.js(PICK_STORED_FOLDER)
    page.driver.find_element(By.ID, "batch-write").click()
    page.choose([os.path.join(folder, name) for name in names])
    check(page.run(("done", "stopped")) == "done", "the batch into a folder")
    written = page.js_async(STORED_MASKS)
    check(written == expected and len(expected) == len(names) - 1,
          f"the masks written into the folder are the program's: {written} {expected}")
    twice = os.path.join(work, "twice")
    for sub in ("north", "south"):
        os.makedirs(os.path.join(twice, sub))
        shutil.copyfile(os.path.join(folder, "flat.png"), os.path.join(twice, sub, "flat.png"))
    page.js_async("navigator.storage.getDirectory().then((root) => root.removeEntry('masks', { recursive: true }))"
                  ".then(arguments[0], arguments[0])")
    page.choose([], twice)
    page.run(("done", "stopped", "refused"))
    message = page.driver.find_element(By.ID, "batch-message").text
    check("flat.raw" in message and page.js_async(STORED_MASKS) == {},
          f"two photographs of one name write nothing: {message}")


def main():
    # ctest's timeout, or an interrupt, ends the browser too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    work = tempfile.mkdtemp(prefix="conemask-page-batch-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    try:
        driver = pt.start_browser(os.path.join(work, "profile"), downloads)
        try:
            page = Page(driver, downloads)
            check_batches(page, work, make_photographs(work))
            check_cancel(page, work)
            check_folder(page, work, os.path.join(work, "season"))
        finally:
            pt.end_browser(driver.service, driver)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{pt.passes} passed, {len(pt.failures)} failed")
    return 1 if pt.failures else 0


if __name__ == "__main__":
    sys.exit(main())
