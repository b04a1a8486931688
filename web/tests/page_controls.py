# SPDX-License-Identifier: MIT
"""Picking from the keyboard, the keys listed, Copy, the histogram, and the
settings that travel: the URL fragment, storage, a pasted command line."""
import math

from page_driver import COLS, ActionChains, check, pointer_at, settle, wait_for
from selenium.webdriver.common.keys import Keys

# Pasted command lines: the operand fields they set, the command the page
# then shows (None: the line is refused) and the messages it gives.
PASTED = [
    ("conemask 60 120 40 0.1 20 coffee 400 600", ["60", "120", "40", "0.1", "20"],
     "conemask 60 120 40 0.1 20 coffee 400 600", []),
    ("conemask 12abc 40 15 1e3 0x20 coffee 400 600", ["12abc", "40", "15", "1e3", "0x20"],
     "conemask 12 40 15 1000 0 coffee 400 600",
     ['red: conemask reads "12abc" as 12', 'thresh: conemask reads "0x20" as 0']),
    ("./conemask '180' \"40\" 15 .12 1e3 coffee 400 600", ["180", "40", "15", ".12", "1e3"],
     "conemask 180 40 15 0.12 1 coffee 400 600", ['thresh: conemask reads "1e3" as 1']),
    ("conemask 180 40 15 0.12 10 coffee 0400abc 600", ["180", "40", "15", "0.12", "10"],
     "conemask 180 40 15 0.12 10 coffee 400 600", ['rows: conemask reads "0400abc" as 400']),
    ("conemask 180 40 15 0.12 10 coffee", None, None, ["eight operands"]),
    ("conemask 180 40 15 '0.12 10 coffee 400 600", None, None, ["a quote that is not closed"]),
]
# The operands a pasted line replaces, and the command they give.
BEFORE_PASTING = (["1", "2", "3", "0.5", "7"], "conemask 1 2 3 0.5 7 coffee 400 600")

# The operands last set before the fragments are loaded, and the fragment they give.
KEPT_OPERANDS = ["60", "120", "40", "0.1", "20"]
KEPT_FRAGMENT = "#ref=60,120,40&theta=0.1&thresh=20"
# URL fragments, on a page whose last operands were KEPT_OPERANDS: the
# operand fields after loading it, and the message.
FRAGMENTS = [
    ("#ref=129,22,6&theta=0.3&thresh=-128", ["129", "22", "6", "0.3", "-128"], ""),
    ("#theta=0.25", ["60", "120", "40", "0.25", "20"], ""),
    ("#theta=inf", ["60", "120", "40", "inf", "20"], ""),
    ("#ref=1,2&theta=0.1", ["60", "120", "40", "0.1", "20"], "ref must be three whole numbers"),
    ("#theta=abc&thresh=5", ["60", "120", "40", "0.1", "20"], "theta must be a number of radians"),
    ("#colour=red", ["60", "120", "40", "0.1", "20"], 'it holds "colour"'),
    ("#%E0%A4%A", ["60", "120", "40", "0.1", "20"], "were ignored"),
]
KEPT = ("const k = JSON.parse(localStorage.getItem('conemask-tuner-operands'));"
        "return k && [k.red, k.green, k.blue, k.theta, k.thresh];")


def check_controls(page):
    check_keyboard(page)
    check_histogram(page)
    page_url = check_travel(page)
    for row in FRAGMENTS:
        check_fragment(page, page_url, *row)
    page.open_coffee()
    for row in PASTED:
        check_pasted(page, *row)


def check_keyboard(page):
    """Picking from the keyboard: the cursor starts where the pointer was."""
    page.settled(lambda: page.js("window.conemask_view.fit_view();"))
    pointer_at(page.driver, 200, 300).perform()
    page.js("document.getElementById('stage').focus();")
    ActionChains(page.driver).send_keys(Keys.RIGHT * 3 + Keys.DOWN * 2).perform()
    wait_for(lambda: page.js("return document.getElementById('readout').dataset.column") == "303", "the cursor")
    check(page.js("return document.getElementById('readout').dataset.row") == "202", "the readout follows the cursor")
    ActionChains(page.driver).send_keys(Keys.ENTER).perform()
    p = 3 * (202 * COLS + 303)
    wait_for(lambda: page.field_texts()[:3] == [str(v) for v in page.pixels[p:p + 3]], "Enter to take the pixel")
    check(True, "Enter takes the cursor's pixel")
    # The rectangle's mean becomes the reference while the regions give it.
    page.js("const box = document.getElementById('reference-from-regions'); if (box && !box.checked) box.click();"
            "document.getElementById('stage').focus();")
    ActionChains(page.driver).key_down(Keys.SHIFT).send_keys(Keys.RIGHT * 4 + Keys.DOWN * 3).key_up(Keys.SHIFT) \
        .send_keys(Keys.ENTER).perform()
    pixels = page.pixels
    sums = [sum(pixels[3 * (r * COLS + c) + k] for r in range(202, 206) for c in range(303, 308)) for k in range(3)]
    mean = [str(int(v / 20 + 0.5)) for v in sums]
    settle(lambda: page.field_texts()[:3] == mean)
    check(page.field_texts()[:3] == mean, f"Shift with the arrows takes a rectangle's mean {mean}: "
          f"{page.field_texts()[:3]}")
    ActionChains(page.driver).send_keys("?").perform()
    listed = page.js("return [document.getElementById('keys').open, "
                     "document.getElementById('keys-list').children.length];")
    check(listed[0] and listed[1] >= 30, f"? lists the keys: {listed}")
    ActionChains(page.driver).send_keys(Keys.ESCAPE).perform()
    page.element("copy").click()
    wait_for(lambda: page.element("copied").text, "the copy's note")
    check(page.element("copied").text == "copied", f"Copy says so: {page.element('copied').text!r}")


def check_histogram(page):
    """A click on the histogram sets theta to the angle there."""
    histogram = page.element("histogram")
    page.js("arguments[0].scrollIntoView({block: 'center'});", histogram)
    ActionChains(page.driver).move_to_element_with_offset(histogram, -histogram.size["width"] // 4, 0).click() \
        .perform()
    wait_for(lambda: abs(float(page.field_texts()[3]) - math.pi / 4) < 0.01, "a click on the histogram")
    check(True, "a click on the histogram at a quarter sets theta to 45 degrees")


def check_travel(page):
    """The fragment follows the operands, and a reload restores them: the page's address without its fragment."""
    page.set_operands(KEPT_OPERANDS)
    wait_for(lambda: page.driver.current_url.endswith(KEPT_FRAGMENT), "the fragment")
    check(True, "the URL's fragment follows the operands")
    page_url = page.driver.current_url.split("#")[0]
    page.driver.get(page_url)
    wait_for(lambda: page.state() == "ready", "the page to start")
    check(page.field_texts() == KEPT_OPERANDS, f"a reload restores the operands: {page.field_texts()}")
    return page_url


def check_fragment(page, page_url, fragment, expected, said):
    """A link restores the operands; a fragment that does not parse is ignored."""
    page.driver.get("about:blank")
    page.driver.get(page_url + fragment)
    wait_for(lambda: page.state() in ("ready", "broken"), "the page to start")
    check(page.field_texts() == expected, f"the fragment {fragment} gives the fields {page.field_texts()}")
    check(said in page.message() if said else "ignored" not in page.message(),
          f"the fragment {fragment} gives the message {page.message()!r}")
    # Once the page has kept what it shows, the next row starts from the same stored operands.
    wait_for(lambda: page.js(KEPT) == page.field_texts(), "the operands kept")
    page.js("localStorage.setItem('conemask-tuner-operands', JSON.stringify("
            "{red: '60', green: '120', blue: '40', theta: '0.1', thresh: '20'}));")


def check_pasted(page, line, texts, command, said):
    """A pasted command line sets every operand, as the program reads them."""
    page.set_operands(BEFORE_PASTING[0])
    page.type_into("pasted", line + Keys.ENTER)
    wait_for(lambda: (page.value("command") == command) if command else page.message(), f"the pasted line {line}")
    if texts:
        check(page.field_texts() == texts, f"{line} fills the fields: {page.field_texts()}")
    shown = page.value("command")
    check(shown == (command or BEFORE_PASTING[1]), f"{line} gives the command {shown}")
    for text in said:
        check(text in page.message(), f"{line} says {text!r}: {page.message()!r}")
    if not said:
        check(page.message() == "", f"{line} gives no message: {page.message()!r}")
