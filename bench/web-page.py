#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The tuner page on a 12-megapixel photograph in headless Chromium, as bench/web runs it.

    web-page.py PAGE_DIR EXAMPLES_DIR

Opens the example photograph tiled to 4000 x 3000 through the page's own
controls (the single-file page, from file://), then prints the median
time of one update (as the page reports it, and from the theta field's
input event to the page counting the update), and the main thread's
longest block while the theta slider moves: the longest gap between the
ticks of a 5 ms interval timer. Figures only; it never fails.
"""
import os
import shutil
import sys
import tempfile
import time

ROWS, COLS = 3000, 4000
TIMEOUT = 120


def main():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        print("page: not measured (python3-selenium is not installed)")
        return
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not driver_path:
        print("page: not measured (chromium or chromium-driver is not installed)")
        return
    page, examples = (os.path.abspath(p) for p in sys.argv[1:3])
    work = tempfile.mkdtemp(prefix="conemask-bench-web-")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", f"--user-data-dir={work}/profile",
                 "--window-size=1400,1000"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    driver.set_script_timeout(TIMEOUT)
    try:
        measure(driver, By, page, examples, work)
    except Exception as error:  # a figure missing is reported, never a failure
        print(f"page: not measured ({type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''})")
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)


def wait_for(predicate, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise TimeoutError(what)


def measure(driver, By, page, examples, work):
    js = driver.execute_script
    with open(os.path.join(examples, "coffee.rgb"), "rb") as f:
        photo = f.read()
    photo_rows, photo_cols = 400, 600
    big = os.path.join(work, "big.rgb")
    with open(big, "wb") as f:
        for r in range(ROWS):
            line = photo[3 * photo_cols * (r % photo_rows):3 * photo_cols * (r % photo_rows + 1)]
            f.write((line * (COLS // photo_cols + 1))[:3 * COLS])
    driver.get("file://" + os.path.join(page, "conemask-tuner.html"))
    wait_for(lambda: js("return document.body.dataset.state") in ("ready", "broken"), "the page to start")
    updates = lambda: int(js("return Number(document.body.dataset.updates || 0)"))
    for field, value in (("raw-rows", ROWS), ("raw-cols", COLS)):
        box = driver.find_element(By.ID, field)
        box.clear()
        box.send_keys(str(value))
    before = updates()
    driver.find_element(By.ID, "image-file").send_keys(big)
    wait_for(lambda: updates() > before and js("return document.body.dataset.state") == "ready", "the photograph to open")
    time.sleep(1)

    # One update at a time: theta typed, then the time until the page has counted and drawn it.
    figures = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const field = document.getElementById("theta");
        const reported = [], seen = [];
        const one = (k) => new Promise((resolve) => {
            const count = Number(document.body.dataset.updates || 0);
            const start = performance.now();
            field.value = String(0.1 + 0.02 * k);
            field.dispatchEvent(new Event("input", { bubbles: true }));
            const look = () => Number(document.body.dataset.updates || 0) > count
                ? requestAnimationFrame(() => { seen.push(performance.now() - start);
                                                reported.push(window.conemask_tuner.last_update_ms); resolve(); })
                : setTimeout(look, 1);
            look();
        });
        (async () => { for (let k = 0; k < 11; ++k) await one(k); return { reported, seen }; })().then(done);
    """)
    median = lambda values: sorted(values)[len(values) // 2]
    print(f"page: one update on {ROWS} x {COLS} pixels: median {median(figures['reported']):.1f} ms as the page "
          f"reports it, {median(figures['seen']):.1f} ms from the input to the next frame after it is shown "
          f"(of 11)")

    # The slider dragged for three seconds, an input event every 16 ms, while a 5 ms timer ticks.
    drag = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const slider = document.getElementById("theta-slider");
        const first = Number(document.body.dataset.updates || 0);
        let last = performance.now(), longest = 0;
        const ticks = setInterval(() => {
            const now = performance.now();
            longest = Math.max(longest, now - last);
            last = now;
        }, 5);
        const start = performance.now();
        const move = () => {
            const t = performance.now() - start;
            if (t > 3000) {
                clearInterval(ticks);
                done({ longest, shown: Number(document.body.dataset.updates || 0) - first, ms: t });
                return;
            }
            slider.value = String(3 + 12 * (0.5 + 0.5 * Math.sin(t / 500)));
            slider.dispatchEvent(new Event("input", { bubbles: true }));
            setTimeout(move, 16);
        };
        move();
    """)
    print(f"page: the theta slider moved for {drag['ms'] / 1000:.1f} s (an input every 16 ms): "
          f"{drag['shown']} updates shown, the main thread's longest block {drag['longest']:.0f} ms "
          f"(the longest gap between the ticks of a 5 ms timer)")


if __name__ == "__main__":
    main()
