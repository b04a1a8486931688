# SPDX-License-Identifier: MIT
"""Regions dragged on the example and the fit: the reference is the mean
of the pixels to take, and the native program, run on each rectangle cut
out of the raster with the page's command line, selects exactly the pixels
the page reports; a theta one float smaller takes less than the share.
Then the shares the page refuses."""
import os
import subprocess

from page_driver import COLS, CONEMASK, ActionChains, check, mean_colour, pointer_at, read_file, wait_for
from selenium.webdriver.common.keys import Keys

# Rectangles to take and to leave (left, top, right, bottom, inclusive), how
# a leave rectangle is asked for (Alt held, or the panel's choice), the share
# typed and whether thresh is fitted too. The first row is the README's example.
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


def check_regions(page):
    for row in REGION_FITS:
        check_region_fit(page, *row)
    theta = page.value("theta")
    for text, expected in SHARE_FAULTS:
        page.type_into("share", text)
        page.element("fit").click()
        wait_for(lambda: expected in page.element("fit-report").text, f"the message for the share {text!r}")
        check(page.value("theta") == theta, f"the share {text!r} is refused, theta kept")


def check_region_fit(page, takes, leaves, how, share, fit_thresh):
    what = f"take {takes}, leave {leaves} ({how}), {share}%{', thresh too' if fit_thresh else ''}"
    page.open_coffee()
    # The fields as the last page left them (they are kept): thresh plainly 10.
    page.type_into("thresh", "10")
    for rectangle in takes:
        drag_region(page, rectangle, "take", False)
    for rectangle in leaves:
        drag_region(page, rectangle, "leave" if how == "panel" else "take", how == "alt")
    takes, leaves = listed_regions(page, what, takes, leaves)
    mean = [str(v) for v in mean_colour(page.pixels, takes)]
    wait_for(lambda: [page.value(c) for c in ("red", "green", "blue")] == mean, f"{what}: the reference {mean}")
    operands = fit(page, what, share, fit_thresh)
    check_fit_counts(page, what, operands, takes, leaves, share)


def drag_region(page, rectangle, mode, alt):
    left, top, right, bottom = rectangle
    page.js("document.querySelector(`input[name=region-mode][value=${arguments[0]}]`).click()", mode)
    if alt:
        ActionChains(page.driver).key_down(Keys.ALT).perform()
    drag = pointer_at(page.driver, top, left).click_and_hold()
    pointer_at(page.driver, bottom, right, drag).release().perform()
    if alt:
        ActionChains(page.driver).key_up(Keys.ALT).perform()


def listed_regions(page, what, takes, leaves):
    """The rectangles the panel lists, checked against those dragged. The view
    may show the photograph smaller than 1:1: a rectangle may land a pixel
    off, and then the page's own rectangles count."""
    listed = page.js("return window.conemask_tuner.regions.map((r) => [r.left, r.top, r.right, r.bottom, r.mode])")
    modes = ["take"] * len(takes) + ["leave"] * len(leaves)
    check([m for *_, m in listed] == modes and
          all(abs(a - b) <= 1 for got, meant in zip(listed, [*takes, *leaves]) for a, b in zip(got, meant)),
          f"{what}: the panel lists {listed}")
    return ([tuple(r[:4]) for r in listed if r[4] == "take"], [tuple(r[:4]) for r in listed if r[4] == "leave"])


def fit(page, what, share, fit_thresh):
    """Fit clicked with that share: the operands of the command line after it."""
    page.type_into("share", share)
    if page.element("fit-thresh").is_selected() != fit_thresh:
        page.element("fit-thresh").click()
    page.element("fit").click()
    wait_for(lambda: page.js("return document.getElementById('fit-report').textContent"), f"{what}: the fit")
    print(f"fit, {what}: {page.element('fit-report').text}")
    wait_for(lambda: page.value("command").split()[4:6] == [page.value("theta"), page.value("thresh")],
             f"{what}: the command line after the fit")
    return page.value("command").split()[1:6]


def check_fit_counts(page, what, operands, takes, leaves, share):
    page_counts = page.js("return window.conemask_tuner.regions.map((r) => r.selected)")
    native = [native_selected(page, r, operands) for r in [*takes, *leaves]]
    check(page_counts == native, f"{what}: the page's counts {page_counts} are the program's {native}")
    data = page.js("return Object.assign({}, document.getElementById('fit-report').dataset)")
    take_pixels = sum((r[2] - r[0] + 1) * (r[3] - r[1] + 1) for r in takes)
    check(int(data["takeSelected"]) == sum(native[:len(takes)]) and
          int(data["leaveSelected"]) == sum(native[len(takes):]),
          f"{what}: the report's totals {data['takeSelected']}, {data['leaveSelected']} are the program's")
    needed = -(-round(float(share) * 100) * take_pixels // 10000)
    check(int(data["takeSelected"]) >= needed, f"{what}: takes at least {needed} of {take_pixels}")
    smaller = page.js("const b = new Float32Array([Number(arguments[0])]); new Uint32Array(b.buffer)[0] -= 1; "
                      "return b[0].toPrecision(9);", operands[3])
    fewer = sum(native_selected(page, r, [*operands[:3], smaller, operands[4]]) for r in takes)
    check(fewer < needed, f"{what}: theta {smaller}, one float less, takes {fewer}, fewer than {needed}")


def native_selected(page, rectangle, operands):
    """How many pixels the native program selects in the rectangle cut out of the example."""
    left, top, right, bottom = rectangle
    cut = os.path.join(page.work, "cut")
    os.makedirs(cut, exist_ok=True)
    with open(os.path.join(cut, "region.rgb"), "wb") as f:
        for y in range(top, bottom + 1):
            f.write(page.pixels[3 * (y * COLS + left):3 * (y * COLS + right + 1)])
    subprocess.run([CONEMASK, *operands, "region", str(bottom - top + 1), str(right - left + 1)], cwd=cut,
                   check=True, stdout=subprocess.DEVNULL)
    raw = read_file(os.path.join(cut, "region.raw"))
    return sum(1 for i in range(0, len(raw), 2) if raw[i] or raw[i + 1])
