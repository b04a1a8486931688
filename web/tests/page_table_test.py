#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The shared table of photographs (tests/images/table.tsv) in the tuner page,
in headless Chromium.

    page_table_test.py PAGE_DIR NATIVE_CONEMASK EXAMPLES_DIR CONEMASK_IMAGE

Makes the table's files (tests/images/make_fixtures.py), opens each in the
page and compares the raster it holds with ImageMagick's, and its mask with
conemask-image's for the same operands. A row the table expects refused must
be refused; a row it expects equal must be equal, or refused by the page with
a message (a format or a transparency the browser cannot read exactly).
Prints the counts: equal, refused, differing; any differing row fails.
Exits 77 (skipped) where Chromium, its driver, Selenium or ImageMagick is
missing.
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import page_test as pt
from page_test import check

OPERANDS = ["180", "40", "15", "0.12", "10"]
MAKE_FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "images",
                             "make_fixtures.py")

# The raster and the mask the page holds, as SHA-256 digests.
DIGESTS = """
const done = arguments[0];
const engine = window.conemask_engine;
const hex = (buffer) => crypto.subtle.digest("SHA-256", buffer)
    .then((d) => [...new Uint8Array(d)].map((b) => b.toString(16).padStart(2, "0")).join(""));
const params = { reference: [180, 40, 15], max_angle: Math.fround(0.12), thresh: 10 };
Promise.all([engine.raster().then(hex), engine.mask(params).then((samples) => hex(samples.buffer))])
    .then(done, (error) => done([String(error), ""]));
"""


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    # ctest's timeout, or an interrupt, ends the browser too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    conemask_image = os.path.abspath(sys.argv[4])
    work = tempfile.mkdtemp(prefix="conemask-page-table-")
    try:
        fixtures = os.path.join(work, "images")
        os.mkdir(fixtures)
        made = subprocess.run([sys.executable, MAKE_FIXTURES, fixtures], timeout=900)
        if made.returncode == 77:
            return 77
        if made.returncode != 0:
            print("FAIL the shared table's files could not be made")
            return 1
        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        driver = pt.start_browser(os.path.join(work, "profile"), downloads)
        try:
            counts = run(driver, fixtures, conemask_image)
        finally:
            pt.end_browser(driver.service, driver)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("the shared table in the page: " + ", ".join(f"{n} {what}" for what, n in counts.items()))
    print(f"{pt.passes} passed, {len(pt.failures)} failed")
    return 1 if pt.failures else 0


def native_mask(conemask_image, path, work):
    """conemask-image's mask's digest, or None when it refuses the file."""
    output = os.path.join(work, "native.raw")
    run = subprocess.run([conemask_image, "--output", output, path, *OPERANDS], capture_output=True, timeout=120)
    if run.returncode != 0:
        return None
    answer = digest(output)
    os.remove(output)
    return answer


def run(driver, fixtures, conemask_image):
    js = driver.execute_script
    driver.get("file://" + os.path.join(pt.PAGE, "conemask-tuner.html") + "#ref=180,40,15&theta=0.12&thresh=10")
    pt.wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")
    counts = {"equal": 0, "refused as the table says": 0, "refused by the page (equal elsewhere)": 0,
              "differing": 0}
    with open(os.path.join(fixtures, "manifest.tsv"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    for name, expected, fragment, _cols, _rows in rows:
        path = os.path.join(fixtures, name)
        before = int(js("return document.body.dataset.opens || 0"))
        driver.find_element(pt.By.ID, "image-file").send_keys(path)
        pt.wait_for(lambda: int(js("return document.body.dataset.opens || 0")) > before and
                    js("return document.body.dataset.state") in ("ready", "refused"), f"the page to open {name}")
        refused = js("return document.body.dataset.state") == "refused"
        message = driver.find_element(pt.By.ID, "file-message").text
        if expected == "refused":
            kind = "refused as the table says" if refused else "differing"
            check(refused, f"{name}: the table expects it refused ({fragment}), the page opens it")
            if refused and fragment not in message:
                print(f"note: {name}: refused, without the table's words {fragment!r}: {message!r}")
        elif refused:
            kind = "refused by the page (equal elsewhere)"
            print(f"{name}: refused by the page: {message[:160]!r}")
        else:
            raster, mask = driver.execute_async_script(DIGESTS)
            same_raster = raster == digest(path + ".rgb")
            same_mask = mask == native_mask(conemask_image, path, fixtures)
            kind = "equal" if same_raster and same_mask else "differing"
            check(same_raster, f"{name}: the page's raster is ImageMagick's")
            check(same_mask, f"{name}: the page's mask is conemask-image's")
        counts[kind] += 1
    return counts


if __name__ == "__main__":
    sys.exit(main())
