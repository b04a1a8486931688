# SPDX-License-Identifier: MIT
# Run by bench/python: build_dir example_rgb work_dir megapixels runs.
import os
import subprocess
import sys
import threading
import time

import numpy as np

import conemask

build, example, work, megapixels, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
COLS = 10000
ROWS = megapixels * 1000000 // COLS
PIXELS = ROWS * COLS
BLOCK = 1 << 16  # the program's block: 64 Ki pixels


def best_seconds(action, repeat=runs):
    """The fastest of `repeat` runs: on a shared machine, the one least disturbed."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def numpy_mask(rgb, reference, theta, thresh):
    """The cone test as a numpy user writes it: whole-array float32 steps."""
    with np.errstate(divide="ignore", invalid="ignore"):
        p = rgb.astype(np.float32)
        a = np.asarray(reference, np.float32)
        pixel_length = np.sqrt((p * p).sum(axis=-1))
        cos_angle = (p @ a) / (np.sqrt(a @ a) * pixel_length)
        projection = pixel_length * cos_angle * np.float32(255 / 445)
        selected = (np.arccos(np.clip(cos_angle, -1, 1)) < theta) & (projection > thresh)
        return np.where(selected, projection, 0).astype(np.int16)


def kernel_alone(path, block, operands):
    reference, theta, thresh = operands
    out = subprocess.run([os.path.join(build, "bench", "kernel_time"), path, str(PIXELS), str(block), str(runs),
                          *map(str, reference), theta, str(thresh)], check=True, capture_output=True, text=True)
    return float(out.stdout)


def program_run(base, operands):
    reference, theta, thresh = operands
    command = [os.path.join(build, "conemask"), *map(str, reference), theta, str(thresh), base, str(ROWS), str(COLS)]
    return best_seconds(lambda: subprocess.run(command, cwd=work, stdout=subprocess.DEVNULL, check=True))


def per_pixel(seconds, pixels=PIXELS):
    return seconds * 1e9 / pixels


def table(kind, base, operands):
    path = os.path.join(work, base + ".rgb")
    rgb = np.fromfile(path, np.uint8).reshape(ROWS, COLS, 3)
    reference, theta_text, thresh = operands
    theta = conemask.theta_from_text(theta_text)
    flat = rgb.reshape(-1, 3)
    out = np.empty(BLOCK, np.int16)

    def blocks():
        for first in range(0, PIXELS, BLOCK):
            block = flat[first:first + BLOCK]
            conemask.mask(block, reference, theta, thresh, out=out[:len(block)])

    whole_out = np.empty((ROWS, COLS), np.int16)
    program = program_run(base, operands)
    sample = rgb[: max(1, 1000000 // COLS)]  # a megapixel is enough for plain numpy
    plain = best_seconds(lambda: numpy_mask(sample, reference, np.float32(theta), thresh), max(1, runs // 2))
    differ = np.count_nonzero(numpy_mask(sample, reference, np.float32(theta), thresh)
                              != conemask.mask(sample, reference, theta, thresh))
    rows = [
        ("kernel alone, 64 Ki-pixel blocks", kernel_alone(path, BLOCK, operands)),
        ("module, 64 Ki-pixel blocks, out=", per_pixel(best_seconds(blocks))),
        ("kernel alone, whole raster", kernel_alone(path, PIXELS, operands)),
        ("module, whole raster, out=", per_pixel(best_seconds(
            lambda: conemask.mask(rgb, reference, theta, thresh, out=whole_out)))),
        ("module, whole raster, new array", per_pixel(best_seconds(
            lambda: conemask.mask(rgb, reference, theta, thresh)))),
        ("program, whole run, file to file", per_pixel(program)),
        ("plain numpy", per_pixel(plain, sample.size // 3)),
    ]
    print(f"\n{kind}: {ROWS} x {COLS} pixels, reference {reference}, theta {theta_text}, thresh {thresh}, "
          f"kernel {conemask.kernel()}, best of {runs}")
    print(f"{'':36} {'ns/pixel':>9} {'x kernel':>9}")
    kernel_blocks = rows[0][1]
    for name, ns in rows:
        print(f"{name:36} {ns:9.3f} {ns / kernel_blocks:9.2f}")
    print(f"(plain numpy gives another sample than the program for {differ} of {sample.size // 3} pixels)")

    thread_timing("whole rasters", rgb, rgb.copy(), reference, theta, thresh)
    block = flat[:BLOCK].reshape(1, BLOCK, 3)
    thread_timing("64 Ki-pixel blocks", block, block.copy(), reference, theta, thresh)


def thread_timing(label, first, second, reference, theta, thresh):
    """Two threads, each masking its own array over and over, against one:
    the GIL is let go while a mask is computed, so the two should overlap.
    Each call's start and end show how much they did, whatever else the
    machine runs."""
    arrays = (first, second)
    outs = [np.empty(first.shape[:-1], np.int16) for _ in range(2)]
    spans = [[], []]

    def work_on(i, count):
        for _ in range(count):
            start = time.perf_counter()
            conemask.mask(arrays[i], reference, theta, thresh, out=outs[i])
            spans[i].append((start, time.perf_counter()))

    work_on(0, 1)
    work_on(1, 1)
    # Enough masks that one thread works for about a second.
    repeat = max(runs, int(1 / max(best_seconds(lambda: work_on(0, 1), 3), 1e-6)))

    def threads(count):
        spans[0].clear()
        spans[1].clear()
        started = [threading.Thread(target=work_on, args=(i, repeat)) for i in range(count)]
        start = time.perf_counter()
        for thread in started:
            thread.start()
        for thread in started:
            thread.join()
        return time.perf_counter() - start

    one = min(threads(1) for _ in range(3))
    two = min(threads(2) for _ in range(3))
    # The share of the first thread's mask time during which the second's ran too.
    together, j = 0.0, 0
    for start, end in spans[0]:  # both lists are in time order
        while j < len(spans[1]) and spans[1][j][1] <= start:
            j += 1
        k = j
        while k < len(spans[1]) and spans[1][k][0] < end:
            together += min(end, spans[1][k][1]) - max(start, spans[1][k][0])
            k += 1
    busy = sum(end - start for start, end in spans[0])
    print(f"two threads against one, {label}: {two / one:.2f} x the time ({one:.3f} s, {two:.3f} s for "
          f"{repeat} masks a thread); masks of the two threads ran at once {100 * together / busy:.0f}% of the time")


subprocess.run([os.path.join(build, "bench", "make_raster"), os.path.join(work, "random.rgb"), str(ROWS), str(COLS),
                "random"], check=True)
subprocess.run([os.path.join(build, "bench", "make_raster"), os.path.join(work, "photo.rgb"), str(ROWS), str(COLS),
                example, "400", "600"], check=True)
table("photograph", "photo", ((60, 120, 40), "0.1", 20))
table("random bytes", "random", ((60, 120, 40), "0.1", 20))
table("everything kept", "photo", ((60, 120, 40), "3.2", -128))
