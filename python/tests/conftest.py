"""Shared helpers of the quorvane Python tests.

The tests import the package built by CMake (PYTHONPATH=<build>/python, set by CTest).
The comparison with the Octave module uses <build>/quorvane.mex from QUORVANE_MEX_DIR
(set by CTest; the test fails when that module is missing), or else from the checkout's
build/ directory (the test is skipped when there is none).
"""

import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
TESTS = Path(__file__).resolve().parent
# What python3 -m quorvane.segment.demo writes.
PICTURES = [
    "input.png",
    "strength.png",
    "weights.png",
    "weights-where.png",
    "regions.png",
    "segmentation.png",
]


def same_bits(a, b):
    """Elementwise: identical float64 bits, or both NaN (any NaN equals any NaN)."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    return (a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))


def assert_same_bits(a, b):
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    assert a.shape == b.shape
    bad = np.flatnonzero(~same_bits(a, b))
    assert (
        bad.size == 0
    ), f"{bad.size} values differ, first at {bad[0]}: {a[bad[0]]!r} != {b[bad[0]]!r}"


def stored_entries(matrix):
    """(rows, columns, values) of a csc_matrix's stored entries in storage order."""
    columns = np.repeat(np.arange(matrix.shape[1]), np.diff(matrix.indptr))
    return matrix.indices, columns, matrix.data


def assert_same_matrix(a, b):
    """Same shape, index dtype, stored entries in the same order, same bits."""
    assert a.shape == b.shape
    assert a.indices.dtype == b.indices.dtype and a.indptr.dtype == b.indptr.dtype
    np.testing.assert_array_equal(a.indptr, b.indptr)
    np.testing.assert_array_equal(a.indices, b.indices)
    assert_same_bits(a.data, b.data)


def mex_dir():
    configured = os.environ.get("QUORVANE_MEX_DIR")
    if configured:
        module = Path(configured) / "quorvane.mex"
        assert module.is_file(), f"QUORVANE_MEX_DIR is set but {module} does not exist"
        return Path(configured)
    module = REPO / "build" / "quorvane.mex"
    if not module.is_file():
        pytest.skip("no Octave module: run `make` first (or set QUORVANE_MEX_DIR)")
    return module.parent


def mex_only_dir():
    """The folder with the MEX modules alone (QUORVANE_MEX_ONLY_DIR, set by CTest, or the
    build's tests/mex-only)."""
    folder = Path(os.environ.get("QUORVANE_MEX_ONLY_DIR") or mex_dir() / "tests" / "mex-only")
    assert (folder / "quorvane_segment.mex").is_file(), f"no MEX modules in {folder}"
    return folder


def run_octave_script(script):
    """Runs script in octave-cli (skipped or failed as the module's absence is) and returns
    what it printed."""
    octave = shutil.which("octave-cli")
    if octave is None:
        if os.environ.get("QUORVANE_MEX_DIR"):
            pytest.fail("octave-cli not found")
        pytest.skip("octave-cli not found")
    # No octave-workspace file if the run is killed (the timeout) or crashes.
    result = subprocess.run(
        [
            octave,
            "--no-gui",
            "--norc",
            "--quiet",
            "--no-history",
            "--eval",
            "crash_dumps_octave_core(false); " + script,
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, f"Octave failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def run_octave(cases, folder):
    """Runs the Octave module on each case and returns {name: (rows, cols, values)}.

    A case is a dict with the float64 images 'magnitude' and 'phase' as Octave shall see them
    (any numpy array; their column-major bytes are what Octave reads), the uint32 'indices'
    and 'indptr', and 'sigma' (None for the default).
    """
    module_dir = mex_dir()
    folder = Path(folder)
    for name, case in cases.items():
        d = folder / f"case_{name}"
        d.mkdir(parents=True)
        magnitude = np.asarray(case["magnitude"], dtype=np.float64)
        phase = np.asarray(case["phase"], dtype=np.float64)
        assert magnitude.shape == phase.shape and magnitude.ndim == 2
        np.asarray(magnitude.shape, dtype=np.float64).tofile(d / "shape")
        magnitude.ravel(order="F").tofile(d / "magnitude")
        phase.ravel(order="F").tofile(d / "phase")
        np.asarray(case["indices"], dtype=np.uint32).tofile(d / "indices")
        np.asarray(case["indptr"], dtype=np.uint32).tofile(d / "indptr")
        if case.get("sigma") is not None:
            np.asarray([case["sigma"]], dtype=np.float64).tofile(d / "sigma")
    run_octave_script(f"addpath('{module_dir}'); addpath('{TESTS}'); octave_weights('{folder}');")
    out = {}
    for name in cases:
        d = folder / f"case_{name}"
        out[name] = tuple(
            np.fromfile(d / part, dtype=np.float64) for part in ("rows", "cols", "values")
        )
    return out
