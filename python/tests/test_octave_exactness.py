"""quorvane.weights against the Octave module, bit for bit; quorvane_segment's labels against
quorvane.segment.segment's.

An (H, W) image in numpy's C order is, read column-major, the transposed W x H image, so the
Python result must equal the Octave module's for the transposed image with the same pattern:
the same stored entries in the same order, the same bits (NaN equal to NaN). One Octave run
computes every case.
"""

import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from scipy import ndimage

import quorvane
from conftest import (
    REPO,
    TESTS,
    assert_same_bits,
    mex_dir,
    mex_only_dir,
    run_octave,
    run_octave_script,
    stored_entries,
)
from quorvane.segment import segment


def full_pattern(n):
    return np.tile(np.arange(n, dtype=np.uint32), n), np.arange(0, n * n + 1, n, dtype=np.uint32)


def steps(rng, shape, levels=3):
    """A phase image of a few levels, with 0.0 and -0.0 mixed (equal, so no change)."""
    phase = rng.integers(0, levels, size=shape).astype(np.float64)
    zeros = phase == 0
    phase[zeros & (rng.random(shape) < 0.5)] = -0.0
    return phase


def coins_crop():
    image = np.asarray(Image.open(REPO / "data" / "coins.png").convert("L"), dtype=np.float64)
    image = image[90:122, 140:181] / 255
    return ndimage.gaussian_gradient_magnitude(image, 1.0), np.sign(
        ndimage.gaussian_laplace(image, 1.5)
    )


def make_cases():
    rng = np.random.default_rng(20261209)
    cases = {}

    def add(name, magnitude, phase, pattern, sigma=None):
        cases[name] = dict(
            magnitude=magnitude, phase=phase, indices=pattern[0], indptr=pattern[1], sigma=sigma
        )

    row = (np.array([[2.0, 4.0, 8.0]]), np.array([[0.0, 1.0, 1.0]]))
    add("row_sigma_1", *row, full_pattern(3), 1.0)
    add("row_default_sigma", *row, full_pattern(3))
    add("column_full", rng.random((6, 1)), steps(rng, (6, 1)), full_pattern(6), 0.7)
    add("line_full", rng.random((1, 6)), steps(rng, (1, 6)), full_pattern(6))
    for shape in [(7, 5), (5, 7)]:
        name = f"{shape[0]}x{shape[1]}"
        add(
            f"disc_{name}",
            rng.random(shape) * 3,
            steps(rng, shape),
            quorvane.disc_pattern(shape, 2.5),
        )
        add(
            f"full_{name}",
            rng.random(shape),
            steps(rng, shape, 2),
            full_pattern(shape[0] * shape[1]),
            0.3,
        )

    # Long walks in every direction: random pairs over a larger image.
    shape = (13, 17)
    n = shape[0] * shape[1]
    counts = rng.integers(0, 6, size=n)
    indptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.uint32)
    add(
        "random_pairs",
        rng.random(shape),
        steps(rng, shape),
        (rng.integers(0, n, indptr[-1]).astype(np.uint32), indptr),
    )

    # Non-finite values and special sigmas.
    magnitude = rng.random((8, 9))
    magnitude[2, 3] = np.nan
    magnitude[5, 1] = np.inf
    magnitude[0, 0] = np.nan  # first element: the default sigma's running maximum turns NaN
    phase = steps(rng, (8, 9))
    phase[4, 4] = np.nan
    disc = quorvane.disc_pattern((8, 9), 3)
    add("nonfinite_default_sigma", magnitude, phase, disc)
    add("nonfinite_sigma_2", magnitude, phase, disc, 2.0)
    finite = rng.random((6, 6))
    for label, sigma in [("zero", 0.0), ("negative", -0.4), ("nan", np.nan), ("inf", np.inf)]:
        add(f"sigma_{label}", finite, steps(rng, (6, 6)), quorvane.disc_pattern((6, 6), 2), sigma)
    add(
        "all_negative_default_sigma",
        -rng.random((5, 6)),
        steps(rng, (5, 6)),
        quorvane.disc_pattern((5, 6), 2),
    )

    # Unsorted and duplicate rows, empty columns, indptr[0] > 0 with unread leading indices.
    indices = np.array([99, 99, 5, 3, 3, 0, 11, 2, 7, 7, 7, 1], dtype=np.uint32)
    indptr = np.array([2, 4, 5, 5, 7, 7, 7, 8, 8, 10, 10, 10, 12], dtype=np.uint32)
    add(
        "unsorted_duplicates_offset", rng.random((3, 4)), steps(rng, (3, 4)), (indices, indptr), 0.5
    )

    add("coins_crop_disc", *coins_crop(), quorvane.disc_pattern((32, 41), 4.5))
    return cases


CASES = make_cases()


@pytest.fixture(scope="module")
def octave(tmp_path_factory):
    transposed = {
        name: dict(case, magnitude=case["magnitude"].T, phase=case["phase"].T)
        for name, case in CASES.items()
    }
    return run_octave(transposed, tmp_path_factory.mktemp("octave"))


@pytest.mark.parametrize("name", sorted(CASES))
def test_equals_octave_on_transposed_image(octave, name):
    case = CASES[name]
    result = quorvane.weights(
        case["magnitude"], case["phase"], case["indices"], case["indptr"], case["sigma"]
    )
    rows, cols, values = stored_entries(result)
    expected_rows, expected_cols, expected_values = octave[name]
    assert result.nnz == int(case["indptr"][-1]) - int(case["indptr"][0])
    assert rows.size == expected_rows.size, "Octave and Python store different entry counts"
    np.testing.assert_array_equal(rows, expected_rows)
    np.testing.assert_array_equal(cols, expected_cols)
    assert_same_bits(values, expected_values)


def test_int64_result_equals_octave(octave, monkeypatch):
    monkeypatch.setattr(quorvane, "_INT32_LIMIT", 10)
    case = CASES["coins_crop_disc"]
    result = quorvane.weights(case["magnitude"], case["phase"], case["indices"], case["indptr"])
    assert result.indices.dtype == np.int64 and result.indptr.dtype == np.int64
    rows, cols, values = stored_entries(result)
    expected_rows, expected_cols, expected_values = octave["coins_crop_disc"]
    np.testing.assert_array_equal(rows, expected_rows)
    np.testing.assert_array_equal(cols, expected_cols)
    assert_same_bits(values, expected_values)


def test_same_weights_as_octave_on_the_untransposed_image(tmp_path):
    # The straight-line walk is symmetric under transposition: the weight between two pixels
    # does not depend on numbering them in C or in column-major order.
    rng = np.random.default_rng(7)
    shape = (6, 9)
    h, w = shape
    magnitude, phase = rng.random(shape), steps(rng, shape)
    indices, indptr = full_pattern(h * w)
    octave = run_octave(
        dict(
            plain=dict(magnitude=magnitude, phase=phase, indices=indices, indptr=indptr, sigma=0.4)
        ),
        tmp_path,
    )
    rows, cols, values = octave["plain"]
    column_major = np.empty((h * w, h * w))
    column_major[rows.astype(int), cols.astype(int)] = values

    result = quorvane.weights(magnitude, phase, indices, indptr, 0.4).toarray()
    # Pixel p = r * W + c in C order is r + c * H column-major.
    p = np.arange(h * w)
    to_column_major = (p // w) + (p % w) * h
    assert_same_bits(result, column_major[np.ix_(to_column_major, to_column_major)])


# quorvane_segment in Octave, the native function and the MEX module alike, against
# quorvane.segment.segment: the labels plus 1, on pictures Octave reads back from PNG files.

sys.path.insert(0, str(REPO / "bench"))
import known_regions  # noqa: E402

SEGMENT_PICTURES = {
    "coins": np.asarray(Image.open(REPO / "data" / "coins.png")),  # grey, 8 bits
    **{kind: known_regions.photograph(kind, 500)[0] for kind in ("hue", "deep", "white")},
}


@pytest.fixture(scope="module")
def octave_segments(tmp_path_factory):
    folder = tmp_path_factory.mktemp("segments")
    for name, picture in SEGMENT_PICTURES.items():
        path = folder / f"picture_{name}.png"
        Image.fromarray(picture).save(path)
        # PIL reads 16-bit PNG back as int32: the values are what must survive.
        assert np.array_equal(np.asarray(Image.open(path)), picture), name
    entry_points = [mex_dir(), mex_only_dir()]
    log = run_octave_script(
        f"addpath('{TESTS}'); octave_segments('{folder}', "
        + ", ".join(f"'{d}'" for d in entry_points)
        + ");"
    )
    resolved = [line.strip() for line in log.splitlines() if "quorvane_segment" in line]
    assert [Path(r).suffix for r in resolved] == [".oct", ".mex"], log
    # Each picture reaches Octave in its own class: the 16-bit one as uint16.
    classes = dict(line.split() for line in log.splitlines() if line.startswith("picture_"))
    assert classes == {f"picture_{n}.png": str(p.dtype) for n, p in SEGMENT_PICTURES.items()}, log
    return folder


@pytest.mark.parametrize("name", sorted(SEGMENT_PICTURES))
@pytest.mark.parametrize("entry", [1, 2], ids=["native", "mex"])
def test_octave_segments_are_python_labels_plus_one(octave_segments, name, entry):
    picture = SEGMENT_PICTURES[name]
    expected = segment(picture) + 1
    path = octave_segments / f"picture_{name}.png.{entry}"
    labels = np.fromfile(f"{path}.labels", dtype=np.float64)
    count = np.fromfile(f"{path}.count", dtype=np.float64)
    assert labels.size == expected.size
    np.testing.assert_array_equal(labels.reshape(expected.shape, order="F"), expected)
    assert count.tolist() == [expected.max()]
    assert expected.max() > 5, "a picture of hardly any segments tells little"
