"""quorvane.segment.distributed: the strength, weights and region sums that 1 to 3 MPI
processes build together against quorvane.weights and quorvane.segment bit for bit, and their
segments against one process's, label for label. The MPI runs go through mpirun
(distributed_cases.py), each bounded in time."""

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
from quorvane import _quorvane
from quorvane.segment import demo
from quorvane.segment.distributed import cli, memory
from conftest import PICTURES, REPO, TESTS, assert_same_bits, assert_same_matrix
from distributed_cases import CASES

sys.path.insert(0, str(REPO / "bench"))
import known_regions  # noqa: E402

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
    outdir = tmp_path_factory.mktemp("sums")
    code, out, err = mpi_run(request.param, TESTS / "distributed_cases.py", outdir, "sums")
    assert code == 0, out + err
    return request.param or 1, {name: np.load(outdir / f"{name}.npz") for name in CASES}


def saved_csr(saved, name, shape, kind=scipy.sparse.csr_matrix):
    return kind((saved[f"{name}_data"], saved[f"{name}_indices"], saved[f"{name}_indptr"]), shape)


@pytest.mark.parametrize("name", list(CASES))
def test_shared_weights_and_region_sums_are_one_processs_bit_for_bit(gathered, name):
    processes, cases = gathered
    picture, radius, chunk = CASES[name]
    got = cases[name]
    road = segmentation.steps.Road(picture)
    road.measure()
    road.flood()
    assert_same_bits(got["strength"], road.strength)
    assert_same_bits(got["crests"], road.crests)
    n, count = picture.size, road.basin_count
    w = quorvane.weights(
        road.crests,
        road.basins.astype(float),
        *quorvane.disc_pattern(picture.shape, radius),
        road.settings.sigma,
    )
    assert_same_matrix(saved_csr(got, "weights", (n, n), scipy.sparse.csc_matrix), w)
    # The processes take the chunks of one process in order, each once, shares about equal.
    chunks = _quorvane.sum_chunks(w.indptr, chunk)
    np.testing.assert_array_equal(got["chunks"], chunks)
    assert (np.diff(got["owners"]) >= 0).all() and got["owners"].max() < processes
    if len(chunks) >= 3 * processes:
        assert np.unique(got["owners"]).size == processes
    labels = road.basins.ravel()
    alone = {}
    for part, among in [("total", None), ("around", np.arange(count) % 3 == 0)]:
        alone[part] = _quorvane.chunk_ties(
            labels, count, w.data, w.indices, w.indptr, chunks, among
        )
        assert len(alone[part]) == len(chunks)
        expected, found = _quorvane.added_ties(alone[part], count), got[part]
        np.testing.assert_array_equal(found[["a", "b"]], expected[["a", "b"]])
        assert_same_bits(found["sum"]["tie"], expected["sum"]["tie"])
        np.testing.assert_array_equal(found["sum"]["count"], expected["sum"]["count"])
    # Merged over the gathered sums as over one process's, and as the whole matrix merges
    # when the chunks are the core's own.
    regions = _quorvane.merge_summed_regions(road.basins, count, lambda *_: alone["total"], 8)[0]
    np.testing.assert_array_equal(got["merged"], regions)
    if chunk == _quorvane.SUM_CHUNK_ENTRIES:
        whole = _quorvane.merge_regions(road.basins, count, w.data, w.indices, w.indptr, 8)[0]
        np.testing.assert_array_equal(got["merged"], whole)


def coin_areas(segments):
    areas = np.bincount(segments.ravel())
    return areas, int(np.sum((areas >= 500) & (areas <= 10000)))


def distributed_segments(processes, image, outdir, shrink=1):
    code, out, err = mpi_run(
        processes, TESTS / "distributed_cases.py", outdir, "segment", image, shrink
    )
    assert code == 0, out + err
    return dict(np.load(outdir / "segment.npz")), out


def one_process(image, shrink=1):
    run, _ = demo.segment_photograph(
        str(image), segmentation.Settings(), shrink, say=lambda text: None
    )
    return run.segments


@pytest.fixture(scope="module")
def coins_runs(tmp_path_factory):
    runs = {}
    for processes in [None, 2, 3]:
        outdir = tmp_path_factory.mktemp(f"coins{processes}")
        run, out = distributed_segments(processes, REPO / "data" / "coins.png", outdir)
        runs[processes or 1] = outdir, run, out
    return runs


def test_one_two_and_three_processes_segment_coins_as_one_process_does(coins_runs):
    expected = one_process(REPO / "data" / "coins.png")
    for processes, (_, run, _) in coins_runs.items():
        np.testing.assert_array_equal(run["segments"], expected, err_msg=f"{processes} processes")
    # The 24 coins and one background.
    areas, coins = coin_areas(expected)
    assert coins == 24 and areas.max() > 0.5 * expected.size, sorted(areas)


@pytest.mark.parametrize("kind, processes", [("hue", 2), ("deep", 3), ("small", 3)])
def test_photographs_of_the_benchmark_segment_as_one_process_does(kind, processes, tmp_path):
    image, _ = known_regions.photograph(kind, 500)
    Image.fromarray(image).save(tmp_path / "picture.png")
    got, _ = distributed_segments(processes, tmp_path / "picture.png", tmp_path)
    np.testing.assert_array_equal(got["segments"], one_process(tmp_path / "picture.png"))


@pytest.mark.parametrize("processes", [1, 2, 3])
def test_the_run_reports_its_steps_and_draws_the_pictures(coins_runs, processes):
    outdir, run, out = coins_runs[processes]
    *steps, memory_line, last = out.splitlines()
    assert last == f"{run['count']} segments"
    assert (
        memory_line.startswith("peak resident memory per process: ")
        and memory_line.count("MiB") == processes
    )
    assert len(steps) == 6 and "basins merged into" in steps[2] and "total" in steps[-1], steps
    assert f"{processes} process" in steps[0] and "MiB each expected" in steps[0]
    # The estimate is never below what a process held at its peak.
    expected = float(re.search(r"about (\d+) MiB each expected", steps[0]).group(1))
    peaks = [float(p) for p in re.findall(r"(\d+) MiB", memory_line)]
    assert max(peaks) <= expected, (peaks, expected)
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
        (
            lambda path: Image.new("L", (64, 48), 90).save(path),
            [],
            "picture.png: the picture is constant: it has no edges to segment by",
        ),
        (
            lambda path: Image.new("L", (1, 1), 90).save(path),
            [],
            "the picture shall be at least 2 x 2 pixels, got 1 x 1",
        ),
        (lambda path: Image.new("L", (3, 3), 90).save(path), ["--shrink", "4"], "cannot shrink"),
        (lambda path: path.write_text("not a picture"), [], "cannot identify image file"),
        (lambda path: None, [], "No such file or directory"),
        (lambda path: path.mkdir(), [], "Is a directory"),
        # Refused from the size alone, before any process reads the pixels.
        (big, [], "GiB available (MemAvailable)"),
        (big, ["--radius", "10"], "pattern entries need at least 6 processes"),
    ],
    ids=[
        "uniform",
        "one_pixel",
        "beyond_the_shrinking",
        "not_a_picture",
        "missing",
        "directory",
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


@pytest.mark.parametrize("package", ["mpi4py", "matplotlib"])
def test_missing_packages_are_named(package, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, package, None)
    assert cli.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
    error = capsys.readouterr().err
    assert "apt-get install python3-mpi4py" in error and package in error


class TestPieces:
    @pytest.mark.parametrize(
        "shape, radius", [((40, 25), 5), ((1, 30), 2.5), ((7, 9), 0), ((6, 5), np.inf)]
    )
    def test_chunks_are_those_of_the_disc_patterns_starts(self, shape, radius):
        starts = quorvane.disc_pattern(shape, radius)[1]
        for entries in (1, 7, 10**6):
            chunks, begins = _quorvane.disc_chunks(*shape, radius, entries)
            assert chunks == _quorvane.sum_chunks(starts, entries)
            np.testing.assert_array_equal(begins, starts[[first for first, _ in chunks] + [-1]])
        # The estimate's count is never below the pattern's.
        assert memory.pattern_entries(shape, radius) >= starts[-1]

    def test_memory_estimate_shares_the_weights_and_not_the_pixels(self):
        settings = segmentation.Settings()
        one, two = (memory.memory_estimate((1000, 1000), settings, p) for p in (1, 2))
        fixed = segmentation.memory.PIXEL_BYTES * 10**6 + segmentation.memory.BASE_BYTES
        assert one - two == pytest.approx((one - fixed) / 2, rel=1e-6)
