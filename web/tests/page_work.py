# SPDX-License-Identifier: MIT
"""The page on a 12-megapixel photograph (the example, tiled to 4000 x
3000): what one update costs, printed; a stale update dropped; a fit that
shows its progress and stops when cancelled; and the main thread's longest
block while the slider moves, printed."""
import os

from page_driver import COLS, ROWS, check, pointer_at, wait_for

BIG_ROWS, BIG_COLS = 3000, 4000
# Theta typed in turn for the update's cost.
TIMED_THETAS = ("0.1", "0.2", "0.3", "0.4", "0.5")

# Three updates asked at once, then the last alone.
QUICK_UPDATES = """
    const done = arguments[arguments.length - 1];
    const operands = { reference: [180, 40, 15], max_angle: Math.fround(0.12) };
    const engine = window.conemask_engine;
    Promise.all([10, 20, 30].map((thresh) => engine.update({ ...operands, thresh })))
        .then((results) => done(results.map((r) => r && r.selected)));
"""
LAST_ALONE = """
    const done = arguments[arguments.length - 1];
    window.conemask_engine.update({ reference: [180, 40, 15], max_angle: Math.fround(0.12), thresh: 30 })
        .then((r) => done(r && r.selected));
"""
# Cancel clicked in the same task as Fit reaches the worker before the
# fit's first yield, however fast either runs; the progress it showed
# first is kept by an observer, as no poll from here could be sure to see it.
FIT_THEN_CANCEL = """
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
    return shown;"""
# The longest gap between the ticks of a 5 ms timer while the slider moves.
SLIDER_PROBE = """
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
"""


def check_long_work(page):
    open_big(page)
    print_update_cost(page)
    check_dropped_update(page)
    check_cancelled_fit(page)
    probe = page.driver.execute_async_script(SLIDER_PROBE)
    print(f"the main thread's longest block while the theta slider moves on {BIG_ROWS} x {BIG_COLS} pixels: "
          f"{probe:.0f} ms (the longest gap between the ticks of a 5 ms timer)")


def open_big(page):
    big = os.path.join(page.work, "big.rgb")
    row_bytes = [page.pixels[3 * COLS * (r % ROWS):3 * COLS * (r % ROWS + 1)] for r in range(ROWS)]
    with open(big, "wb") as f:
        for r in range(BIG_ROWS):
            line = row_bytes[r % ROWS]
            f.write((line * (BIG_COLS // COLS + 1))[:3 * BIG_COLS])
    page.open_file(big, BIG_ROWS, BIG_COLS)


def print_update_cost(page):
    """A figure to read, not a test."""
    times = []
    for theta in TIMED_THETAS:
        before = page.updates()
        page.type_into("theta", theta)
        wait_for(lambda: page.updates() > before and page.state() == "ready", "an update")
        times.append(page.js("return window.conemask_tuner.last_update_ms"))
    times.sort()
    print(f"one update on {BIG_ROWS} x {BIG_COLS} pixels: median {times[len(times) // 2]:.0f} ms "
          f"(of {', '.join(f'{t:.0f}' for t in times)})")


def check_dropped_update(page):
    answers = page.driver.execute_async_script(QUICK_UPDATES)
    # The first may have waited behind the page's own update, and been dropped too.
    alone = page.driver.execute_async_script(LAST_ALONE)
    check(answers[1] is None and answers[2] == alone and (answers[0] is None or answers[0] > alone),
          f"of three quick updates the middle one is dropped and the last answered: {answers}, {alone}")


def check_cancelled_fit(page):
    drag = pointer_at(page.driver, 0, 0).click_and_hold()
    pointer_at(page.driver, BIG_ROWS - 1, BIG_COLS - 1, drag).release().perform()
    theta = page.value("theta")
    page.type_into("share", "95")
    cancel_shown = page.js(FIT_THEN_CANCEL)
    wait_for(lambda: page.element("fit").is_enabled(), "the cancelled fit's end")
    shown = page.js("return document.body.dataset.fitProgress || ''")
    report = page.element("fit-report").text
    check(cancel_shown and shown.startswith("measuring") and "cancelled" in report and
          not page.element("progress").is_displayed(),
          f"a fit over {BIG_ROWS * BIG_COLS:,} pixels shows its progress ({shown!r}) and Cancel, which stops it "
          f"({report!r}) and hides it")
    check(page.value("theta") == theta, "a cancelled fit leaves theta as it was")
