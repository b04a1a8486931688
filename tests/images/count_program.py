#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""conemask-image on the shared table, against the README's recipe.

count_program.py FIXTURES CONEMASK_IMAGE CONEMASK
  For each row of FIXTURES/manifest.tsv (made by make_fixtures.py): an
  `equal` row's mask must be the bytes `conemask` writes for ImageMagick's
  raster, a `refused` row must end with status 1 and the fragment in the
  message. Prints the counts of equal, refused and differing, and each file
  that differs; exits 1 when any differs.
"""
import concurrent.futures
import os
import subprocess
import sys
import tempfile

# theta beyond pi and thresh -1: every pixel passes, and its sample is its
# strength along the reference, so that almost any change of colour shows.
OPERANDS = ["180", "40", "15", "3.2", "-1"]


def check(fixtures, program, conemask, line, scratch):
    name, expected, fragment, cols, rows = line.rstrip("\n").split("\t")
    path = os.path.join(fixtures, name)
    out = os.path.join(scratch, name + ".raw")
    result = subprocess.run([program, "--output", out, path, *OPERANDS], capture_output=True, text=True, timeout=120)
    if expected == "refused":
        if result.returncode == 1 and fragment in result.stderr:
            return "refused", name, ""
        return "differing", name, f"not refused with {fragment!r}: status {result.returncode} {result.stderr.strip()}"
    if result.returncode != 0:
        return "differing", name, f"status {result.returncode}: {result.stderr.strip()}"
    base = os.path.join(scratch, name + ".recipe")
    os.symlink(path + ".rgb", base + ".rgb")
    subprocess.run([conemask, *OPERANDS, base, rows, cols], check=True, capture_output=True, timeout=120)
    with open(out, "rb") as a, open(base + ".raw", "rb") as b:
        same = a.read() == b.read()
    return ("equal", name, "") if same else ("differing", name, "mask differs from the recipe's")


def main(fixtures, program, conemask):
    with open(os.path.join(fixtures, "manifest.tsv"), encoding="utf-8") as f:
        lines = f.readlines()
    counts = {"equal": 0, "refused": 0, "differing": 0}
    with tempfile.TemporaryDirectory() as scratch, concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for kind, name, why in pool.map(lambda l: check(fixtures, program, conemask, l, scratch), lines):
            counts[kind] += 1
            if kind == "differing":
                print(f"differing: {name}: {why}")
    print(" ".join(f"{k} {v}" for k, v in counts.items()))
    return 1 if counts["differing"] else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
