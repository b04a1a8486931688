# SPDX-License-Identifier: MIT
"""What the browser tests share: the command line's directories, the
browser started and ended, the tally of checks, waits, the pointer on a
raster pixel, downloads, and `Page`, the tuner page's own controls.

Exits 77 (skipped) on import where Chromium, its driver or Selenium is
missing.
"""
import os
import shutil
import signal
import sys
import time

try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.chrome.service import Service
except ImportError:
    print("note: python3-selenium is not installed; the browser tests skipped")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if not CHROMIUM or not CHROMEDRIVER:
    print("note: chromium or chromium-driver is not installed; the browser tests skipped")
    sys.exit(77)

PAGE, CONEMASK, EXAMPLES = (os.path.abspath(p) for p in sys.argv[1:4])
SCREENSHOT = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--screenshot" else None
ROWS, COLS = 400, 600
# The real ImageMagick (another convert may come first on PATH); the lines
# the page prints run with its directory first.
MAGICK = "/usr/bin/convert"
MAGICK_PATH = {**os.environ, "PATH": "/usr/bin:" + os.environ.get("PATH", "")}
ADOBE_RGB = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"
# A wait's bound: far above any wait, even on a loaded machine, and below
# ctest's 900 s for the whole test, so that a stalled page is named.
TIMEOUT = 300
OPERAND_FIELDS = ("red", "green", "blue", "theta", "thresh")
DEFAULT_OPERANDS = ("180", "40", "15", "0.12", "10")

failures = []
passes = 0


def check(condition, what):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(what)
        print(f"FAIL {what}")


def wait_for(predicate, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise TimeoutError(what)


def settle(predicate):
    """Waits a while for what the page does after an answer from its worker; the check follows."""
    try:
        wait_for(predicate, "the page to settle")
    except TimeoutError:
        pass


# Carried in the environment of chromedriver and of everything it starts,
# Chromium's crash handler too, which leaves their process group.
BROWSER_MARK = ("CONEMASK_PAGE_TEST_BROWSER", str(os.getpid()))


def start_browser(profile, downloads):
    """chromedriver and the Chromium it starts, in a session of their own,
    marked in their environment: end_browser ends them all."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1400,2000"):
        options.add_argument(flag)
    service = Service(CHROMEDRIVER, env={**os.environ, BROWSER_MARK[0]: BROWSER_MARK[1]},
                      popen_kw={"start_new_session": True})
    try:
        driver = webdriver.Chrome(service=service, options=options)
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    except BaseException:
        end_browser(service, None)
        raise
    return driver


def end_browser(service, driver):
    """Asks the browser to quit, then kills whatever is left of it (a browser
    that no longer answers, its renderers, its crash handler)."""
    try:
        if driver is not None:
            driver.quit()
    finally:
        if getattr(service, "process", None) is not None:
            try:
                os.killpg(service.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        mark = ("=".join(BROWSER_MARK)).encode()
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if mark in environ.read().split(b"\0"):
                        os.kill(int(entry), signal.SIGKILL)
            except (OSError, ValueError):
                continue  # not a process, gone, or not ours to read


def pointer_at(driver, row, column, chain=None):
    """Actions (`chain`, or new ones) with the pointer moved to a raster
    pixel's centre where the page's view shows it now, to the nearest whole
    CSS pixel of the window."""
    chain = chain or ActionChains(driver)
    # Kept on the picture: a corner pixel's centre may round to just outside it.
    x, y = driver.execute_script("""const p = window.conemask_view.client_point(arguments[0], arguments[1]);
        const b = document.getElementById('picture').getBoundingClientRect();
        const inside = (v, low, high) => Math.min(Math.floor(high - 0.01), Math.max(Math.ceil(low), Math.round(v)));
        return [inside(p.x, b.left, b.right), inside(p.y, b.top, b.bottom)];""", row, column)
    chain.w3c_actions.pointer_action.move_to_location(x, y)
    return chain


def rows_cols(printed):
    return f"{printed[0]} x {printed[1]}"


def download(driver, downloads, base="coffee"):
    for name in os.listdir(downloads):
        os.remove(os.path.join(downloads, name))
    driver.find_element(By.ID, "download").click()
    path = os.path.join(downloads, base + ".raw")
    wait_for(lambda: os.path.exists(path) and not any(n.endswith(".crdownload") for n in os.listdir(downloads)),
             "the download")
    with open(path, "rb") as f:
        return f.read()


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def mean_colour(pixels, rectangles):
    """The rounded mean of the example's pixels in the rectangles (left, top, right, bottom, inclusive)."""
    sums, count = [0, 0, 0], 0
    for left, top, right, bottom in rectangles:
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                count += 1
                for c in range(3):
                    sums[c] += pixels[3 * (y * COLS + x) + c]
    return [int(s / count + 0.5) for s in sums]


class Page:
    """The tuner page in `driver`, worked through its own controls; `work`
    is a scratch directory, `downloads` where the browser saves."""

    def __init__(self, driver, work, downloads):
        self.driver, self.work, self.downloads = driver, work, downloads
        self.js = driver.execute_script
        self.coffee = os.path.join(EXAMPLES, "coffee.rgb")
        self.pixels = read_file(self.coffee)

    def element(self, name):
        return self.driver.find_element(By.ID, name)

    def value(self, name):
        return self.element(name).get_attribute("value")

    def state(self):
        return self.js("return document.body.dataset.state")

    def load(self):
        """A fresh page with the default operands, whatever an earlier one
        kept: the link's operands win over the kept ones."""
        self.driver.get("about:blank")
        self.driver.get("file://" + os.path.join(PAGE, "conemask-tuner.html") + "#ref=180,40,15&theta=0.12&thresh=10")
        wait_for(lambda: self.state() in ("ready", "broken"), "the page to start")
        check(self.state() == "ready", "the page starts its module from file://")

    def updates(self):
        return int(self.js("return window.conemask_tuner.updates"))

    def opens(self):
        return int(self.js("return document.body.dataset.opens || 0"))

    def type_into(self, field, text):
        box = self.element(field)
        box.clear()
        box.send_keys(text)

    def open_file(self, path, rows=None, cols=None):
        if rows is not None:
            self.type_into("raw-rows", str(rows))
            self.type_into("raw-cols", str(cols))
        before = self.opens()
        self.element("image-file").send_keys(path)
        wait_for(lambda: self.opens() > before and self.js("return document.body.dataset.opened") ==
                 os.path.basename(path) and self.state() in ("ready", "refused"), f"the page to open {path}")

    def open_coffee(self):
        """A fresh page with the example open."""
        self.load()
        self.open_file(self.coffee, ROWS, COLS)

    def message(self):
        return self.element("message").text

    def file_message(self):
        return self.element("file-message").text

    def field_texts(self):
        return [self.value(name) for name in OPERAND_FIELDS]

    def set_operands(self, texts):
        for name, text in zip(OPERAND_FIELDS, texts):
            self.type_into(name, text)

    def reference(self):
        return [int(self.value(c)) for c in ("red", "green", "blue")]

    def settled(self, action):
        """Does `action`, then waits for the page's update after it."""
        before = self.updates()
        action()
        wait_for(lambda: self.updates() > before, "an update")

    def download(self, base="coffee"):
        return download(self.driver, self.downloads, base)
