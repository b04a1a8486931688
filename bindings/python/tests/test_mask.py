# SPDX-License-Identifier: MIT
# conemask.mask against the command-line program, byte for byte, and the
# module's handling of what Python hands it.
import re
import threading
import tracemalloc

import numpy as np
import pytest

import conemask

EXAMPLE_OPERANDS = ((180, 40, 15), "0.12", 10)


def test_example_photograph_as_array_and_as_memmap(run_program, tmp_path):
    import os

    path = os.path.join(os.environ.get("CONEMASK_EXAMPLES", "examples"), "coffee.rgb")
    rgb = np.fromfile(path, np.uint8).reshape(400, 600, 3)
    expected = run_program(rgb, *EXAMPLE_OPERANDS)
    reference, theta, thresh = EXAMPLE_OPERANDS
    mask = conemask.mask(rgb, reference, float(theta), thresh)
    assert mask.dtype == np.dtype("=i2") and mask.shape == (400, 600)
    assert mask.astype("<i2").tobytes() == expected.tobytes()
    mapped = np.memmap(path, np.uint8, "r", shape=(400, 600, 3))
    assert conemask.mask(mapped, reference, float(theta), thresh).tobytes() == mask.tobytes()


# Random rasters: any number of leading dimensions, and theta passed as each
# kind the module takes.
RANDOM_CASES = [
    # shape, reference, theta text, theta as passed, thresh
    ((1, 3), (60, 120, 40), "0.1", 0.1, 20),
    ((37, 3), (255, 0, 0), "0.7", np.float32("0.7"), 0),
    ((123, 457, 3), (60, 120, 40), "0.3", 0.3, 20),
    ((5, 64, 33, 3), (-5, 90, 200), "2.0", conemask.theta_from_text("2.0"), -3),
    ((3, 2, 1, 999, 3), (1, 1, 1), "3.2", 3.2, -128),
    ((2000, 3), (32767, 32767, 260), "0.25", 0.25, 100),
]


@pytest.mark.parametrize("shape, reference, theta_text, theta, thresh", RANDOM_CASES)
def test_random_rasters(run_program, shape, reference, theta_text, theta, thresh):
    rgb = np.random.default_rng(sum(shape)).integers(0, 256, shape, np.uint8)
    mask = conemask.mask(rgb, reference, theta, thresh)
    assert mask.shape == shape[:-1]
    assert mask.astype("<i2").tobytes() == run_program(rgb, reference, theta_text, thresh).tobytes()


# Every colour for references of the geometry tests' table and around the
# limit of exact integer sums (255 (|r| + |g| + |b|) <= 2^24).
EVERY_COLOUR_CASES = [
    # reference, theta text, thresh
    ((60, 120, 40), "0.1", 20),
    ((0, 0, 0), "3.2", -128),
    ((1, 1, 1), "0.05", 0),
    ((10, 200, 30), "0.0004883", 100),
    ((255, 0, 0), "1.5707964", 0),
    ((-1, 0, 0), "3.2", -128),
    ((-30, 200, -7), "2.5", -2),
    ((32767, 32767, 259), "0.3", 50),
    ((32767, 32767, 260), "0.3", 50),
    ((2147483647, -2147483648, 2147483647), "0.9", 10),
    ((180, 40, 15), "nan", 10),
    ((180, 40, 15), "inf", -1),
]


@pytest.fixture(scope="module")
def every_colour():
    return np.arange(1 << 24, dtype="<u4").view(np.uint8).reshape(4096, 4096, 4)[..., 2::-1].copy()


@pytest.mark.parametrize("reference, theta_text, thresh", EVERY_COLOUR_CASES)
def test_every_colour(run_program, every_colour, reference, theta_text, thresh):
    expected = run_program(every_colour, reference, theta_text, thresh)
    mask = conemask.mask(every_colour, reference, conemask.theta_from_text(theta_text), thresh)
    assert np.array_equal(mask.ravel(), expected), f"{np.count_nonzero(mask.ravel() != expected)} colours differ"


def test_negative_samples_where_the_reference_has_negative_components(every_colour):
    # Not a comparison of two empty masks: the case reaches the negative samples.
    mask = conemask.mask(every_colour, (-1, 0, 0), 3.2, -128)
    assert mask.min() == -127


def test_theta_is_read_from_text_as_the_program_reads_it():
    # The float32 nearest to the text's value, above a midpoint that a double
    # would round onto, which numpy.float32(text) then rounds to even.
    text = "1.000000059604644776257986737988403547205962240695953369140625"
    assert conemask.theta_from_text(text) == np.nextafter(np.float32(1), np.float32(2))
    assert np.float32(text) == np.float32(1)
    assert conemask.theta_from_text("0.12") == np.float32("0.12") == np.float32(0.12)
    for text, value in [("12abc", 12), ("abc", 0), (" -0.5", -0.5), ("inf", np.inf)]:
        assert conemask.theta_from_text(text) == np.float32(value)
    assert np.isnan(conemask.theta_from_text("nan"))
    assert type(conemask.theta_from_text("0.1")) is np.float32
    with pytest.raises(ValueError, match="99 characters"):
        conemask.theta_from_text("1" * 100)


# Layouts: each view gives the samples of its C-contiguous copy, read in
# place or copied as the docstring says.
def layouts():
    rgb = np.random.default_rng(7).integers(0, 256, (60, 80, 3), np.uint8)
    return rgb, [
        ("crop", rgb[10:50, 5:70]),
        ("flipped rows", rgb[::-1]),
        ("every other row", rgb[::2]),
        ("every third column", rgb[:, ::3]),
        ("channels reversed", rgb[..., ::-1]),
        ("Fortran order", np.asfortranarray(rgb)),
        ("one row broadcast", np.broadcast_to(rgb[3], (60, 80, 3))),
        ("one pixel", rgb[4, 4]),
        ("empty", rgb[:0]),
        ("frames", np.stack([rgb, rgb[::-1]])[:, 5:, 7:]),
    ]


@pytest.mark.parametrize("name", [name for name, _ in layouts()[1]])
def test_every_layout_reads_the_right_pixels(name):
    view = dict(layouts()[1])[name]
    expected = conemask.mask(np.ascontiguousarray(view), (60, 120, 40), 0.4, 5)
    mask = conemask.mask(view, (60, 120, 40), 0.4, 5)
    assert mask.shape == view.shape[:-1]
    assert np.array_equal(mask, expected)


@pytest.mark.parametrize("view, copied", [
    (lambda rgb: rgb, False),
    (lambda rgb: rgb[100:3000, 7:4000], False),
    (lambda rgb: rgb[:, ::2], True),
])
def test_memmap_and_crops_are_read_in_place(tmp_path, view, copied):
    path = tmp_path / "large.rgb"
    np.zeros((4096, 4096, 3), np.uint8).tofile(path)
    rgb = view(np.memmap(path, np.uint8, "r", shape=(4096, 4096, 3)))
    out = np.empty(rgb.shape[:-1], np.int16)
    tracemalloc.start()
    conemask.mask(rgb, (1, 2, 3), 0.5, 1, out=out)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert (peak >= rgb.size) == copied, f"peak {peak} bytes for {rgb.size} bytes of pixels"


BAD_ARGUMENTS = [
    # what changes, exception, words of the message
    (dict(rgb=[[1, 2, 3]]), TypeError, "numpy array of uint8"),
    (dict(rgb=np.zeros((4, 3), np.int16)), TypeError, "dtype uint8"),
    (dict(rgb=np.zeros((4, 3), np.float64)), TypeError, "dtype uint8"),
    (dict(rgb=np.zeros((4, 4), np.uint8)), ValueError, r"shape \(\.\.\., 3\)"),
    (dict(rgb=np.zeros((), np.uint8)), ValueError, r"shape \(\.\.\., 3\)"),
    (dict(reference=(1, 2)), ValueError, "three integers"),
    (dict(reference=5), TypeError, "sequence of three"),
    (dict(reference="abc"), TypeError, "sequence of three"),
    (dict(reference=(1, 2, 3.0)), TypeError, r"reference\[2\] must be an integer"),
    (dict(reference=(1, 2**31, 3)), OverflowError, "32-bit range"),
    (dict(reference=(-2**31 - 1, 2, 3)), OverflowError, "32-bit range"),
    (dict(reference=(2**70, 2, 3)), OverflowError, "32-bit range"),
    (dict(thresh=2**31), OverflowError, "32-bit range"),
    (dict(thresh=10.0), TypeError, "thresh must be an integer"),
    (dict(theta=1), TypeError, "theta must be a float"),
    (dict(theta="0.12"), TypeError, "theta_from_text"),
    (dict(theta=np.float16(0.1)), TypeError, "theta must be a float"),
    (dict(theta=None), TypeError, "theta must be a float"),
    (dict(out=np.zeros((4, 5), np.int16).tolist()), TypeError, "numpy array of int16"),
    (dict(out=np.zeros((4, 5), np.int32)), TypeError, "int16"),
    (dict(out=np.zeros((4, 5), ">i2" if np.little_endian else "<i2")), TypeError, "native byte order"),
    (dict(out=np.zeros((5, 4), np.int16)), ValueError, r"shape rgb.shape\[:-1\], \(4, 5\)"),
    (dict(out=np.zeros((4, 10), np.int16)[:, ::2]), ValueError, "C-contiguous"),
    (dict(out=np.zeros((4, 5), np.int16).view()), None, None),
]


@pytest.mark.parametrize("change, error, message", BAD_ARGUMENTS)
def test_arguments(change, error, message):
    arguments = dict(rgb=np.ones((4, 5, 3), np.uint8), reference=(1, 2, 3), theta=0.5, thresh=0, out=None)
    arguments.update(change)
    if error is None:
        assert conemask.mask(**arguments) is arguments["out"]
        return
    with pytest.raises(error, match=message):
        conemask.mask(**arguments)


def test_out_that_cannot_be_written_or_overlaps_rgb_is_refused():
    rgb = np.ones((4, 5, 3), np.uint8)
    read_only = np.zeros((4, 5), np.int16)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        conemask.mask(rgb, (1, 2, 3), 0.5, 0, out=read_only)
    shared = np.zeros(4 * 5 * 3, np.uint8)
    with pytest.raises(ValueError, match="shares memory"):
        conemask.mask(shared.reshape(4, 5, 3), (1, 2, 3), 0.5, 0, out=shared[:40].view(np.int16).reshape(4, 5))


def test_many_threads_at_once_give_the_samples_of_one():
    rgbs = [np.random.default_rng(seed).integers(0, 256, (512, 512, 3), np.uint8) for seed in range(8)]
    expected = [conemask.mask(rgb, (60, 120, 40), 0.6, 5) for rgb in rgbs]
    results = [None] * len(rgbs)

    def work(i):
        for _ in range(20):
            results[i] = conemask.mask(rgbs[i], (60, 120, 40), 0.6, 5)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(rgbs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(result, want) for result, want in zip(results, expected))


def test_kernel_is_the_programs_choice():
    # The build's kernel table, as kernel()'s docstring lists it.
    names = re.findall(r'"(\w+)"', conemask.kernel.__doc__)
    assert "portable" in names
    assert conemask.kernel() in names
    assert "conemask.mask(rgb" in conemask.__doc__


def test_mask_pickles_by_name_for_other_processes():
    import pickle

    assert pickle.loads(pickle.dumps(conemask.mask)) is conemask.mask
