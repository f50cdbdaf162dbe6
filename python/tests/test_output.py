"""The result's form (index width, no copies, the GIL), quorvane.disc_pattern, and what
importing the package and its application loads."""

import math
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import scipy.sparse

import quorvane
from quorvane import _quorvane
from conftest import assert_same_bits, assert_same_matrix

RNG = np.random.default_rng(11)
MAGNITUDE = RNG.random((6, 7))
PHASE = RNG.integers(0, 2, size=(6, 7)).astype(np.float64)
# 42 pixels; 3 x 3 neighbourhoods cut by the border: (2 + 4 * 3 + 2) * (2 + 5 * 3 + 2) entries
INDICES, INDPTR = quorvane.disc_pattern((6, 7), 1.5)


def weights(**changes):
    args = dict(magnitude=MAGNITUDE, phase=PHASE, indices=INDICES, indptr=INDPTR, sigma=None)
    args.update(changes)
    return quorvane.weights(**args)


class TestIndexWidth:
    def test_int32_by_default(self):
        result = weights()
        assert isinstance(result, scipy.sparse.csc_matrix)
        assert result.shape == (42, 42) and result.nnz == 304
        assert result.data.dtype == np.float64
        assert result.indices.dtype == np.int32 and result.indptr.dtype == np.int32

    @pytest.mark.parametrize(
        "limit, expected",
        [(304, np.int32), (303, np.int64), (42, np.int64), (10, np.int64)],
        ids=["entries_fit", "one_entry_too_many", "pixels_fit_entries_do_not", "small"],
    )
    def test_int64_when_the_entry_count_does_not_fit(self, monkeypatch, limit, expected):
        narrow = weights()
        monkeypatch.setattr(quorvane, "_INT32_LIMIT", limit)
        wide = weights()
        assert wide.indices.dtype == expected and wide.indptr.dtype == expected
        np.testing.assert_array_equal(wide.indices, narrow.indices)
        np.testing.assert_array_equal(wide.indptr, narrow.indptr)
        assert_same_bits(wide.data, narrow.data)

    def test_int64_when_the_pixel_count_does_not_fit(self, monkeypatch):
        # Few entries on many pixels: the entry count fits, the pixel count does not.
        indptr = np.zeros(43, dtype=np.uint32)
        indptr[1:] = 1
        monkeypatch.setattr(quorvane, "_INT32_LIMIT", 41)
        result = weights(indices=np.array([0], dtype=np.uint32), indptr=indptr)
        assert result.indices.dtype == np.int64 and result.nnz == 1

    def test_wide_result_works_in_scipy(self, monkeypatch):
        monkeypatch.setattr(quorvane, "_INT32_LIMIT", 10)
        wide = weights(sigma=0.5)
        narrow_product = quorvane.weights(MAGNITUDE, PHASE, INDICES, INDPTR, 0.5) @ np.ones(42)
        np.testing.assert_array_equal(wide @ np.ones(42), narrow_product)


def test_the_core_writes_into_the_arrays_of_the_result(monkeypatch):
    made = []
    compiled = _quorvane.weights

    def spy(*args):
        made.extend(compiled(*args))
        return tuple(made)

    monkeypatch.setattr(_quorvane, "weights", spy)
    result = weights()
    for array, part in zip(made, (result.data, result.indices, result.indptr)):
        assert np.shares_memory(array, part)
        assert array.ctypes.data == part.ctypes.data


def test_no_entry_is_dropped_sorted_or_merged():
    # Duplicates, unsorted rows and weights of exactly 0 (sigma 0 across an edge) and NaN
    # (sigma 0 with no edge crossed) all stay stored.
    magnitude = np.array([[1.0, 1.0, 1.0]])
    phase = np.array([[0.0, 1.0, 1.0]])
    result = quorvane.weights(magnitude, phase, [2, 0, 2, 1], [0, 3, 3, 4], sigma=0)
    np.testing.assert_array_equal(result.indices, [2, 0, 2, 1])
    np.testing.assert_array_equal(result.indptr, [0, 3, 3, 4])
    assert_same_bits(result.data, [0.0, 1.0, 0.0, np.nan])


def longest_stall_while_computing(magnitude, phase, indices, indptr):
    """(longest pause of this thread's loop, duration) while a worker thread computes."""
    span = []

    def work():
        # The compiled call alone, so that the package's own Python work (which holds the
        # GIL, as it must) does not blur the measure.
        start = time.perf_counter()
        _quorvane.weights(magnitude, phase, indices, indptr, None, 2**31 - 1)
        span.extend([start, time.perf_counter()])

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, end = span
    inside = [t for t in ticks if start <= t <= end]
    return np.diff([start] + inside + [end]).max(), end - start


def test_the_gil_is_released_while_the_core_runs():
    # A worker thread computes a large matrix while this thread keeps running Python.
    # Holding the GIL through the computation stalls this thread for the whole call, every
    # time; a released GIL leaves only scheduling pauses, so one good try of three suffices
    # on a busy machine.
    # Two random partners per pixel: long walks, few entries, so little memory.
    rng = np.random.default_rng(3)
    shape = (200, 200)
    n = shape[0] * shape[1]
    magnitude, phase = rng.random(shape), rng.integers(0, 2, shape).astype(np.float64)
    indices = rng.integers(0, n, 2 * n).astype(np.uint32)
    indptr = np.arange(0, 2 * n + 1, 2, dtype=np.uint32)
    tries = []
    for _ in range(3):
        stall, duration = longest_stall_while_computing(magnitude, phase, indices, indptr)
        assert duration > 0.05, "the computation is too short to tell"
        tries.append((stall, duration))
        if stall < 0.5 * duration:
            return
    pytest.fail(f"this thread stalled through the computation (stall, duration): {tries}")


def test_concurrent_calls_give_the_serial_results():
    # Without the GIL, calls on several threads run at once; none may disturb another.
    rng = np.random.default_rng(8)
    cases = [
        (rng.random((40, 50)), rng.integers(0, 3, (40, 50)).astype(np.float64), rng.random() + 0.1)
        for _ in range(6)
    ]
    indices, indptr = quorvane.disc_pattern((40, 50), 6)
    serial = [quorvane.weights(m, q, indices, indptr, s) for m, q, s in cases]
    results = [None] * len(cases)

    def work(k):
        for _ in range(3):
            results[k] = quorvane.weights(*cases[k][:2], indices, indptr, cases[k][2])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(cases))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, expected in zip(results, serial):
        np.testing.assert_array_equal(got.indices, expected.indices)
        assert_same_bits(got.data, expected.data)


def only_rows(indices, indptr, width, keep):
    """The pattern with the entries of the pixels in image rows where keep(row) holds."""
    counts = np.diff(indptr).astype(np.int64) * keep(np.arange(indptr.size - 1) // width)
    return indices[np.repeat(counts > 0, np.diff(indptr))], np.cumsum(np.append(0, counts))


def smooth_images(shape, seed):
    rng = np.random.default_rng(seed)
    field = np.cumsum(np.cumsum(rng.standard_normal(shape), axis=0), axis=1)
    return np.abs(np.gradient(field)[0]), np.sign(field - np.median(field))


class TestWorkers:
    """Threads over ranges of image rows give the one-thread result, bit for bit. Each
    pattern holds entries enough for every thread asked for, so the threads do run."""

    @staticmethod
    def assert_split_like_one(shape, indices, indptr, workers, sigma=None):
        magnitude, phase = smooth_images(shape, seed=sum(shape))
        assert indptr[-1] >= 2 * _quorvane.entries_per_worker
        one = quorvane.weights(magnitude, phase, indices, indptr, sigma, workers=1)
        assert_same_matrix(
            quorvane.weights(magnitude, phase, indices, indptr, sigma, workers=workers), one
        )

    @pytest.mark.parametrize("workers", [2, 3, 8, -1])
    @pytest.mark.parametrize("sigma", [None, 0.0])
    def test_disc(self, workers, sigma):
        self.assert_split_like_one((150, 97), *quorvane.disc_pattern((150, 97), 6), workers, sigma)

    def test_wide_indices(self, monkeypatch):
        monkeypatch.setattr(quorvane, "_INT32_LIMIT", 1000)
        self.assert_split_like_one((131, 140), *quorvane.disc_pattern((131, 140), 4), 3)

    def test_more_threads_than_image_rows(self):
        self.assert_split_like_one((3, 5000), *quorvane.disc_pattern((3, 5000), 4), 16)

    def test_entries_in_a_few_rows(self):
        indices, indptr = only_rows(
            *quorvane.disc_pattern((60, 80), 30), 80, lambda r: np.isin(r, [5, 6, 41])
        )
        self.assert_split_like_one((60, 80), indices, indptr, 4)

    @pytest.mark.parametrize("workers", [2, 5])
    def test_rows_without_entries(self, workers):
        indices, indptr = only_rows(
            *quorvane.disc_pattern((200, 150), 4), 150, lambda r: r % 3 != 1
        )
        self.assert_split_like_one((200, 150), indices, indptr, workers)


def brute_disc(shape, radius):
    h, w = shape
    r, c = np.divmod(np.arange(h * w), w)
    indices, indptr = [], [0]
    for p in range(h * w):
        near = np.flatnonzero(np.sqrt((r - r[p]) ** 2 + (c - c[p]) ** 2) <= radius)
        indices.extend(near)
        indptr.append(len(indices))
    return np.array(indices), np.array(indptr)


class TestDiscPattern:
    @pytest.mark.parametrize("shape", [(1, 1), (1, 7), (6, 1), (5, 8), (9, 4)])
    @pytest.mark.parametrize("radius", [0, 0.99, 1, 1.5, math.sqrt(5), 2.5, 3, 100, math.inf])
    def test_equals_brute_force(self, shape, radius):
        indices, indptr = quorvane.disc_pattern(shape, radius)
        assert indices.dtype == np.uint32 and indptr.dtype == np.uint32
        expected_indices, expected_indptr = brute_disc(shape, radius)
        np.testing.assert_array_equal(indptr, expected_indptr)
        np.testing.assert_array_equal(indices, expected_indices)

    @pytest.mark.parametrize(
        "shape, radius", [((5, 8), 2.5), ((9, 4), math.sqrt(5)), ((1, 7), 100)]
    )
    @pytest.mark.parametrize(
        "part", [(0, 0), (3, 3), (0, 1), (2, 7), (7, 30), (1, 36), range(4, 13)]
    )
    def test_parts_are_slices_of_the_whole(self, shape, radius, part):
        pixels = shape[0] * shape[1]
        start, stop = (part.start, part.stop) if isinstance(part, range) else part
        start, stop = min(start, pixels), min(stop, pixels)
        part = range(start, stop) if isinstance(part, range) else (start, stop)
        whole_indices, whole_indptr = quorvane.disc_pattern(shape, radius)
        indices, indptr = quorvane.disc_pattern(shape, radius, columns=part)
        assert indices.dtype == np.uint32 and indptr.dtype == np.uint32
        np.testing.assert_array_equal(indptr, whole_indptr[start : stop + 1] - whole_indptr[start])
        np.testing.assert_array_equal(
            indices, whole_indices[whole_indptr[start] : whole_indptr[stop]]
        )

    def test_a_part_of_a_pattern_too_large_to_make(self):
        shape = (32767, 65536)  # radius 1: about 5 * 2^31 pairs in all
        with pytest.raises(ValueError, match="2\\^32 or more entries"):
            quorvane.disc_pattern(shape, 1)
        indices, indptr = quorvane.disc_pattern(shape, 1, columns=(0, 3))
        np.testing.assert_array_equal(indptr, [0, 3, 7, 11])
        np.testing.assert_array_equal(indices, [0, 1, 65536, 0, 1, 2, 65537, 1, 2, 3, 65538])

    @pytest.mark.parametrize(
        "columns", [range(0, 6, 2), (3, 2), (-1, 2), (0, 21), (0,), (0.5, 2), "ab"]
    )
    def test_bad_parts(self, columns):
        with pytest.raises(ValueError, match="columns shall be"):
            quorvane.disc_pattern((4, 5), 2, columns=columns)

    def test_former_name_warns_and_gives_the_same(self):
        with pytest.warns(DeprecationWarning, match="disc_pattern"):
            old = quorvane.disk_pattern((4, 5), 2)
        for a, b in zip(old, quorvane.disc_pattern((4, 5), 2)):
            np.testing.assert_array_equal(a, b)

    def test_radius_zero_is_the_diagonal(self):
        indices, indptr = quorvane.disc_pattern((3, 4), 0)
        np.testing.assert_array_equal(indices, np.arange(12))
        np.testing.assert_array_equal(indptr, np.arange(13))

    def test_accepts_an_array_shape(self):
        shape = np.zeros((4, 5)).shape
        a = quorvane.disc_pattern(np.array(shape), 2)
        b = quorvane.disc_pattern(shape, 2)
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)

    @pytest.mark.parametrize(
        "shape, radius, message",
        [
            ((0, 4), 1, "two positive sizes"),
            ((4, -1), 1, "two positive sizes"),
            ((2**16, 2**15), 1, "fewer than 2\\^31 pixels"),
            ((3, 4), -0.5, "non-negative"),
            ((3, 4), math.nan, "non-negative"),
            ((4,), 1, "shape shall be \\(H, W\\)"),
            ((2, 3, 4), 1, "shape shall be \\(H, W\\)"),
            # 2^31 - 2 pixels, each with every other pixel: refused after counting a few.
            ((2, 2**30 - 1), math.inf, "2\\^32 or more entries"),
        ],
    )
    def test_errors(self, shape, radius, message):
        with pytest.raises(ValueError, match=message):
            quorvane.disc_pattern(shape, radius)

    def test_non_integer_sizes_are_a_type_error(self):
        with pytest.raises(TypeError):
            quorvane.disc_pattern((3.5, 4), 1)


# What the application's pictures and the distributed run need, and what it no longer does.
HEAVY = ["sklearn", "matplotlib", "mpi4py"]


@pytest.mark.parametrize(
    "module, shunned",
    [
        ("quorvane", HEAVY),
        # The steps themselves need numpy and scipy alone; Pillow only reading a photograph.
        ("quorvane.segment", HEAVY + ["PIL"]),
        # The commands, so that they name a missing package instead of failing on import.
        ("quorvane.segment.demo", HEAVY + ["PIL"]),
        ("quorvane.segment.distributed", HEAVY),
        ("quorvane.segment.distributed.cli", HEAVY),
    ],
)
def test_importing_loads_none_of_the_applications_packages(module, shunned):
    check = f"import sys, {module}; print(' '.join(sorted(sys.modules)))"
    result = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", check],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    loaded = set(result.stdout.split())
    assert module in loaded and "quorvane._quorvane" in loaded
    assert not {name for name in loaded if name.split(".")[0] in shunned}, sorted(loaded)
    # -X importtime lists every import, by its full name, at the end of a line.
    imported = {
        line.rsplit("|", 1)[-1].strip() for line in result.stderr.splitlines() if "|" in line
    }
    assert module in imported
    assert not {name for name in imported if name.split(".")[0] in shunned}
