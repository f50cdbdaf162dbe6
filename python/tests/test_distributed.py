"""quorvane.segment.distributed: the matrices that 1 to 3 MPI processes build together against
quorvane.weights and quorvane.segment bit for bit, the multilevel pieces (block
products, P^T W P, the coarse vectors carried up) against scipy, and the eigenvector
subspaces and segmentations of 1, 2 and 3 processes against each other. The MPI runs go
through mpirun (distributed_cases.py), each bounded in time."""

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
import quorvane.segment as segmentation
from quorvane.segment import demo, multilevel
from quorvane.segment.distributed import cli, memory, report, shares
from conftest import PICTURES, REPO, TESTS, assert_same_bits
from distributed_cases import CASES, EMBEDDED, aggregation, block, embedded_image

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
    result = subprocess.run(
        command, capture_output=True, text=True, timeout=timeout, env=environment
    )
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
        w = quorvane.weights(
            magnitude, phase, *quorvane.disc_pattern(magnitude.shape, radius), sigma
        )
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
            quorvane.weights(
                magnitude, phase, *quorvane.disc_pattern(magnitude.shape, radius), sigma
            )
        )
        got = cases[name]
        # The disc pattern's entries, as the transposed weights hold them, zeros included ...
        np.testing.assert_array_equal(got["sym_indptr"], got["transposed_indptr"])
        np.testing.assert_array_equal(got["sym_indices"], got["transposed_indices"])
        assert not np.isnan(got["sym_data"]).any()
        # ... where scipy's sum keeps none (weights 0 on both sides, at sigma 0).
        sym = scipy.sparse.csr_matrix(
            (got["sym_data"], got["sym_indices"], got["sym_indptr"]), shape=w.shape
        )
        sym.eliminate_zeros()
        w.sort_indices()
        np.testing.assert_array_equal(sym.indptr, w.indptr)
        np.testing.assert_array_equal(sym.indices, w.indices)
        assert_same_bits(sym.data, w.data)

    def test_degrees_products_coarse_matrix_rows_and_merge_sums_match_scipy(self, gathered, name):
        processes, cases = gathered
        got = cases[name]
        magnitude = CASES[name][0]
        n = magnitude.size
        w = scipy.sparse.csr_matrix(
            (got["sym_data"], got["sym_indices"], got["sym_indptr"]), shape=(n, n)
        )
        # Every process owns PETSc's own share of the rows, in order, all rows covered.
        ranges = got["ranges"]
        assert ranges.shape == (processes, 4)
        np.testing.assert_array_equal(ranges[:, :2], ranges[:, 2:])
        assert ranges[0, 0] == 0 and ranges[-1, 1] == n and (ranges[1:, 0] == ranges[:-1, 1]).all()
        assert np.ptp(ranges[:, 1] - ranges[:, 0]) <= 1
        degrees = np.asarray(w.sum(axis=1)).ravel()
        np.testing.assert_allclose(got["degrees"], degrees, rtol=1e-14)
        x = block(0, n)
        np.testing.assert_allclose(got["product"], w @ x, rtol=1e-12, atol=1e-13)
        np.testing.assert_allclose(got["inner"], x.T @ (w @ x), rtol=1e-12, atol=1e-12)
        # P^T W P of an aggregation whose coarse nodes lie with other processes than their pixels.
        aggregates, coarse = aggregation(n, 0, n)
        p = scipy.sparse.csr_matrix(
            (np.cos(np.arange(n)), (np.arange(n), aggregates)), shape=(n, coarse)
        )
        expected = (p.T @ w @ p).toarray()
        got_coarse = scipy.sparse.csr_matrix(
            (got["coarse_data"], got["coarse_indices"], got["coarse_indptr"]),
            shape=(coarse, coarse),
        )
        np.testing.assert_allclose(got_coarse.toarray(), expected, rtol=1e-12, atol=1e-13)
        np.testing.assert_allclose(got["lifted"], p @ block(0, coarse, 2), rtol=1e-14)
        np.testing.assert_array_equal(got["shown"], w.toarray()[got["shown_rows"]])
        # The merge's sums over the entries between two different pixels that hold a weight.
        labels = got["labels"]
        w.eliminate_zeros()
        assert got["stored"][0] == w.nnz
        entries = w.tocoo()
        off = entries.row != entries.col
        rows, columns, values = (
            labels[entries.row[off]],
            labels[entries.col[off]],
            entries.data[off],
        )
        total, number = segmentation.border_sums(rows, columns, values, 7)
        inner_total, inner_number = segmentation.coherence_sums(rows, columns, values, 7)
        np.testing.assert_array_equal(got["number"], number)
        np.testing.assert_allclose(got["total"], total, rtol=1e-13)
        np.testing.assert_array_equal(got["inner_number"], inner_number)
        np.testing.assert_allclose(got["inner_total"], inner_total, rtol=1e-13)
        assert number.sum() > 0 and inner_number.sum() > 0


def coin_areas(segments):
    areas = np.bincount(segments.ravel())
    return areas, np.sum((areas >= 500) & (areas <= 10000))  # the coins hold 1100 to 3200 pixels


def principal_sines(a, b, inner=None):
    """Sines of the principal angles between the column spaces of a and b (in the inner
    product of the diagonal `inner`, the degrees, when given), largest first."""
    scale = np.ones(a.shape[0]) if inner is None else np.sqrt(inner)
    qa, _ = np.linalg.qr(a * scale[:, None])
    qb, _ = np.linalg.qr(b * scale[:, None])
    cosines = np.clip(np.linalg.svd(qa.T @ qb, compute_uv=False), 0, 1)
    return np.sort(np.sqrt(1 - cosines**2))[::-1]


@pytest.fixture(scope="module", params=[None, 2, 3], ids=["no_mpirun", "P2", "P3"])
def embedded(request, tmp_path_factory):
    outdir = tmp_path_factory.mktemp("embedding")
    code, out, err = mpi_run(request.param, TESTS / "distributed_cases.py", outdir, "embedding")
    assert code == 0, out + err
    return dict(np.load(outdir / "embedding.npz"))


def embedded_problem(sigma, rows=None):
    _, radius, count = EMBEDDED
    image = embedded_image()[:rows]
    shape = image.shape
    magnitude, phase = segmentation.edges(image)
    w = segmentation.symmetric(
        quorvane.weights(magnitude, phase, *quorvane.disc_pattern(shape, radius), sigma)
    )
    return w, np.asarray(w.sum(axis=1)).ravel(), count


def test_multilevel_eigenvectors_span_the_leading_subspace(embedded):
    w, degrees, count = embedded_problem(float(embedded["sigma"]))
    vectors = embedded["vectors"]
    assert vectors.shape == (w.shape[0], count)
    # D-orthonormal Ritz vectors whose Ritz values are their Rayleigh quotients.
    np.testing.assert_allclose(vectors.T @ (degrees[:, None] * vectors), np.eye(count), atol=1e-9)
    np.testing.assert_allclose(np.diag(vectors.T @ (w @ vectors)), embedded["values"], rtol=1e-9)
    assert (np.diff(embedded["values"]) <= 0).all()
    # The full solve: the leading eigenvectors of D^-1/2 W D^-1/2, densely.
    scale = 1 / np.sqrt(degrees)
    _, exact = np.linalg.eigh(scale[:, None] * w.toarray() * scale[None, :])
    exact = exact[:, ::-1][:, :count] * scale[:, None]
    # The disc and the background are the two leading directions, far from the rest.
    assert principal_sines(vectors[:, :2], exact[:, :2], degrees)[0] < 1e-6
    assert principal_sines(vectors, exact, degrees)[0] < 0.15


def test_multilevel_eigenvectors_of_one_to_three_processes_span_one_subspace(embedded, tmp_path):
    code, out, err = mpi_run(None, TESTS / "distributed_cases.py", tmp_path, "embedding")
    assert code == 0, out + err
    single = np.load(tmp_path / "embedding.npz")
    _, degrees, _ = embedded_problem(float(embedded["sigma"]))
    # Roundings differ with the processes' shares (and numpy's alignment), magnified by the
    # gap between the last vector kept and the next.
    assert principal_sines(embedded["vectors"], single["vectors"], degrees)[0] < 1e-6


def test_a_graph_too_small_to_coarsen_is_solved_whole_on_process_zero(tmp_path):
    # 17 of the 36 rows: 748 pixels, no more than multilevel.COARSEST.
    found = []
    for processes in [None, 2]:
        outdir = tmp_path / str(processes)
        outdir.mkdir()
        code, out, err = mpi_run(processes, TESTS / "distributed_cases.py", outdir, "embedding", 17)
        assert code == 0, out + err
        found.append(np.load(outdir / "embedding.npz"))
    w, degrees, count = embedded_problem(float(found[0]["sigma"]), 17)
    assert w.shape[0] <= multilevel.COARSEST and found[1]["levels"] == 1
    scale = 1 / np.sqrt(degrees)
    _, exact = np.linalg.eigh(scale[:, None] * w.toarray() * scale[None, :])
    exact = exact[:, ::-1][:, :count] * scale[:, None]
    assert principal_sines(found[1]["vectors"], exact, degrees)[0] < 1e-6
    assert principal_sines(found[0]["vectors"], found[1]["vectors"], degrees)[0] < 1e-6


@pytest.fixture(scope="module")
def coins_runs(tmp_path_factory):
    runs = {}
    for processes in [None, 2, 3]:
        outdir = tmp_path_factory.mktemp(f"coins{processes}")
        code, out, err = mpi_run(
            processes,
            TESTS / "distributed_cases.py",
            outdir,
            "segment",
            REPO / "data" / "coins.png",
            1,
        )
        assert code == 0, out + err
        runs[processes or 1] = outdir, dict(np.load(outdir / "segment.npz")), out
    return runs


def test_one_two_and_three_processes_segment_coins_alike(coins_runs):
    from sklearn.metrics import adjusted_rand_score

    segments = {p: run["segments"] for p, (_, run, _) in coins_runs.items()}
    for a, b in [(1, 2), (1, 3), (2, 3)]:
        assert adjusted_rand_score(segments[a].ravel(), segments[b].ravel()) >= 0.99, (a, b)
    # The 24 coins and one background, as the demo finds them with the same method in one process.
    for got in segments.values():
        areas, coins = coin_areas(got)
        assert coins == 24 and areas.max() > 0.5 * got.size, sorted(areas)
    reference, _ = demo.segment(
        str(REPO / "data" / "coins.png"), segmentation.Settings(), 1, say=lambda text: None
    )
    assert adjusted_rand_score(reference.segments.ravel(), segments[1].ravel()) >= 0.99


@pytest.mark.parametrize("processes", [1, 2, 3])
def test_the_run_reports_its_steps_and_draws_the_pictures(coins_runs, processes):
    outdir, run, out = coins_runs[processes]
    *steps, memory, last = out.splitlines()
    assert last == f"{run['count']} segments"
    assert (
        memory.startswith("peak resident memory per process: ") and memory.count("MiB") == processes
    )
    steps = [step for step in steps if not step.startswith("          ")]  # progress lines
    assert (
        len(steps) == 7 and "products of W with a vector" in steps[3] and "total" in steps[-1]
    ), steps
    assert f"{processes} process" in steps[0] and "MiB each expected" in steps[0]
    for name in PICTURES:
        with Image.open(outdir / "pictures" / name) as picture:
            assert picture.format == "PNG" and picture.width >= 500, name


def test_readme_command_runs_as_written(tmp_path):
    """The README's mpirun line, as root too, without the tests' leave in the environment;
    only the interpreter and the output folder are this run's, shrunk by 4 for time."""
    section = re.search(
        r"^## Across MPI processes.*?^```sh\n(.*?)^```",
        (REPO / "README.md").read_text(),
        re.M | re.S,
    )
    (line,) = section.group(1).strip().splitlines()
    words = line.split()
    assert words[0] == "mpirun" and "venv/bin/python3" in words and words[-1] == "out", line
    words = [sys.executable if w == "venv/bin/python3" else w for w in words[:-1]] + [
        tmp_path / "out",
        "--shrink",
        "4",
    ]
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("OMPI_", "PRTE_"))}
    result = subprocess.run(
        words, cwd=REPO, env=environment, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert (
        result.stdout.splitlines()[-1].endswith(" segments")
        and (tmp_path / "out" / "segmentation.png").exists()
    )


def big(path):
    Image.new("L", (9000, 9000)).save(path)


@pytest.mark.parametrize(
    "make, options, message",
    [
        (lambda path: Image.new("L", (64, 48), 90).save(path), [], "has no edges to segment by"),
        (lambda path: Image.new("L", (1, 1), 90).save(path), [], "need more than 47 pixels, got 1"),
        # Enough pixels for the eigenvectors, too few for the clusters.
        (
            lambda path: Image.fromarray(np.eye(7, 6, dtype=np.uint8) * 200).save(path),
            [],
            "need more than 47 pixels",
        ),
        # Refused from the size alone, before any process reads the pixels.
        (big, [], "GiB available (MemAvailable)"),
        (big, ["--radius", "6"], "pattern entries need at least 5 processes"),
    ],
    ids=[
        "uniform",
        "one_pixel",
        "fewer_pixels_than_clusters",
        "beyond_the_memory",
        "beyond_the_indices",
    ],
)
@pytest.mark.parametrize(
    "processes, command",
    [
        (2, "quorvane.segment.distributed"),
        (3, "quorvane.segment.distributed"),
        (2, "quorvane.distributed"),
    ],
    ids=["P2", "P3", "P2_former_name"],
)
def test_unusable_pictures_fail_on_every_process_with_one_message(
    tmp_path, make, options, message, processes, command
):
    make(tmp_path / "picture.png")
    code, out, err = mpi_run(
        processes, "-m", command, tmp_path / "picture.png", tmp_path / "out", *options, timeout=120
    )
    assert code != 0 and err.count("quorvane.distributed: ") == 1 and message in err, err
    assert not (tmp_path / "out").exists()
    # The former name warns on every process; the command's own name does not.
    warning = "FutureWarning: quorvane.distributed is deprecated; use python3 -m "
    warning += "quorvane.segment.distributed"
    assert err.count(warning) == (processes if command == "quorvane.distributed" else 0), err


def test_missing_mpi_packages_are_named(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "mpi4py", None)
    assert cli.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
    assert "apt-get install python3-mpi4py" in capsys.readouterr().err


class TestPieces:
    def test_progress_tells_the_share_done_and_the_seconds_left(self, monkeypatch):
        said, now = [], [100.0]
        monkeypatch.setattr(report.time, "perf_counter", lambda: now[0])
        progress = report.Progress(said.append, "sweeps", 4, every=5.0)
        for count, at in [(1, 102.0), (2, 110.0), (3, 112.0), (4, 120.0)]:
            now[0] = at
            progress.done(count)
        # Quiet within `every` seconds of the last line, and at the end.
        assert said == ["          sweeps: 2 of 4, about 10 s left"]

    @pytest.mark.parametrize(
        "shape, radius", [((40, 25), 5), ((1, 30), 2.5), ((7, 9), 0), ((6, 5), np.inf)]
    )
    def test_pattern_entries_are_counted_from_the_shape(self, shape, radius):
        assert memory.pattern_entries(shape, radius) == quorvane.disc_pattern(shape, radius)[0].size

    def test_memory_estimate_shares_the_matrix_and_charges_process_zero(self):
        one = memory.memory_estimate(10**6, 80 * 10**6, 1, 32, 0)
        first, other = (
            memory.memory_estimate(10**6, 80 * 10**6, 2, 32, rank) for rank in (0, 1)
        )
        # The matrix twice (24 bytes an entry) dominates a million pixels at radius 5.
        assert 24 * 80 * 10**6 < one < 2 * 24 * 80 * 10**6
        assert first > other and 0.5 * one < other < 0.6 * one

    @pytest.mark.parametrize(
        "start, stop, radius, entries",
        [
            (0, 1, 5, 1),
            (3, 1000, 2, 100),
            (7, 8, 0, 10),
            (5, 95, 3.5, 1 << 20),
            (0, 1000, np.inf, 2500),
        ],
    )
    def test_slices_cover_the_range_once_in_order_within_their_entries(
        self, start, stop, radius, entries
    ):
        slices = shares.column_chunks((40, 25), radius, start, stop, entries)
        assert slices[0][0] == start and slices[-1][1] == stop
        assert all(a < b for a, b in slices) and all(
            b == c for (_, b), (c, _) in zip(slices, slices[1:])
        )
        for a, b in slices:
            count = quorvane.disc_pattern((40, 25), radius, columns=(a, b))[0].size
            assert count <= entries or b - a == 1

    def test_counts_inside_and_outside_a_row_range(self):
        indices, indptr = quorvane.disc_pattern((6, 5), 1.5, columns=(10, 20))
        within, outside = shares.inside_counts(indices, indptr, 12, 18)
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
        sums = [
            segmentation.border_sums(labels[w.row[p]], labels[w.col[p]], w.data[p], 6)
            for p in parts
        ]
        total, number = sum(s[0] for s in sums), sum(s[1] for s in sums)
        merged, count = segmentation.merge_bordering(labels, total, number, 0.3)
        expected, expected_count = segmentation.merge_unseparated(labels, w, 0.3)
        assert count == expected_count == 2
        np.testing.assert_array_equal(merged, expected)
