# SPDX-License-Identifier: MIT
from ._conemask import __doc__, kernel, mask, theta_from_text  # noqa: F401

__all__ = ["mask", "kernel", "theta_from_text"]
