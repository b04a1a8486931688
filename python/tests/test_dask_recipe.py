# SPDX-License-Identifier: MIT
# The README's Dask recipe, as written, on a raster larger than the memory
# its two workers are given together: the .raw must be the program's.
import os
import re
import subprocess

import numpy as np
import pytest

pytest.importorskip("dask.array", reason="Debian's python3-dask is not installed: the Dask recipe is not run")
pytest.importorskip("dask.distributed", reason="Debian's python3-distributed is not installed: the Dask recipe is not run")

ROWS, COLS = 9000, 12000  # 324 MB of pixels


def dask_recipe():
    readme = open(os.environ.get("CONEMASK_README", "README.md")).read()
    section = readme.split("\n## From Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = [block for block in re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M) if "LocalCluster" in block]
    assert len(blocks) == 1, "the README's From Python section has no single Dask block"
    return blocks[0]


def test_dask_recipe_writes_the_programs_mask(program, tmp_path):
    recipe = dask_recipe()
    workers = int(re.search(r"n_workers=(\d+)", recipe).group(1))
    limit = int(re.search(r'memory_limit="(\d+)MiB"', recipe).group(1)) << 20
    assert workers * limit < ROWS * COLS * 3, "the workers' memory must be below the raster's size"
    sized = recipe.replace("rows=400 cols=600\n", f"rows={ROWS} cols={COLS}\n", 1)
    assert sized != recipe
    (tmp_path / "recipe.sh").write_text(sized)

    np.random.default_rng(23).integers(0, 256, (ROWS, COLS, 3), np.uint8).tofile(tmp_path / "field.rgb")
    subprocess.run(["bash", "recipe.sh"], cwd=tmp_path, check=True, timeout=600)
    os.rename(tmp_path / "field.raw", tmp_path / "dask.raw")
    subprocess.run([program, "60", "120", "40", "0.1", "20", "field", str(ROWS), str(COLS)], cwd=tmp_path,
                   stdout=subprocess.DEVNULL, check=True)
    with open(tmp_path / "dask.raw", "rb") as dask_raw, open(tmp_path / "field.raw", "rb") as program_raw:
        while True:
            a, b = dask_raw.read(1 << 24), program_raw.read(1 << 24)
            assert a == b, "the Dask recipe's .raw differs from the program's"
            if not a:
                break
    assert os.path.getsize(tmp_path / "dask.raw") == ROWS * COLS * 2
