# SPDX-License-Identifier: MIT
import os
from typing import NamedTuple, Optional, Sequence, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

def mask(
    rgb: npt.NDArray[np.uint8],
    reference: Sequence[SupportsIndex],
    theta: Union[float, np.float32],
    thresh: SupportsIndex,
    out: Optional[npt.NDArray[np.int16]] = None,
) -> npt.NDArray[np.int16]: ...
def theta_from_text(text: str) -> np.float32: ...
def kernel() -> str: ...

class ImageError(ValueError): ...

def read_image(path: Union[str, "os.PathLike[str]", bytes]) -> npt.NDArray[np.uint8]: ...
def mask_image(
    path: Union[str, "os.PathLike[str]", bytes],
    reference: Sequence[SupportsIndex],
    theta: Union[float, np.float32],
    thresh: SupportsIndex,
) -> npt.NDArray[np.int16]: ...

class Summary(NamedTuple):
    rows: int
    cols: int
    selected: int
    share_percent: Optional[float]
    mean_sample: Optional[float]
    largest_sample: Optional[int]
    line: str

summary_header: str

def summary(
    rgb: Union[npt.NDArray[np.uint8], str, "os.PathLike[str]", bytes],
    reference: Sequence[SupportsIndex],
    theta: Union[float, np.float32],
    thresh: SupportsIndex,
    file: Optional[str] = None,
) -> Summary: ...
