# SPDX-License-Identifier: MIT
from . import _conemask
from ._conemask import __doc__, ImageError, kernel, read_image, theta_from_text  # noqa: F401

__all__ = ["mask", "mask_image", "read_image", "ImageError", "kernel", "theta_from_text"]


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
