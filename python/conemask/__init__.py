# SPDX-License-Identifier: MIT
from . import _conemask
from ._conemask import __doc__, kernel, theta_from_text  # noqa: F401

__all__ = ["mask", "kernel", "theta_from_text"]


# A Python function, unlike the native one, pickles by its name: Dask and
# multiprocessing can send it to other processes.
def mask(rgb, reference, theta, thresh, out=None):
    return _conemask.mask(rgb, reference, theta, thresh, out)


mask.__doc__ = _conemask.mask.__doc__
