# SPDX-License-Identifier: MIT
# The command-line program the module is compared with: CONEMASK names it
# (the build's conemask, as ctest passes it), else the one on PATH.
import os
import shutil
import signal
import subprocess
import time

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


# When this file's tests started: their runs share the seconds ctest gives it.
STARTED = time.monotonic()


@pytest.fixture(scope="session")
def time_left():
    """The seconds left of ctest's timeout for this file (CONEMASK_TEST_SECONDS),
    less a minute for a test to end what it started and say why it failed:
    no run has a shorter bound of its own, as a loaded machine may slow any
    of them many times. At least one."""
    deadline = STARTED + float(os.environ.get("CONEMASK_TEST_SECONDS", 600)) - 60
    return lambda: max(1.0, deadline - time.monotonic())


@pytest.fixture
def run_in_group():
    """Runs a command in a session of its own, so that its whole process tree
    can be ended: on a timeout it is killed with a message, and whatever it
    left running (a Dask worker, say) fails the test and is ended too."""
    started = []

    def run(args, timeout, **popen):
        process = subprocess.Popen(args, start_new_session=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True, **popen)
        started.append(process.pid)
        deadline = time.monotonic() + timeout
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_group(process.pid)
            out, err = process.communicate()
            pytest.fail(f"{' '.join(map(str, args))} did not finish in {timeout} s:\n{out}\n{err}")
        # The group's last processes (Dask's workers, say) may take long to
        # go after their leader on a loaded machine: they have what is left
        # of the command's time.
        while group_members(process.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not end_group(process.pid), f"{' '.join(map(str, args))} left processes running:\n{err}"
        return subprocess.CompletedProcess(args, process.returncode, out, err)

    yield run
    for group in started:
        end_group(group)


def group_members(group):
    """The live processes of a process group (zombies, which wait for their
    parent, are gone already)."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue  # not a process, or gone
        if fields[0] != "Z" and int(fields[2]) == group:
            members.append(int(entry))
    return members


def end_group(group):
    """Kills every process of the group; whether there was any."""
    members = group_members(group)
    for pid in members:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return bool(members)
