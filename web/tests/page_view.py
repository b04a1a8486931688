# SPDX-License-Identifier: MIT
"""The view: the layout at a desktop's and a phone's size, a pinch, the
readout under the pointer against the native program, and zooming and
panning, none of which takes a pixel or a rectangle."""
import os
import shutil
import struct
import subprocess
import time

from page_driver import (COLS, CONEMASK, DEFAULT_OPERANDS, ROWS, SCREENSHOT, ActionChains, By, check, pointer_at,
                         read_file, settle, wait_for)
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.keys import Keys

# Window sizes, in CSS pixels, with their device pixel ratio: at each, the
# picture and the theta and thresh sliders are in view together without
# scrolling, and nothing is wider than the window.
WINDOWS = [("desktop", 1280, 800, 1, False), ("phone", 390, 844, 3, True)]
IN_VIEW = ("picture", "theta", "thresh", "theta_field", "thresh_field")

# Pixels of the example (row, column) where the readout is checked: the
# corners and three inside.
READOUT_PIXELS = [(0, 0), (ROWS - 1, COLS - 1), (260, 150), (123, 456), (301, 77)]
# CSS pixels per raster pixel beyond the fit, for the readout's second round.
READOUT_ZOOM = 8

# Where the picture and the controls are, at the window's size.
LAYOUT = """
    const box = (e) => { const b = e.getBoundingClientRect(); return [b.left, b.top, b.right, b.bottom]; };
    const v = window.conemask_view, corner = v.client_point(0, 0);
    const far = v.client_point(arguments[0], arguments[1]);
    const half = v.view.zoom / 2, command = document.getElementById('command');
    return { width: innerWidth, height: innerHeight, scrolled: [scrollX, scrollY],
             page_width: document.documentElement.scrollWidth,
             panel_fits: document.getElementById('panel').scrollWidth <=
                         document.getElementById('panel').clientWidth,
             picture: [corner.x - half, corner.y - half, far.x + half, far.y + half],
             theta: box(document.getElementById('theta-slider')),
             thresh: box(document.getElementById('thresh-slider')),
             theta_field: box(document.getElementById('theta')),
             thresh_field: box(document.getElementById('thresh')),
             readout: box(document.getElementById('readout')),
             command: box(command),
             command_fits: command.scrollWidth <= command.clientWidth,
             command_font: parseFloat(getComputedStyle(command).fontSize) };"""
# Three points of a zoomed-in pixel's block on the canvas: its centre and two corners.
PIXEL_BLOCK = """const v = window.conemask_view, p = v.client_point(arguments[0], arguments[1]);
    const c = document.getElementById('picture'), b = c.getBoundingClientRect(), s = c.width / b.width;
    const at = (dx, dy) => Array.from(c.getContext('2d').getImageData(
        Math.floor((p.x - b.left + dx) * s), Math.floor((p.y - b.top + dy) * s), 1, 1).data.slice(0, 3));
    const h = v.view.zoom * 0.4;
    return [at(0, 0), at(-h, -h), at(h, h)];"""


def check_view(page):
    for window in WINDOWS:
        check_layout(page, *window)
    page.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
    check_readout(page)
    check_zoom(page)
    check_pan(page)


def check_layout(page, name, width, height, scale, mobile):
    page.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})
    page.open_coffee()
    seen = page.js(LAYOUT, ROWS - 1, COLS - 1)
    print(f"{name} {width} x {height}: picture y {seen['picture'][1]:.0f} to {seen['picture'][3]:.0f}, "
          f"readout y {seen['readout'][1]:.0f}, theta slider y {seen['theta'][1]:.0f} and field "
          f"{seen['theta_field'][1]:.0f}, thresh slider y {seen['thresh'][1]:.0f} and field "
          f"{seen['thresh_field'][1]:.0f}, command y {seen['command'][1]:.0f} (further down), "
          f"page {seen['page_width']} wide")
    for what in IN_VIEW:
        left, top, right, bottom = seen[what]
        check(seen["scrolled"] == [0, 0] and left >= -0.5 and top >= -0.5 and right <= width + 0.5 and
              bottom <= height + 0.5, f"{name}: the {what} is in view without scrolling: {seen[what]}")
    check(seen["page_width"] <= width and seen["panel_fits"],
          f"{name}: nothing scrolls sideways ({seen['page_width']} px wide, the panel fits: {seen['panel_fits']})")
    check(seen["command_fits"] and seen["command_font"] >= 12,
          f"{name}: the command line is readable whole ({seen['command_font']} px)")
    if SCREENSHOT:
        pointer_at(page.driver, 230, 210).perform()
        path = SCREENSHOT if name == "desktop" else SCREENSHOT.replace(".png", f"-{name}.png")
        time.sleep(0.3)
        page.driver.save_screenshot(path)
    if mobile:
        check_pinch(page)


def check_pinch(page):
    """Two fingers moving apart over the picture zoom it by as much as their
    spread grows, and take no pixel and no rectangle."""
    driver, js = page.driver, page.js
    driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 2})
    x, y = js("const b = document.getElementById('stage').getBoundingClientRect();"
              "return [Math.round(b.left + b.width / 2), Math.round(b.top + b.height / 2)];")
    before = js("return window.conemask_view.view.zoom")
    texts = page.field_texts()

    def touch(kind, *points):
        driver.execute_cdp_cmd("Input.dispatchTouchEvent", {
            "type": kind, "touchPoints": [{"x": px, "y": y, "id": i} for i, px in enumerate(points)]})
    touch("touchStart", x - 10)
    touch("touchStart", x - 10, x + 10)
    for step in range(1, 6):
        touch("touchMove", x - 10 - 10 * step, x + 10 + 10 * step)
    touch("touchEnd")
    driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": False})
    after = js("return window.conemask_view.view.zoom")
    check(abs(after / before - 6) < 1e-6 and page.field_texts() == texts and
          js("return window.conemask_tuner.regions.length") == 0,
          f"a pinch from 20 to 120 pixels apart zooms from {before} to {after}, taking nothing")


def float_bits(text):
    return struct.unpack("<I", struct.pack("<f", float(text)))[0]


def native_readout(page, colours):
    """The native mask for the default operands, and find_angle's line for each colour."""
    native_dir = os.path.join(page.work, "readout")
    os.mkdir(native_dir)
    shutil.copy(page.coffee, native_dir)
    subprocess.run([CONEMASK, *DEFAULT_OPERANDS, "coffee", str(ROWS), str(COLS)], cwd=native_dir, check=True,
                   stdout=subprocess.DEVNULL)
    probe = os.path.join(os.path.dirname(CONEMASK), "angle_probe")
    lines = subprocess.run([probe, *DEFAULT_OPERANDS[:3], *(str(v) for c in colours for v in c)], check=True,
                           capture_output=True, text=True).stdout.split("\n")
    return read_file(os.path.join(native_dir, "coffee.raw")), lines


def check_readout(page):
    """The readout under the pointer, at the fit and zoomed in: the sample is
    the native mask's, the angle and projection native find_angle's."""
    colours = [list(page.pixels[3 * (r * COLS + c):3 * (r * COLS + c) + 3]) for r, c in READOUT_PIXELS]
    mask, lines = native_readout(page, colours)
    page.open_coffee()
    page.settled(lambda: page.set_operands(DEFAULT_OPERANDS))
    for zoom in (0, READOUT_ZOOM):
        for (row, column), colour, line in zip(READOUT_PIXELS, colours, lines):
            check_readout_pixel(page, zoom, row, column, colour, mask, line)
        if zoom:
            check_pixel_block(page, colours[-1])


def check_readout_pixel(page, zoom, row, column, colour, mask, line):
    # Zoomed about the pixel, which stays under the same point.
    page.settled(lambda: page.js("const v = window.conemask_view; v.fit_view(); if (arguments[2] > 0) {"
                                 "const p = v.client_point(arguments[0], arguments[1]);"
                                 "v.zoom_by(arguments[2] / v.view.zoom, p.x, p.y); }", row, column, zoom))
    pointer_at(page.driver, row, column).perform()
    settle(lambda: page.js("const d = document.getElementById('readout').dataset; return [d.row, d.column];")
           == [str(row), str(column)])
    shown = page.js("return {...document.getElementById('readout').dataset};")
    where = f"the readout at ({row}, {column}), {f'{zoom}x' if zoom else 'fit'}"
    check([int(shown["row"]), int(shown["column"])] == [row, column], f"{where} names its pixel: {shown}")
    if [int(shown["row"]), int(shown["column"])] != [row, column]:
        return
    sample = int.from_bytes(mask[2 * (row * COLS + column):2 * (row * COLS + column) + 2], "little", signed=True)
    angle_bits, projection_bits = (int(v) for v in line.split())
    check(shown["rgb"] == " ".join(map(str, colour)), f"{where}: RGB {shown['rgb']}, not {colour}")
    check(int(shown["sample"]) == sample, f"{where}: sample {shown['sample']}, the program writes {sample}")
    check(float_bits(shown["angle"]) == angle_bits and float_bits(shown["projection"]) == projection_bits,
          f"{where}: angle {shown['angle']} and projection {shown['projection']} are find_angle's")


def check_pixel_block(page, colour):
    """Zoomed in, the untouched photograph (p) shows each pixel as a block of its own colour."""
    page.js("document.getElementById('stage').focus();")
    page.settled(lambda: ActionChains(page.driver).send_keys("p").perform())
    row, column = READOUT_PIXELS[-1]
    block = page.js(PIXEL_BLOCK, row, column)
    check(block == [colour] * 3, f"zoomed in, pixel ({row}, {column}) is a block of its colour: {block}")
    ActionChains(page.driver).send_keys("t").perform()


def check_zoom(page):
    """The wheel zooms about the pointer, + zooms in, 0 fits again."""
    zoom = lambda: page.js("return window.conemask_view.view.zoom")  # noqa: E731
    page.settled(lambda: page.js("window.conemask_view.fit_view();"))
    fitted = zoom()
    stage = page.driver.find_element(By.ID, "stage")
    ActionChains(page.driver).scroll_from_origin(ScrollOrigin.from_element(stage), 0, -200).perform()
    wheeled = wait_for(lambda: zoom() if zoom() > fitted else None, "the wheel's zoom")
    page.js("document.getElementById('stage').focus();")
    ActionChains(page.driver).send_keys("+").perform()
    plussed = zoom()
    ActionChains(page.driver).send_keys("0").perform()
    check(wheeled > fitted and abs(plussed / wheeled - 1.5) < 1e-9 and zoom() == fitted,
          f"the wheel, + and 0 zoom: {fitted}, {wheeled}, {plussed}, {zoom()}")


def check_pan(page):
    """A drag with the space bar held pans, and takes nothing."""
    regions = page.js("return window.conemask_tuner.regions.length")
    texts = page.field_texts()
    before = page.js("return {...window.conemask_view.view}")
    pan = pointer_at(page.driver, 200, 300, ActionChains(page.driver).key_down(Keys.SPACE)).click_and_hold()
    pan.move_by_offset(-50, -30).release().key_up(Keys.SPACE).perform()
    after = page.js("return {...window.conemask_view.view}")
    moved = [(after["left"] - before["left"]) * after["zoom"], (after["top"] - before["top"]) * after["zoom"]]
    check(all(abs(m - e) < 1e-6 for m, e in zip(moved, (50, 30))) and page.field_texts() == texts and
          page.js("return window.conemask_tuner.regions.length") == regions,
          f"a drag with the space bar held pans by it, taking nothing: {moved}")
