# SPDX-License-Identifier: MIT
"""Bad inputs: files the page refuses and operands the program reads
leniently or refuses, each with its message, and the page goes on working;
a refused file leaves nothing of the picture before it; a dropped .rgb
opens once its size is typed; a longer .rgb opens as the program reads it."""
import os
import subprocess

from page_driver import COLS, CONEMASK, DEFAULT_OPERANDS, ROWS, check, read_file, wait_for

# Files the page refuses: what each is, the file (written by
# write_bad_files, or the example), the rows and cols typed, and the message.
FILE_FAULTS = [
    ("a file that is not an image", "notes.png", None, "is not an image the page can open"),
    ("an .rgb too short", "short.rgb", (ROWS, COLS), "holds 719999 bytes, fewer than 400 x 600 x 3"),
    ("rows of 0", "coffee", (0, COLS), 'rows must be a whole number above 0, not "0"'),
    ("cols of 2.5", "coffee", (ROWS, 2.5), 'cols must be a whole number above 0, not "2.5"'),
    ("an image that is too large", "huge.png", None, "more than the page takes (100 megapixels)"),
]

# Operand texts in their fields: the warning each gives, and whether the
# program refuses it (no command then).
OPERAND_FAULTS = [
    ("thresh", "abc", 'thresh: conemask reads "abc" as 0', False),
    ("thresh", "12abc", 'thresh: conemask reads "12abc" as 12', False),
    ("thresh", "1e3", 'thresh: conemask reads "1e3" as 1', False),
    ("thresh", "0x20", 'thresh: conemask reads "0x20" as 0', False),
    ("thresh", "4294967306", 'thresh: conemask reads "4294967306" as 10', False),
    ("red", "12abc", 'red: conemask reads "12abc" as 12', False),
    ("blue", " 15", 'blue: conemask reads " 15" as 15', False),
    ("theta", "0.1rad", 'theta: conemask reads "0.1rad" as 0.1', False),
    ("theta", "1" * 100, "theta: more than 99 characters, which conemask refuses", True),
    ("green", "4" * 100, "green: more than 99 characters, which conemask refuses", True),
]


def check_inputs(page, native_dir):
    bad_dir = os.path.join(page.work, "bad")
    os.mkdir(bad_dir)
    paths = write_bad_files(page, bad_dir)
    for what, name, size, expected in FILE_FAULTS:
        page.load()
        page.open_file(paths[name], *(size or ()))
        check(expected in page.file_message(), f"{what} gives its message: {page.file_message()!r}")
    check_refused_clears(page, paths["notes.png"])
    check_dropped_rgb(page)
    check_longer_rgb(page, native_dir)
    page.open_coffee()
    for row in OPERAND_FAULTS:
        check_operand_fault(page, *row)
    check(page.state() == "ready", "the page still works after the bad inputs")


def write_bad_files(page, bad_dir):
    """The files of FILE_FAULTS, by name."""
    contents = {
        "notes.png": b"not a picture\n",
        "short.rgb": page.pixels[:-1],
        # A PNG header that states 20000 x 20000 pixels: refused before decoding.
        "huge.png": bytes.fromhex("89504e470d0a1a0a0000000d49484452") + (20000).to_bytes(4, "big") * 2 +
        bytes.fromhex("0802000000") + bytes(4),
    }
    paths = {"coffee": page.coffee}
    for name, data in contents.items():
        paths[name] = os.path.join(bad_dir, name)
        with open(paths[name], "wb") as f:
            f.write(data)
    return paths


def check_refused_clears(page, not_image):
    """A refused file leaves nothing of the picture before it."""
    page.open_coffee()
    page.js("window.conemask_tuner.regions.push({left: 1, top: 1, right: 9, bottom: 9, mode: 'take', "
            "selected: null});")
    page.open_file(not_image)
    left = page.js("""const c = document.getElementById('picture');
                 const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
                 return [d.some((v) => v !== 0), document.getElementById('stats').textContent,
                         document.getElementById('command').value, document.getElementById('download').disabled,
                         window.conemask_tuner.regions.length];""")
    check(left == [False, "", "", True, 0], f"a refused file clears the picture, regions, count and command: {left}")


def check_dropped_rgb(page):
    """A dropped .rgb without its size opens once rows and cols are typed."""
    page.load()
    page.element("raw-rows").clear()
    page.element("raw-cols").clear()
    page.js("const i = document.createElement('input'); i.type = 'file'; i.id = 'test-drop'; "
            "document.body.append(i);")
    page.element("test-drop").send_keys(page.coffee)
    before = page.opens()
    page.js("""const t = new DataTransfer(); t.items.add(document.getElementById('test-drop').files[0]);
          document.getElementById('stage').dispatchEvent(new DragEvent('drop', {dataTransfer: t}));""")
    wait_for(lambda: page.opens() > before, "the dropped file")
    check("Type the raster's rows to open coffee.rgb" in page.file_message(), f"a dropped .rgb asks for its size: "
          f"{page.file_message()!r}")
    before = page.opens()
    page.type_into("raw-rows", str(ROWS))
    page.type_into("raw-cols", str(COLS))
    page.element("raw-rows").click()
    wait_for(lambda: page.opens() > before and page.state() == "ready" and
             page.js("return window.conemask_tuner.raster && window.conemask_tuner.raster.cols") == COLS,
             "the dropped file to reopen")
    check(page.file_message() == "", f"typing rows and cols opens the dropped .rgb: {page.file_message()!r}")


def check_longer_rgb(page, native_dir):
    """An .rgb longer than rows x cols x 3 opens as the program reads it."""
    page.load()
    page.open_file(page.coffee, ROWS - 1, COLS)
    check("coffee.rgb holds 1,800 bytes more than 399 x 600 x 3 = 718,200" in page.file_message(),
          f"a longer .rgb opens with a note: {page.file_message()!r}")
    command = page.value("command").split()
    check(command[-2:] == [str(ROWS - 1), str(COLS)], f"a longer .rgb's command has its rows and cols: {command}")
    subprocess.run([CONEMASK, *command[1:]], cwd=native_dir, check=True, stdout=subprocess.DEVNULL)
    check(page.download() == read_file(os.path.join(native_dir, "coffee.raw")), "a longer .rgb gives the program's mask")


def check_operand_fault(page, field, text, expected, refused):
    """Operands the program reads leniently are said so, each the same way;
    one it refuses leaves no command, no copy and no download."""
    page.set_operands(DEFAULT_OPERANDS)
    page.type_into(field, text)
    wait_for(lambda: field in page.message(), f"the message for {field} {text[:20]!r}")
    check(expected in page.message(), f"{field} {text[:20]!r} gives its message: {page.message()!r}")
    shown = page.js("return ['command', 'copy', 'download'].map((id) => { const e = document.getElementById(id); "
                    "return id === 'command' ? e.value !== '' : !e.disabled; });")
    check(shown == [not refused] * 3, f"{field} {text[:20]!r}: command, copy and download offered {shown}")
