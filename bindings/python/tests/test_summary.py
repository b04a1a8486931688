# SPDX-License-Identifier: MIT
# conemask.summary against conemask-image --summary: the same row, byte for
# byte, for the PNG of the same raster; and the numbers beside the row.
import os
import shutil
import subprocess

import numpy as np
import pytest

import conemask

CONVERT = "/usr/bin/convert"


@pytest.fixture(scope="session")
def image_program():
    path = os.environ.get("CONEMASK_IMAGE") or shutil.which("conemask-image")
    if not path:
        pytest.skip("note: conemask-image is not built here; skipped")
    if not os.access(CONVERT, os.X_OK):
        pytest.skip("note: ImageMagick's convert is not installed; skipped")
    return os.path.abspath(path)


def program_row(image_program, tmp_path, rgb, name, operands):
    """conemask-image's summary of `rgb` written as the PNG `name`."""
    rows, cols, _ = rgb.shape
    rgb.tofile(tmp_path / "raster.rgb")
    subprocess.run([CONVERT, "-size", f"{cols}x{rows}", "-depth", "8", "rgb:raster.rgb", "png:" + name],
                   cwd=tmp_path, check=True)
    done = subprocess.run([image_program, "--summary", "-", "--no-mask", "--", name, *operands],
                          cwd=tmp_path, check=True, capture_output=True)
    header, row = done.stdout.decode().split("\r\n", 1)
    assert header + "\r\n" == conemask.summary_header
    return row


def example():
    path = os.path.join(os.environ.get("CONEMASK_EXAMPLES", "examples"), "coffee.rgb")
    return np.fromfile(path, np.uint8).reshape(400, 600, 3)


def random_raster(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape, np.uint8)


# Pixels whose samples are 0 though selected: (1, 0, 0) along (255, 0, 0)
# projects to 0.57, above -1; black is never selected.
ZERO_SAMPLES = np.array([[[1, 0, 0], [0, 0, 0], [0, 255, 0]], [[255, 0, 0], [128, 0, 0], [2, 1, 0]]], np.uint8)

CASES = [
    # name, raster, file, reference, theta text, thresh, selected expected (None: not checked)
    ("example", example, "coffee.png", (180, 40, 15), "0.12", 10, 67073),
    ("negative thresh, zero samples", lambda: ZERO_SAMPLES, "tiny.png", (255, 0, 0), "0.5", -1, 4),
    ("thresh 0", lambda: random_raster((31, 17, 3), 1), "r.png", (60, 120, 40), "0.4", 0, None),
    ("every direction", lambda: random_raster((20, 30, 3), 2), "all.png", (40, 90, 200), "4", -128, None),
    ("none selected", lambda: random_raster((5, 7, 3), 3), "none.png", (1, 2, 3), "nan", 0, 0),
    ("negative samples", lambda: random_raster((16, 16, 3), 4), "neg.png", (-30, 200, -7), "2.5", -2, None),
    ("name needing quotes", lambda: ZERO_SAMPLES, 'say "a,b".png', (255, 0, 0), "0.5", -1, 4),
]


@pytest.mark.parametrize("name, raster, file, reference, theta_text, thresh, selected", CASES,
                         ids=[case[0] for case in CASES])
def test_summary_is_the_programs_row(image_program, tmp_path, name, raster, file, reference, theta_text, thresh,
                                     selected):
    rgb = raster()
    operands = [*map(str, reference), theta_text, str(thresh)]
    summary = conemask.summary(rgb, reference, conemask.theta_from_text(theta_text), thresh, file)
    assert summary.line == program_row(image_program, tmp_path, rgb, file, operands)
    assert (summary.rows, summary.cols) == rgb.shape[:2]
    if selected is not None:
        assert summary.selected == selected
    # The numbers beside the row, from the samples and the definition's
    # selection: a nonzero sample is always selected.
    samples = conemask.mask(rgb, reference, conemask.theta_from_text(theta_text), thresh)
    assert summary.selected >= np.count_nonzero(samples)
    assert summary.share_percent == pytest.approx(100 * summary.selected / samples.size)
    if summary.selected == 0:
        assert summary.mean_sample is None and summary.largest_sample is None


def test_a_raster_of_another_shape_is_refused():
    with pytest.raises(ValueError, match="rows, cols, 3"):
        conemask.summary(np.zeros((4, 3), np.uint8), (1, 2, 3), 0.1, 0)
