#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Makes the shared table's photographs (table.tsv beside this script) in a
directory, with the tools a user has, and ImageMagick's raster of each one
that is expected equal.

make_fixtures.py DIR   writes DIR/NAME for each row, DIR/NAME.rgb for each
                       `equal` row, and DIR/manifest.tsv: name, expected
                       (equal or refused), the message fragment, cols, rows.
Exits 77 when ImageMagick's convert is missing, 1 when a row cannot be made.
"""
import concurrent.futures
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CONVERT = "/usr/bin/convert"
EXAMPLES = os.path.join(HERE, "..", "..", "examples")

# The helpers every recipe may use: $OUT is the file to write, $B the base
# pictures, made once before the rows.
PRELUDE = f"""
set -euo pipefail
im() {{ {CONVERT} "$@"; }}
png_edit() {{ /usr/bin/python3 {HERE}/png_edit.py "$@"; }}
jpeg_edit() {{ /usr/bin/python3 {HERE}/jpeg_edit.py "$@"; }}
coffee="-size 600x400 -depth 8 rgb:{EXAMPLES}/coffee.rgb"
small="$coffee -resize 40x27!"
# A PNG made by ImageMagick with `$1` as options, every ancillary chunk
# dropped, then the edit steps that follow.
png() {{ local options=$1; shift; im $small $options "$OUT.made.png"; png_edit "$OUT.made.png" "$OUT" strip "$@"; rm "$OUT.made.png"; }}
# The same from another source than the small picture.
png_from() {{ local source=$1 options=$2; shift 2; im $source $options "$OUT.made.png"; png_edit "$OUT.made.png" "$OUT" strip "$@"; rm "$OUT.made.png"; }}
jpeg() {{ im $small "$@" "jpg:$OUT"; }}
"""

BASES = f"""
im $small -quality 90 "$B/small.jpg"
im $small "$B/small.ppm"
im $small -colorspace CMYK "$B/cmyk.jpg"
/usr/bin/python3 -c "import sys; sys.stdout.buffer.write(b''.join(
    v.to_bytes(2, 'big') + (65535 - v).to_bytes(2, 'big') + (v * 7 % 65536).to_bytes(2, 'big') for v in range(65536)))" >"$B/every16.rgb"
"""


def run(script, env):
    result = subprocess.run(["bash", "-c", PRELUDE + script], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"{script.strip()}\n{result.stderr.strip()}")


def make(row, out_dir, env):
    name, expected, recipe = row
    path = os.path.join(out_dir, name)
    # A file of an earlier run would stop the tools that never overwrite.
    for old in (path, path + ".rgb"):
        if os.path.lexists(old):
            os.remove(old)
    run(recipe, dict(env, OUT=path))
    if expected != "equal":
        return [name, "refused", expected.partition(":")[2], "0", "0"]
    shape = subprocess.run([CONVERT, path, "-auto-orient", "-alpha", "off", "-colorspace", "sRGB", "-depth", "8",
                            "-write", "rgb:" + path + ".rgb", "-format", "%w %h", "info:"],
                           capture_output=True, text=True, timeout=120)
    if shape.returncode != 0:
        raise RuntimeError(f"{name}: ImageMagick cannot read it: {shape.stderr.strip()}")
    cols, rows = shape.stdout.split()
    return [name, "equal", "", cols, rows]


def rows_of(table):
    with open(table, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, expected, recipe = line.rstrip("\n").split("\t")
                yield name, expected, recipe


def main(out_dir):
    if not os.access(CONVERT, os.X_OK):
        print("note: ImageMagick's convert is not installed; the table is not made")
        return 77
    bases = os.path.join(out_dir, "base")
    os.makedirs(bases, exist_ok=True)
    env = dict(os.environ, B=bases, LC_ALL="C")
    run(BASES, env)
    table = list(rows_of(os.path.join(HERE, "table.tsv")))
    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(make, row, out_dir, env) for row in table]
        lines = []
        for future in futures:
            try:
                lines.append(future.result())
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                failed.append(str(e))
    if failed:
        print("\n".join(failed), file=sys.stderr)
        return 1
    manifest = os.path.join(out_dir, "manifest.tsv")
    with open(manifest + ".part", "w", encoding="utf-8") as f:
        f.writelines("\t".join(line) + "\n" for line in lines)
    os.replace(manifest + ".part", manifest)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
