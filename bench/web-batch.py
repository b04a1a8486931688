#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page's batch against conemask-image --jobs 1, on the same photographs.

    web-batch.py PAGE_DIR CONEMASK_IMAGE EXAMPLES_DIR [photographs]

Makes `photographs` (default 5) 12-megapixel (4000 x 3000) JPEGs as
bench/batch makes them, then prints photographs a second for
`conemask-image --jobs 1` writing the summary alone and writing the masks
too, and for the page's batch in headless Chromium (the single-file page from
file://, the files chosen through its input, from the click on Mask them to
its last row; the page writes no mask there). Each figure is the fastest of
RUNS runs (default 3). Figures only; it never fails.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROWS, COLS = 3000, 4000
OPERANDS = ["180", "40", "15", "0.12", "10"]
TIMEOUT = 600
RUNS = int(os.environ.get("RUNS", "3"))


def make_photographs(work, examples, count):
    paths = []
    for i in range(1, count + 1):
        path = os.path.join(work, f"photo{i}.jpg")
        subprocess.run(["/usr/bin/convert", "-size", "600x400", "-depth", "8",
                        f"rgb:{os.path.join(examples, 'coffee.rgb')}", "-resize", f"{COLS}x{ROWS}!", "-seed", str(i),
                        "-attenuate", "0.5", "+noise", "Gaussian", "-quality", "90", path], check=True, timeout=300)
        paths.append(path)
    return paths


def fastest(run):
    return min(run() for _ in range(RUNS))


def program_seconds(program, paths, work, masks):
    out = os.path.join(work, "masks")
    os.makedirs(out, exist_ok=True)
    options = ["--output-dir", out] if masks else ["--no-mask"]

    def run():
        start = time.monotonic()
        subprocess.run([program, "--jobs", "1", "--summary", os.path.join(work, "shares.csv"), *options, *paths,
                        *OPERANDS], check=False, capture_output=True, timeout=TIMEOUT)
        return time.monotonic() - start
    return fastest(run)


def page_seconds(page, paths, work):
    # The page tests' way to start the browser and to end every process of it.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web", "tests"))
    sys.argv[1:] = [page, "unused", "unused"]
    import page_test as pt
    from selenium.webdriver.common.by import By
    driver = pt.start_browser(os.path.join(work, "profile"), work)
    try:
        driver.get("file://" + os.path.join(page, "conemask-tuner.html") + "#ref=180,40,15&theta=0.12&thresh=10")
        wait_for(lambda: driver.execute_script("return document.body.dataset.state") == "ready", "the page")
        driver.find_element(By.ID, "batch-files").send_keys("\n".join(paths))

        def run():
            driver.execute_script("delete document.body.dataset.batch")
            start = time.monotonic()
            driver.find_element(By.ID, "batch-run").click()
            wait_for(lambda: driver.execute_script("return document.body.dataset.batch") not in (None, "running"),
                     "the batch")
            return time.monotonic() - start
        return fastest(run)
    finally:
        pt.end_browser(driver.service, driver)


def wait_for(predicate, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise TimeoutError(what)


def main():
    page, program, examples = (os.path.abspath(p) for p in sys.argv[1:4])
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    work = tempfile.mkdtemp(prefix="conemask-bench-batch-")
    try:
        paths = make_photographs(work, examples, count)
        print(f"{count} photographs of {COLS} x {ROWS} (JPEG), fastest of {RUNS} runs, photographs a second:")
        for what, seconds in (("conemask-image --jobs 1, summary alone", program_seconds(program, paths, work, False)),
                              ("conemask-image --jobs 1, masks and summary", program_seconds(program, paths, work, True))):
            print(f"  {what:44} {count / seconds:6.2f}  ({seconds:.2f} s)")
        try:
            seconds = page_seconds(page, paths, work)
            print(f"  {'the page, summary and previews':44} {count / seconds:6.2f}  ({seconds:.2f} s)")
        except (Exception, SystemExit) as error:  # a figure missing is reported, never a failure
            print(f"  the page: not measured ({type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
