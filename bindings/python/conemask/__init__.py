# SPDX-License-Identifier: MIT
from collections import namedtuple
import os

import numpy as np

from . import _conemask
from ._conemask import __doc__, ImageError, kernel, read_image, summary_header, theta_from_text  # noqa: F401

__all__ = ["mask", "mask_image", "read_image", "ImageError", "summary", "Summary", "summary_header", "kernel",
           "theta_from_text"]


# A Python function, unlike the native one, pickles by its name: Dask and
# multiprocessing can send it to other processes.
def mask(rgb, reference, theta, thresh, out=None):
    return _conemask.mask(rgb, reference, theta, thresh, out)


mask.__doc__ = _conemask.mask.__doc__


def mask_image(path, reference, theta, thresh):
    """mask_image(path, reference, theta, thresh) -> numpy.ndarray

    The mask conemask-image writes for the photograph at `path`: mask() of
    read_image(path), int16 of shape (rows, cols) as shown. Raises
    ImageError with the reader's message for a file it refuses."""
    return _conemask.mask(read_image(path), reference, theta, thresh, None)


Summary = namedtuple("Summary", "rows cols selected share_percent mean_sample largest_sample line")
Summary.__doc__ = """A photograph's row of `conemask-image --summary`: its numbers, and the row's
text (`line`, CR LF at its end). mean_sample and largest_sample are None when
no pixel is selected."""


def summary(rgb, reference, theta, thresh, file=None):
    """summary(rgb, reference, theta, thresh, file=None) -> Summary

    The row `conemask-image --summary` writes for a photograph whose raster is
    `rgb` (uint8, shape (rows, cols, 3), as displayed), or for the photograph
    at the path `rgb` (read by read_image, the row naming the path as given
    unless `file` names it), from the same C++: the
    pixels the classification selects (a selected pixel's sample may be 0
    when thresh is below 1, and counts), their share in per cent, the mean
    and largest of their samples, and the CSV row naming `file`. The
    operands are taken as mask() takes them."""
    if isinstance(rgb, (str, bytes, os.PathLike)):
        file = os.fsdecode(rgb) if file is None else file
        rgb = read_image(rgb)
    file = "" if file is None else file
    samples = mask(rgb, reference, theta, thresh)
    rgb = np.ascontiguousarray(rgb)
    return Summary(*_conemask._summary(rgb, samples, reference, theta, thresh, file))
