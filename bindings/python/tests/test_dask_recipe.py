# SPDX-License-Identifier: MIT
# The README's Dask recipe, as written, on a raster larger than the memory
# its two workers are given together: the .raw must be the program's. With
# its workers paused, it must stop with its message, not wait. Either way it
# runs in a session of its own and may leave no process behind.
import os
import re

import numpy as np
import pytest

pytest.importorskip("dask.array", reason="Debian's python3-dask is not installed: the Dask recipe is not run")
pytest.importorskip("dask.distributed", reason="Debian's python3-distributed is not installed: the Dask recipe is not run")

ROWS, COLS = 10000, 20000  # 600 MB of pixels
STALL_SECONDS = 10  # the recipe's wait for a block, shortened where workers are paused on purpose


def dask_recipe():
    readme = open(os.environ.get("CONEMASK_README", "README.md")).read()
    section = readme.split("\n## From Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = [block for block in re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M) if "LocalCluster" in block]
    assert len(blocks) == 1, "the README's From Python section has no single Dask block"
    return blocks[0]


def sized(recipe, rows, cols):
    resized = recipe.replace("rows=400 cols=600\n", f"rows={rows} cols={cols}\n", 1)
    assert resized != recipe, "the Dask block no longer starts with rows=400 cols=600"
    return resized


def random_raster(path, rows, cols):
    rng = np.random.default_rng(23)
    with open(path, "wb") as raster:
        for first in range(0, rows, 1000):
            rng.integers(0, 256, (min(1000, rows - first), cols, 3), np.uint8).tofile(raster)


def same_files(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 24), second.read(1 << 24)
            if x != y:
                return False
            if not x:
                return True


def test_writes_the_programs_mask(program, run_in_group, time_left, tmp_path):
    recipe = dask_recipe()
    workers = int(re.search(r"n_workers=(\d+)", recipe).group(1))
    limit = int(re.search(r'memory_limit="(\d+)MiB"', recipe).group(1)) << 20
    assert workers * limit < ROWS * COLS * 3, "the workers' memory must be below the raster's size"
    (tmp_path / "recipe.sh").write_text(sized(recipe, ROWS, COLS))
    random_raster(tmp_path / "field.rgb", ROWS, COLS)
    try:
        run = run_in_group(["bash", "recipe.sh"], time_left(), cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert "Pausing worker" not in run.stderr, run.stderr
        os.rename(tmp_path / "field.raw", tmp_path / "dask.raw")
        run = run_in_group([program, "60", "120", "40", "0.1", "20", "field", str(ROWS), str(COLS)], time_left(),
                           cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert os.path.getsize(tmp_path / "dask.raw") == ROWS * COLS * 2
        assert same_files(tmp_path / "dask.raw", tmp_path / "field.raw"), \
            "the Dask recipe's .raw differs from the program's"
    finally:
        # 1.4 GB that pytest would keep for three sessions.
        for name in ("field.rgb", "field.raw", "dask.raw"):
            (tmp_path / name).unlink(missing_ok=True)


def test_paused_workers_stop_it_with_a_message(run_in_group, time_left, tmp_path):
    recipe = sized(dask_recipe(), 2000, 12000)  # five blocks
    stalling = recipe.replace("STALL_SECONDS = 120 ", f"STALL_SECONDS = {STALL_SECONDS} ", 1)
    assert stalling != recipe, "the Dask block has no STALL_SECONDS = 120"
    (tmp_path / "recipe.sh").write_text(stalling)
    random_raster(tmp_path / "field.rgb", 2000, 12000)
    # Workers that pause at once: their memory is checked every 5 ms, and
    # any use is above the pause threshold.
    environment = {**os.environ, "DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE": "0.01",
                   "DASK_DISTRIBUTED__WORKER__MEMORY__MONITOR_INTERVAL": "5ms"}
    run = run_in_group(["bash", "recipe.sh"], time_left(), cwd=tmp_path, env=environment)
    assert run.returncode == 1, run.stderr
    assert re.search(rf"field\.raw: no block finished in the last {STALL_SECONDS} s, \d left; workers: paused at",
                     run.stderr), run.stderr
