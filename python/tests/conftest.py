# SPDX-License-Identifier: MIT
# The command-line program the module is compared with: CONEMASK names it
# (the build's conemask, as ctest passes it), else the one on PATH.
import os
import shutil
import subprocess

import numpy as np
import pytest


@pytest.fixture(scope="session")
def program():
    path = os.environ.get("CONEMASK") or shutil.which("conemask")
    if not path:
        pytest.fail("no conemask program: set CONEMASK to the built program")
    return os.path.abspath(path)


@pytest.fixture
def run_program(program, tmp_path):
    """The program's mask of `rgb` (uint8, shape (..., 3)) as int16 samples in
    raster order, with the operands given as the texts a shell would pass."""

    def run(rgb, reference, theta_text, thresh):
        pixels = rgb.size // 3
        cols = rgb.shape[-2] if rgb.ndim > 1 else 1
        rgb.tofile(tmp_path / "raster.rgb")
        operands = [*map(str, reference), theta_text, str(thresh), "raster", str(pixels // cols), str(cols)]
        subprocess.run([program, *operands], cwd=tmp_path, stdout=subprocess.DEVNULL, check=True)
        return np.fromfile(tmp_path / "raster.raw", "<i2")

    return run
