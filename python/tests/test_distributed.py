"""quorvane.distributed: the matrices that 1 to 3 MPI processes build together against
quorvane.weights and quorvane.segmentation bit for bit, and the command line against the
single-process demo. The MPI runs go through mpirun (distributed_cases.py), each bounded
in time."""

import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse
from PIL import Image

import quorvane
from quorvane import demo, distributed, segmentation
from conftest import PICTURES, REPO, TESTS, assert_same_bits
from distributed_cases import CASES

pytestmark = pytest.mark.mpi
# More processes than cores: the spelling Open MPI 4 and 5 both take.
OVERSUBSCRIBE = ["--map-by", ":OVERSUBSCRIBE"]


def mpi_run(processes, *args, timeout=300):
    """python3 args under mpirun with the given number of processes (without mpirun for
    None): its exit code, output and errors. Open MPI wants leave to run as root, and more
    processes than cores."""
    environment = dict(os.environ)
    environment.update(
        OMPI_ALLOW_RUN_AS_ROOT="1",
        OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
        PYTHONPATH=os.pathsep.join([str(TESTS), environment.get("PYTHONPATH", "")]),
    )
    command = [sys.executable, *map(str, args)]
    if processes is not None:
        mpirun = shutil.which("mpirun")
        assert mpirun, "mpirun not found (Debian: openmpi-bin)"
        command = [mpirun, *OVERSUBSCRIBE, "-n", str(processes), *command]
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=environment)
    return result.returncode, result.stdout, result.stderr


@pytest.fixture(scope="module", params=[None, 2, 3], ids=["no_mpirun", "P2", "P3"])
def gathered(request, tmp_path_factory):
    outdir = tmp_path_factory.mktemp("matrices")
    code, out, err = mpi_run(request.param, TESTS / "distributed_cases.py", outdir, "matrices")
    assert code == 0, out + err
    return request.param or 1, {name: np.load(outdir / f"{name}.npz") for name in CASES}


@pytest.mark.parametrize("name", list(CASES))
class TestGatheredMatrices:
    def test_transposed_weights_are_quorvanes_bit_for_bit(self, gathered, name):
        _, cases = gathered
        magnitude, phase, radius, sigma, _ = CASES[name]
        w = quorvane.weights(magnitude, phase, *quorvane.disc_pattern(magnitude.shape, radius), sigma)
        got = cases[name]
        # Row j of the distributed matrix is column j of quorvane's.
        np.testing.assert_array_equal(got["transposed_indptr"], w.indptr)
        np.testing.assert_array_equal(got["transposed_indices"], w.indices)
        assert_same_bits(got["transposed_data"], w.data)
        if sigma == 0:
            assert np.isnan(w.data).any() and (w.data == 0).any()

    def test_symmetric_weights_are_the_demos_bit_for_bit(self, gathered, name):
        _, cases = gathered
        magnitude, phase, radius, sigma, _ = CASES[name]
        w = segmentation.symmetric(
            quorvane.weights(magnitude, phase, *quorvane.disc_pattern(magnitude.shape, radius), sigma)
        )
        got = cases[name]
        # The disc pattern's entries, as the transposed weights hold them, zeros included ...
        np.testing.assert_array_equal(got["sym_indptr"], got["transposed_indptr"])
        np.testing.assert_array_equal(got["sym_indices"], got["transposed_indices"])
        assert not np.isnan(got["sym_data"]).any()
        # ... where scipy's sum keeps none (weights 0 on both sides, at sigma 0).
        sym = scipy.sparse.csr_matrix((got["sym_data"], got["sym_indices"], got["sym_indptr"]), shape=w.shape)
        sym.eliminate_zeros()
        w.sort_indices()
        np.testing.assert_array_equal(sym.indptr, w.indptr)
        np.testing.assert_array_equal(sym.indices, w.indices)
        assert_same_bits(sym.data, w.data)

    def test_degrees_affinity_rows_and_border_sums_match_scipy(self, gathered, name):
        processes, cases = gathered
        got = cases[name]
        magnitude = CASES[name][0]
        n = magnitude.size
        w = scipy.sparse.csr_matrix((got["sym_data"], got["sym_indices"], got["sym_indptr"]), shape=(n, n))
        # Every process owns PETSc's own share of the rows, in order, all rows covered.
        ranges = got["ranges"]
        assert ranges.shape == (processes, 4)
        np.testing.assert_array_equal(ranges[:, :2], ranges[:, 2:])
        assert ranges[0, 0] == 0 and ranges[-1, 1] == n and (ranges[1:, 0] == ranges[:-1, 1]).all()
        assert np.ptp(ranges[:, 1] - ranges[:, 0]) <= 1
        degrees = np.asarray(w.sum(axis=1)).ravel()
        np.testing.assert_allclose(got["degrees"], degrees, rtol=1e-14)
        affinity, _ = segmentation.normalised_affinity(w)
        np.testing.assert_allclose(got["product"], affinity @ np.sin(np.arange(n) + 1.0), rtol=1e-12, atol=1e-14)
        np.testing.assert_array_equal(got["shown"], w.toarray()[got["shown_rows"]])
        labels = got["labels"]
        entries = w.tocoo()
        total, number = segmentation.border_sums(labels[entries.row], labels[entries.col], entries.data, 7)
        np.testing.assert_array_equal(got["number"], number)
        np.testing.assert_allclose(got["total"], total, rtol=1e-13)


def coin_areas(segments):
    areas = np.bincount(segments.ravel())
    return areas, np.sum((areas >= 500) & (areas <= 10000))  # the coins hold 1100 to 3200 pixels


@pytest.mark.parametrize("processes", [None, 2], ids=["no_mpirun", "P2"])
def test_coins_segment_as_in_the_demo(tmp_path, processes, capsys):
    code, out, err = mpi_run(
        processes, TESTS / "distributed_cases.py", tmp_path, "segment", REPO / "data" / "coins.png", 3
    )
    assert code == 0, out + err
    got = np.load(tmp_path / "segment.npz")
    reference, _ = demo.segment(str(REPO / "data" / "coins.png"), segmentation.Settings(), 3, say=lambda text: None)
    np.testing.assert_allclose(got["values"], reference.values, rtol=0, atol=1e-8)
    np.testing.assert_array_equal(got["segments"], reference.segments)
    areas, coins = coin_areas(got["segments"])
    assert coins == 24 and areas.max() > 0.5 * got["segments"].size, sorted(areas)

    *steps, memory, last = out.splitlines()
    assert last == f"{got['count']} segments"
    assert memory.startswith("peak resident memory per process: ") and memory.count("MiB") == (processes or 1)
    assert len(steps) == 7 and "products" in steps[3] and "total" in steps[-1], steps
    for name in PICTURES:
        with Image.open(tmp_path / "pictures" / name) as picture:
            assert picture.format == "PNG" and picture.width >= 500, name


def test_readme_command_runs_as_written(tmp_path):
    """The README's mpirun line, as root too, without the tests' leave in the environment;
    only the interpreter and the output folder are this run's, shrunk by 4 for time."""
    section = re.search(r"^## Across MPI processes.*?^```sh\n(.*?)^```", (REPO / "README.md").read_text(), re.M | re.S)
    (line,) = section.group(1).strip().splitlines()
    words = line.split()
    assert words[0] == "mpirun" and "venv/bin/python3" in words and words[-1] == "out", line
    words = [sys.executable if w == "venv/bin/python3" else w for w in words[:-1]] + [tmp_path / "out", "--shrink", "4"]
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("OMPI_", "PRTE_"))}
    result = subprocess.run(words, cwd=REPO, env=environment, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].endswith(" segments") and (tmp_path / "out" / "segmentation.png").exists()


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda path: Image.new("L", (64, 48), 90).save(path), "has no edges to segment by"),
        # Enough pixels for the eigenvectors, too few for the clusters.
        (lambda path: Image.fromarray(np.eye(7, 6, dtype=np.uint8) * 200).save(path), "48 clusters need at least"),
    ],
    ids=["uniform", "fewer_pixels_than_clusters"],
)
def test_unusable_pictures_fail_on_every_process_with_one_message(tmp_path, make, message):
    make(tmp_path / "picture.png")
    code, out, err = mpi_run(2, "-m", "quorvane.distributed", tmp_path / "picture.png", tmp_path / "out", timeout=120)
    assert code != 0 and err.count("quorvane.distributed: ") == 1 and message in err, err
    assert not (tmp_path / "out").exists()


def test_missing_mpi_packages_are_named(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "mpi4py", None)
    assert distributed.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
    assert "apt-get install python3-mpi4py" in capsys.readouterr().err


class TestPieces:
    @pytest.mark.parametrize(
        "start, stop, radius, entries",
        [(0, 1, 5, 1), (3, 1000, 2, 100), (7, 8, 0, 10), (5, 95, 3.5, 1 << 20), (0, 1000, np.inf, 2500)],
    )
    def test_slices_cover_the_range_once_in_order_within_their_entries(self, start, stop, radius, entries):
        slices = distributed.column_chunks((40, 25), radius, start, stop, entries)
        assert slices[0][0] == start and slices[-1][1] == stop
        assert all(a < b for a, b in slices) and all(b == c for (_, b), (c, _) in zip(slices, slices[1:]))
        for a, b in slices:
            count = quorvane.disc_pattern((40, 25), radius, columns=(a, b))[0].size
            assert count <= entries or b - a == 1

    def test_counts_inside_and_outside_a_row_range(self):
        indices, indptr = quorvane.disc_pattern((6, 5), 1.5, columns=(10, 20))
        within, outside = distributed._inside_counts(indices, indptr, 12, 18)
        for column in range(10):
            rows = indices[indptr[column] : indptr[column + 1]]
            assert within[column] == np.sum((rows >= 12) & (rows < 18))
            assert outside[column] == rows.size - within[column]

    def test_border_sums_of_shares_add_up_to_the_whole_merge(self):
        # Clusters a and b border strongly where (a + b) % 3 == 0: {0, 3} and {1, 2, 4, 5}.
        rng = np.random.default_rng(5)
        labels = rng.integers(0, 6, 300)
        w = scipy.sparse.random(300, 300, density=0.05, random_state=6, format="coo")
        w.data = np.where((labels[w.row] + labels[w.col]) % 3 == 0, 0.9, 0.1)
        w = (w + w.T).tocoo()
        parts = np.array_split(np.arange(w.nnz), 4)
        sums = [segmentation.border_sums(labels[w.row[p]], labels[w.col[p]], w.data[p], 6) for p in parts]
        total, number = sum(s[0] for s in sums), sum(s[1] for s in sums)
        merged, count = segmentation.merge_bordering(labels, total, number, 0.3)
        expected, expected_count = segmentation.merge_unseparated(labels, w, 0.3)
        assert count == expected_count == 2
        np.testing.assert_array_equal(merged, expected)
