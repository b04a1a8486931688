# SPDX-License-Identifier: MIT
# pip builds the module from a clone with bindings/python/pyproject.toml, offline from
# Debian's packages, into a wheel that gives the same mask as the build's and
# carries the repository's version.
import importlib.util
import os
import sys
import zipfile

import numpy as np
import pytest

import conemask

# Looked for, not imported: setuptools imported beside numpy upsets distutils.
for needed, package in [("pip", "python3-pip"), ("setuptools", "python3-setuptools")]:
    if importlib.util.find_spec(needed) is None:
        pytest.skip(f"Debian's {package} is not installed: pip's build is not tried", allow_module_level=True)


# pip's build (cmake and ninja under it) runs in a session of its own, ended
# whole when it fails or outlives the test's time.
def test_pip_builds_a_wheel_of_the_same_module(run_in_group, time_left, tmp_path):
    source = os.path.join(os.environ["CONEMASK_SOURCE"], "bindings", "python")
    build = run_in_group([sys.executable, "-m", "pip", "wheel", "--no-index", "--no-build-isolation", "--no-deps",
                          "--no-cache-dir", "-q", "-w", str(tmp_path / "wheel"), source], time_left())
    assert build.returncode == 0, build.stderr
    (wheel,) = (tmp_path / "wheel").iterdir()
    with open(os.path.join(os.environ["CONEMASK_SOURCE"], "VERSION"), encoding="ascii") as version:
        assert wheel.name.startswith(f"conemask-{version.readline().strip()}-")
    zipfile.ZipFile(wheel).extractall(tmp_path / "site")
    rgb = np.fromfile(os.path.join(os.environ["CONEMASK_EXAMPLES"], "coffee.rgb"), np.uint8)
    script = ("import sys, numpy as np, conemask; print(conemask.__file__); "
              "conemask.mask(np.fromfile(sys.argv[1], np.uint8).reshape(-1, 3), (180, 40, 15), 0.12, 10).tofile(sys.argv[2])")
    run = run_in_group([sys.executable, "-c", script, os.path.join(os.environ["CONEMASK_EXAMPLES"], "coffee.rgb"),
                        str(tmp_path / "mask.raw")], time_left(), env={**os.environ, "PYTHONPATH": str(tmp_path / "site")})
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(str(tmp_path / "site"))
    assert {"__init__.pyi", "py.typed"} <= set(os.listdir(tmp_path / "site" / "conemask"))
    expected = conemask.mask(rgb.reshape(-1, 3), (180, 40, 15), 0.12, 10)
    assert np.fromfile(tmp_path / "mask.raw", np.int16).tobytes() == expected.tobytes()
