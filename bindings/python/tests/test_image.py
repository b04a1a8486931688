# SPDX-License-Identifier: MIT
# conemask.read_image and conemask.mask_image on the shared table of
# photographs (tests/images/table.tsv): each `equal` row gives ImageMagick's
# raster, each `refused` row raises ImageError with the row's fragment; and
# mask_image gives the mask conemask-image writes.
import os
import subprocess
import sys

import numpy as np
import pytest

import conemask

SOURCE = os.environ.get("CONEMASK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
TABLE = os.path.join(SOURCE, "tests", "images", "table.tsv")


def table_rows():
    with open(TABLE, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, expected, _ = line.rstrip("\n").split("\t")
                yield pytest.param(name, expected, id=name)


@pytest.fixture(scope="session")
def fixtures(tmp_path_factory):
    """The directory holding the table's files: CONEMASK_FIXTURES when the
    build made them, else made here."""
    made = os.environ.get("CONEMASK_FIXTURES")
    if made and os.path.exists(os.path.join(made, "manifest.tsv")):
        return made
    out = str(tmp_path_factory.mktemp("fixtures"))
    status = subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "images", "make_fixtures.py"), out],
                            timeout=900).returncode
    if status == 77:
        pytest.skip("ImageMagick's convert is not installed: the table cannot be made")
    assert status == 0, "the table's files could not be made"
    return out


@pytest.fixture(scope="session")
def shapes(fixtures):
    with open(os.path.join(fixtures, "manifest.tsv"), encoding="utf-8") as f:
        return {name: (int(rows), int(cols)) for name, _, _, cols, rows in (l.rstrip("\n").split("\t") for l in f)}


@pytest.mark.parametrize("name, expected", table_rows())
def test_read_image_as_imagemagick_reads(fixtures, shapes, name, expected):
    path = os.path.join(fixtures, name)
    if expected.startswith("refused:"):
        with pytest.raises(conemask.ImageError) as raised:
            conemask.read_image(path)
        assert expected.partition(":")[2] in str(raised.value)
        assert str(raised.value).startswith(path + ": ")
        return
    rgb = conemask.read_image(path)
    assert rgb.dtype == np.uint8 and rgb.flags.c_contiguous
    assert rgb.shape == (*shapes[name], 3)
    expected_rgb = np.fromfile(path + ".rgb", np.uint8).reshape(rgb.shape)
    differing = np.count_nonzero(rgb != expected_rgb)
    assert differing == 0, f"{differing} samples differ from ImageMagick's"


# Rows whose turn or colour rule matters most: the mask of conemask-image.
@pytest.mark.parametrize("name", ["jpeg-orientation-6-long-II.jpg", "jpeg-orientation-7-short-MM.jpg",
                                  "png-rgb8-gamma1.0.png", "jpeg-cmyk-adobe.jpg", "tiff-orientation-8.tif",
                                  "webp-lossless.webp", "png-palette4-13x17-adam7.png"])
def test_mask_image_is_what_conemask_image_writes(fixtures, tmp_path, name):
    program = os.environ.get("CONEMASK_IMAGE")
    if not program:
        pytest.skip("CONEMASK_IMAGE does not name the built conemask-image")
    path = os.path.join(fixtures, name)
    subprocess.run([program, "--output", str(tmp_path / "mask.raw"), path, "180", "40", "15", "0.5", "10"],
                   check=True, timeout=60)
    rows, cols, _ = conemask.read_image(path).shape
    written = np.fromfile(tmp_path / "mask.raw", "<i2").reshape(rows, cols)
    assert np.array_equal(conemask.mask_image(path, (180, 40, 15), 0.5, 10), written)


@pytest.mark.parametrize("kind", ["missing", "directory", "fifo"])
def test_read_image_refuses_what_is_no_photograph(tmp_path, kind):
    path = tmp_path / "photo.jpg"
    if kind == "directory":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)  # no writer: reading it would wait forever
    with pytest.raises(conemask.ImageError, match="photo.jpg: "):
        conemask.read_image(path)
