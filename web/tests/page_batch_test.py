#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page's batch of photographs, in headless Chromium.

    page_batch_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR CONEMASK_IMAGE [--screenshot PNG]

A table of batches, each chosen through the page's own file inputs (several
files, or a folder) and masked with the operands typed into its fields: the
CSV the page offers must be byte for byte what `conemask-image --summary`
writes for the same files and operands, with a damaged photograph and a name
that needs CSV quotes among them, damaged JPEGs each refused in the
program's words, and a folder of folders, chosen and dropped, whose hidden
files and files that are no photographs are left out; each masked row has
its preview, each refused row none. Then a batch cancelled in the middle: fewer rows than
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

# name, how the photographs are chosen, the operands: (red, green, blue, theta, thresh), their folder,
# and for a folder the names the rows must give, in order (None: the folder's files, each a row).
BATCHES = [
    ("several files", "files", ("180", "40", "15", "0.12", "10"), "season", None),
    ("a folder, a negative thresh", "folder", ("120", "80", "60", "0.3", "-5"), "season", None),
    ("a wide cone", "files", ("200", "150", "100", "1.2", "0"), "season", None),
    ("damaged JPEGs, each refused in the program's words", "files", ("180", "40", "15", "0.12", "10"),
     "damaged", None),
    # Its folders' photographs too; hidden files and what is no photograph by name or content left out;
    # by code point, as LC_ALL=C's folder/*.
    ("a folder of folders and other files", "folder", ("180", "40", "15", "0.12", "10"), "field",
     ["field/B.jpg", "field/a.png", "field/scan-0001", "field/sub/inner.png", "field/\u00e9t\u00e9.png"]),
    ("a folder dropped", "drop", ("180", "40", "15", "0.12", "10"), "field",
     ["field/B.jpg", "field/a.png", "field/scan-0001", "field/sub/inner.png", "field/\u00e9t\u00e9.png"]),
]


def sos(data):
    return data.index(b"\xff\xda")


def inserted(data, at, more):
    return data[:at] + more + data[at:]


def after_app0(data):
    return 4 + int.from_bytes(data[4:6], "big")


def inside_image_data(data, end=None):
    """An offset in the middle of the first scan's data (up to `end`), away from any 0xFF."""
    at = sos(data) + ((end or len(data)) - sos(data)) // 2
    while 0xFF in data[at - 1:at + 1]:
        at += 1
    return at


def swapped_restart(data):
    at = data.index(b"\xff\xd1", sos(data))
    return data[:at] + b"\xff\xd3" + data[at + 2:]


def longest_scan_middle(data):
    """The middle of the longest scan's data."""
    scans, at = [], sos(data)
    while at >= 0:
        start = at + 2 + int.from_bytes(data[at + 2:at + 4], "big")
        end = start
        while not (data[end] == 0xFF and data[end + 1] not in (0x00, 0xFF)):
            end += 1
        scans.append((end - start, (start + end) // 2))
        at = data.find(b"\xff\xda", end)
    return max(scans)[1]


def restated_height(data, rows):
    """The frame header stating fewer rows than the data holds."""
    at = data.index(b"\xff\xc2") if b"\xff\xc2" in data else data.index(b"\xff\xc0")
    return data[:at + 5] + rows.to_bytes(2, "big") + data[at + 7:]


# Damaged JPEGs: name, the sound file it is made from, the damage. The page has no libjpeg: it refuses
# each by the rule that also words conemask-image's refusal, and the rows must be the same.
DAMAGED_JPEGS = [
    ("cut-in-image-data.jpg", "baseline", lambda d: d[:len(d) // 2]),
    ("cut-before-end-marker.jpg", "baseline", lambda d: d[:-2]),
    ("cut-in-end-marker.jpg", "baseline", lambda d: d[:-1]),
    ("cut-in-a-segment.jpg", "baseline", lambda d: d[:sos(d) - 10]),
    ("cut-between-scans.jpg", "progressive", lambda d: d[:d.index(b"\xff\xda", sos(d) + 2)]),
    ("bytes-before-a-marker.jpg", "baseline", lambda d: inserted(d, after_app0(d), b"junk\0\xff\0xx")),
    ("bogus-dqt-length.jpg", "baseline", lambda d: inserted(d, after_app0(d), b"\xff\xdb\0\0")),
    ("stray-restart.jpg", "baseline", lambda d: inserted(d, inside_image_data(d), b"\xff\xd0")),
    ("restart-out-of-turn.jpg", "restarts", swapped_restart),
    ("restart-inside-an-interval.jpg", "restarts",
     lambda d: inserted(d, inside_image_data(d, d.index(b"\xff\xd0", sos(d))), b"\xff\xd1")),
    # 64 one bits: a code no Huffman table holds. And data past the height the frame states.
    ("bad-huffman-code.jpg", "progressive",
     lambda d: d[:longest_scan_middle(d)] + b"\xff\x00" * 8 + d[longest_scan_middle(d) + 16:]),
    ("data-past-height.jpg", "baseline", lambda d: restated_height(d, 200)),
    # A comment too short for its length field: libjpeg reads on, so the page must too.
    ("empty-comment.jpg", "baseline", lambda d: inserted(d, after_app0(d), b"\xff\xfe\0\1")),
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
    make_damaged_jpegs(work, make)
    make_field(work, folder)
    return folder


def make_damaged_jpegs(work, make):
    folder = os.path.join(work, "damaged")
    os.mkdir(folder)
    coffee = f"rgb:{os.path.join(pt.EXAMPLES, 'coffee.rgb')}"
    sound = {"baseline": ["-quality", "90"], "progressive": ["-quality", "90", "-interlace", "JPEG"]}
    for name, options in sound.items():
        make("-size", "600x400", "-depth", "8", coffee, *options, os.path.join(work, f"{name}.jpg"))
    # ImageMagick writes no restart markers; cjpeg (libjpeg-turbo-progs) does.
    ppm = subprocess.run([pt.MAGICK, "-size", "600x400", "-depth", "8", coffee, "ppm:-"], check=True,
                         capture_output=True, timeout=120).stdout
    with open(os.path.join(work, "restarts.jpg"), "wb") as out:
        subprocess.run(["cjpeg", "-restart", "2"], input=ppm, stdout=out, check=True, timeout=120)
    for name, source, damage in DAMAGED_JPEGS:
        with open(os.path.join(work, f"{source}.jpg"), "rb") as f:
            data = f.read()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(damage(data))


def make_field(work, season):
    """A folder with a folder in it, a JPEG whose name says nothing, and files that are no photographs."""
    field = os.path.join(work, "field")
    os.makedirs(os.path.join(field, "sub"))
    for source, name in [("coffee.png", "a.png"), ("crop.jpg", "B.jpg"), ("crop.jpg", "scan-0001"),
                         ("flat.png", "sub/inner.png"), ("flat.png", "\u00e9t\u00e9.png"),
                         ("crop.jpg", "._B.jpg")]:
        shutil.copyfile(os.path.join(season, source), os.path.join(field, name))
    for name, text in [("notes.txt", "quadrats 1 to 4\n"), (".DS_Store", "\0\0\0\1Bud1")]:
        with open(os.path.join(field, name), "w") as f:
            f.write(text)


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

    def choose(self, paths, folder=None, drop=False):
        if drop:
            self.drop(folder)
        elif folder:
            self.driver.find_element(By.ID, "batch-folder").send_keys(folder)
        else:
            # A file input that takes several appends what it is sent: emptied first.
            self.js("document.getElementById('batch-files').value = ''")
            self.driver.find_element(By.ID, "batch-files").send_keys("\n".join(paths))
        wait_for(lambda: not self.driver.find_element(By.ID, "batch-run").get_attribute("disabled"), "Mask them")

    def drop(self, folder):
        """A folder dragged from outside the browser and dropped on the batch's section."""
        section = self.driver.find_element(By.ID, "batch-section")
        self.js("arguments[0].scrollIntoView()", section)
        box = self.js("const r = arguments[0].getBoundingClientRect(); return [r.x + r.width / 2, r.y + 20]",
                      section)
        data = {"items": [], "files": [folder], "dragOperationsMask": 1}
        for kind in ("dragEnter", "dragOver", "drop"):
            self.driver.execute_cdp_cmd("Input.dispatchDragEvent",
                                        {"type": kind, "x": box[0], "y": box[1], "data": data})

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


def check_batches(page, work, origin):
    for title, how, operands, where, folder_names in BATCHES:
        folder = os.path.join(work, where)
        names = sorted(os.listdir(folder))
        # Chromium reads a dropped folder only into a page from a server.
        page.load(operands, origin if how == "drop" else None)
        if how in ("folder", "drop"):
            page.choose([], folder, drop=how == "drop")
            given = folder_names or [f"{where}/{name}" for name in names]
        else:
            page.choose([os.path.join(folder, name) for name in names])
            given = names
        page.run()
        rows = page.rows()
        csv = page.csv()
        expected = program_csv(work if how != "files" else folder, given, operands)
        check(csv == expected, f"{title}: the page's CSV is the program's:\n{csv!r}\n{expected!r}")
        check(len(rows) == len(given) and all(r["preview"] == (r["status"] == "ok") for r in rows) and
              [r["cells"][1] for r in rows] == given, f"{title}: a row each, a preview for each masked: {rows}")
        refused = expected.count(b"\n") - 1 - expected.count(b",ok,")
        check(sum(r["status"] == "refused" for r in rows) == refused and (refused > 0) == (where != "field"),
              f"{title}: the damaged photographs' rows are refused")
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


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def check_folder(page, work, folder, origin):
    """Masks written into a chosen folder: those of the photographs masked,
    byte for byte the program's; two photographs of one name write nothing."""
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
    # A page's own storage, and a dropped folder, are refused to file:// pages: the page also comes
    # from a server in this process.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=pt.PAGE))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    origin = f"http://127.0.0.1:{server.server_address[1]}"
    try:
        driver = pt.start_browser(os.path.join(work, "profile"), downloads)
        try:
            page = Page(driver, downloads)
            season = make_photographs(work)
            check_batches(page, work, origin)
            check_cancel(page, work)
            check_folder(page, work, season, origin)
        finally:
            pt.end_browser(driver.service, driver)
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{pt.passes} passed, {len(pt.failures)} failed")
    return 1 if pt.failures else 0


if __name__ == "__main__":
    sys.exit(main())
