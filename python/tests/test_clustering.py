"""Spectral segmentation over quorvane weights: a synthetic two-region image with scipy
alone, the steps of quorvane.segment, the multilevel eigenvectors against a full solve, the
benchmark's scenes with known regions, and the command line quorvane.segment.demo on
coins.png (and under its former name quorvane.demo)."""

import importlib
import re
import subprocess
import sys

import numpy as np
import pytest
import scipy.linalg
import scipy.sparse
from PIL import Image
from sklearn.metrics import adjusted_rand_score
from scipy import ndimage
from scipy.sparse import diags
from scipy.sparse.linalg import eigsh

import quorvane
import quorvane.segment as segmentation
from quorvane.segment import demo, multilevel
from conftest import PICTURES, REPO


def two_regions(shape=(30, 40), seed=1):
    """A bright disc off-centre on a dark background, with noise; the truth mask."""
    h, w = shape
    r, c = np.mgrid[0:h, 0:w]
    inside = (r - 0.45 * h) ** 2 + (c - 0.6 * w) ** 2 <= (0.3 * h) ** 2
    rng = np.random.default_rng(seed)
    image = np.where(inside, 0.8, 0.2) + rng.normal(0.0, 0.05, shape)
    return image, inside


def segment(image, phase=None, radius=4):
    """Two-way normalised-cut split: the sign of the second eigenvector of D^-1/2 W D^-1/2.
    The phase is the sign of the Laplacian of Gaussian unless given."""
    magnitude = ndimage.gaussian_gradient_magnitude(image, 1.0)
    if phase is None:
        phase = np.sign(ndimage.gaussian_laplace(image, 1.5))
    indices, indptr = quorvane.disc_pattern(image.shape, radius)
    w = quorvane.weights(magnitude, phase, indices, indptr)
    assert w.indices.dtype == np.int32  # what ARPACK and scikit-learn take
    w = (w + w.T) / 2  # walks from either end may differ by a rounding of the line
    scale = diags(1.0 / np.sqrt(np.asarray(w.sum(axis=0)).ravel()))
    values, vectors = eigsh(scale @ w @ scale, k=2, which="LA", v0=np.ones(image.size))
    second = vectors[:, np.argsort(values)[0]] * scale.diagonal()
    return (second > 0).reshape(image.shape)


def agreement(labels, truth):
    """Share of pixels on the right side, either sign of the eigenvector."""
    return max(np.mean(labels == truth), np.mean(labels != truth))


def test_the_two_regions_come_out_apart():
    image, inside = two_regions()
    share = agreement(segment(image), inside)
    assert share > 0.97, f"only {share:.1%} of the pixels on the right side"


def test_without_phase_changes_the_disc_is_not_found():
    # Control: a constant phase makes every weight 1, so the split follows the grid's
    # geometry alone. The test above passes because of the edges, not by the shape.
    image, inside = two_regions()
    share = agreement(segment(image, phase=np.zeros(image.shape)), inside)
    assert share < 0.9, f"{share:.1%} without any edge"


# The segmentation steps of quorvane.segment and the command line quorvane.segment.demo.


def strip_weights(labels, across):
    """Symmetric weights of a 1 x n strip of pixels, 1 within a label, across[(a, b)]
    between neighbouring labels a < b (each pixel paired with itself and its neighbours)."""
    n = len(labels)
    rows, cols, values = [], [], []
    for p in range(n):
        for q in (p - 1, p, p + 1):
            if 0 <= q < n:
                a, b = sorted((labels[p], labels[q]))
                rows.append(p)
                cols.append(q)
                values.append(1.0 if a == b else across[(a, b)])
    return scipy.sparse.csr_matrix((values, (rows, cols)), shape=(n, n))


class TestSegmentationSteps:
    def test_clusters_merge_across_weak_borders_only_and_transitively(self):
        # 0 | 1 weak (0.9): merge; 1 | 2 strong (0.1): apart; 2 | 3 weak, so 3 joins 2;
        # 4 borders only 3, strongly; 0 and 4 are the same cluster but never border.
        labels = np.array([0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 0])
        across = {(0, 1): 0.9, (1, 2): 0.1, (2, 3): 0.85, (3, 4): 0.2, (0, 4): 0.1}
        merged, count = segmentation.merge_unseparated(labels, strip_weights(labels, across), 0.8)
        assert count == 3
        assert sorted(set(merged)) == [0, 1, 2]
        groups = [merged[0], merged[4], merged[8]]
        assert len(set(groups)) == 3
        np.testing.assert_array_equal(merged, np.array(groups)[[0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 0]])

    def test_a_border_at_the_limit_does_not_merge(self):
        labels = np.array([0, 0, 1, 1])
        _, count = segmentation.merge_unseparated(labels, strip_weights(labels, {(0, 1): 0.8}), 0.8)
        assert count == 2

    def test_connected_segments_are_four_connected_pieces(self):
        labels = np.array([[0, 0, 1, 0], [1, 1, 1, 0], [0, 1, 0, 0], [1, 0, 0, 1]])
        segments, count = segmentation.connected_segments(labels)
        # Label 0: the top-left pair, the right-hand block, and the lone 0 at (2, 0);
        # label 1: the cross, and the lone corners (3, 0) and (3, 3): diagonal contact
        # does not connect.
        assert count == 6
        assert segments.shape == labels.shape and set(segments.ravel()) == set(range(6))
        same = lambda a, b: segments[a] == segments[b]  # noqa: E731
        assert same((0, 0), (0, 1)) and same((0, 3), (3, 2)) and same((0, 2), (2, 1))
        assert not same((0, 1), (2, 0)) and not same((2, 1), (3, 0)) and not same((3, 3), (2, 1))

    @pytest.mark.parametrize(
        "shape, factor",
        [((303, 384), 2), ((512, 512), 2), ((514, 514), 3), ((256, 256), 1), ((2000, 3000), 10)],
    )
    def test_shrinking_keeps_the_pixel_budget_with_the_smallest_factor(self, shape, factor):
        assert segmentation.shrink_factor(shape, 65536) == factor

    def test_shrink_and_enlarge_fit_odd_sizes(self):
        image = np.arange(7 * 5, dtype=float).reshape(7, 5)
        small = segmentation.shrink(image, 2)
        np.testing.assert_array_equal(small, [[3, 5], [13, 15], [23, 25]])
        big = segmentation.enlarge(np.array([[1, 2], [3, 4], [5, 6]]), 2, image.shape)
        assert big.shape == (7, 5)
        np.testing.assert_array_equal(big[:, 4], [2, 2, 4, 4, 6, 6, 6])
        np.testing.assert_array_equal(big[6], [5, 5, 6, 6, 6])

    def test_embedding_solves_the_generalised_problem_repeatably(self):
        image, _ = two_regions((20, 24))
        magnitude, phase = segmentation.edges(image)
        w = segmentation.symmetric(
            quorvane.weights(magnitude, phase, *quorvane.disc_pattern(image.shape, 3))
        )
        affinity, degrees = segmentation.normalised_affinity(w)
        values, embedding = segmentation.leading_eigenvectors(affinity, degrees, 6)
        assert np.all(np.diff(values) <= 0) and values[0] == pytest.approx(1.0, abs=1e-12)
        # W x = lambda D x for every column x of the embedding.
        np.testing.assert_allclose(w @ embedding, degrees[:, None] * embedding * values, atol=1e-10)
        again = segmentation.leading_eigenvectors(affinity, degrees, 6)
        np.testing.assert_array_equal(again[0], values)
        np.testing.assert_array_equal(again[1], embedding)

    @pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "I;16"])
    def test_every_kind_of_grey_picture_reads_the_same(self, tmp_path, mode):
        grey = np.add.outer(np.arange(16), np.arange(16)) * 8 % 256
        grey[0, 0] = 255
        if mode == "I;16":
            picture = Image.fromarray((grey * 257).astype(np.uint16))
        else:
            picture = Image.fromarray(grey.astype(np.uint8)).convert(mode)
        picture.save(tmp_path / "grey.png")
        np.testing.assert_array_equal(segmentation.read_grey(tmp_path / "grey.png"), grey / 255)


class TestDemo:
    def test_each_coin_is_a_segment_of_its_own_on_one_background(
        self, tmp_path, capsys, monkeypatch
    ):
        runs = []
        segment = demo.segment
        monkeypatch.setattr(demo, "segment", lambda *args: runs.append(segment(*args)) or runs[-1])
        assert demo.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 0
        ((run, _),) = runs
        areas = np.bincount(run.segments.ravel())
        assert run.segments.shape == (303, 384) and areas.size == run.count and areas.min() > 0
        assert (
            areas.max() > 0.5 * run.segments.size
        ), "no background segment covers most of the photograph"
        coins = np.sum((areas >= 500) & (areas <= 10000))  # the coins hold 1100 to 3200 pixels
        assert coins == 24, f"{coins} coin-sized segments, areas {sorted(areas)}"

        *steps, last = capsys.readouterr().out.splitlines()
        assert last == f"{run.count} segments"
        # Seven timed steps (the last the total); the eigenvectors' progress indented between.
        timed = [line for line in steps if re.fullmatch(r" *\d+\.\d\d s  \S.*", line)]
        assert len(timed) == 7 and timed[-1].endswith("s  total"), steps
        assert all(re.fullmatch(r" {9}\S.*", line) for line in steps if line not in timed), steps
        assert any("solved exactly" in line for line in steps), steps
        for name in PICTURES:
            with Image.open(tmp_path / name) as picture:
                assert picture.format == "PNG" and picture.width >= 500, name

    @pytest.mark.parametrize(
        "make, message",
        [
            (lambda path: None, "No such file"),
            (lambda path: path.write_text("not a picture"), "cannot identify image file"),
            (
                lambda path: Image.new("L", (64, 48), 90).save(path, "PNG"),
                "has no edges to segment by",
            ),
            (
                lambda path: Image.fromarray(np.eye(5, dtype=np.uint8) * 200).save(path),
                "need more than 32 pixels",
            ),
        ],
        ids=["missing", "not_a_picture", "uniform", "too_small"],
    )
    def test_unusable_pictures_are_refused_with_a_message(self, tmp_path, capsys, make, message):
        make(tmp_path / "picture.png")
        assert demo.main([str(tmp_path / "picture.png"), str(tmp_path / "out")]) == 1
        error = capsys.readouterr().err
        assert error.startswith("quorvane.demo: ") and message in error, error
        assert not (tmp_path / "out").exists()

    def test_missing_demo_packages_are_named(self, tmp_path, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
        monkeypatch.delitem(sys.modules, "quorvane.segment.pictures", raising=False)
        monkeypatch.delattr(quorvane.segment, "pictures", raising=False)
        assert demo.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
        assert 'pip install "quorvane[demo]"' in capsys.readouterr().err

    @pytest.mark.parametrize("option", ["--shrink=0", "--radius=-1", "--clusters=two"])
    def test_bad_options_stop_before_any_work(self, option, capsys):
        with pytest.raises(SystemExit) as stop:
            demo.main([str(REPO / "data" / "coins.png"), option])
        assert stop.value.code == 2 and option.split("=")[0] in capsys.readouterr().err

    @pytest.fixture(scope="class")
    def commands(self, tmp_path_factory):
        """python3 -m of the demo under its name and its former one, on coins.png shrunk by 3,
        and on a picture without edges: {command: (good run, failed run, output folder)}."""
        folder = tmp_path_factory.mktemp("commands")
        Image.new("L", (64, 48), 90).save(folder / "uniform.png")
        runs = {}
        for command in ["quorvane.segment.demo", "quorvane.demo"]:
            outdir = folder / command
            good, bad = (
                subprocess.run(
                    [sys.executable, "-m", command, *arguments],
                    capture_output=True,
                    text=True,
                    timeout=300,
                )
                for arguments in (
                    [REPO / "data" / "coins.png", outdir, "--shrink", "3"],
                    [folder / "uniform.png", folder / "none"],
                )
            )
            runs[command] = good, bad, outdir
        return runs

    @pytest.mark.parametrize("command", ["quorvane.segment.demo", "quorvane.demo"])
    def test_the_command_and_its_former_name_run_alike(self, commands, command):
        good, bad, outdir = commands[command]
        assert good.returncode == 0, good.stderr
        reference, _, reference_outdir = commands["quorvane.segment.demo"]

        def untimed(run, outdir):
            return [
                re.sub(r"\d+\.\d+ s", "", line.replace(str(outdir), "OUT"))
                for line in run.stdout.splitlines()
            ]

        assert untimed(good, outdir) == untimed(reference, reference_outdir)
        assert good.stdout.splitlines()[-1].endswith(" segments")
        assert sorted(p.name for p in outdir.iterdir()) == sorted(PICTURES)
        assert bad.returncode == 1 and bad.stderr.count("quorvane.demo: ") == 1, bad.stderr
        assert "has no edges to segment by" in bad.stderr and not (outdir.parent / "none").exists()
        # The former name says so on stderr, once, and the command's own name says nothing.
        warning = "FutureWarning: quorvane.demo is deprecated; use python3 -m quorvane.segment.demo"
        for run in (good, bad):
            assert run.stderr.count(warning) == (command == "quorvane.demo"), run.stderr

    @pytest.mark.parametrize(
        "former, module, name",
        [
            ("quorvane.segmentation", "quorvane.segment", "merge_similar"),
            ("quorvane.multilevel", "quorvane.segment.multilevel", "leading_subspace"),
            ("quorvane.pictures", "quorvane.segment.pictures", "write_all"),
            ("quorvane.demo", "quorvane.segment.demo", "main"),
            ("quorvane.distributed", "quorvane.segment.distributed.cli", "main"),
        ],
    )
    def test_former_modules_warn_and_give_the_same_functions(
        self, monkeypatch, former, module, name
    ):
        monkeypatch.delitem(sys.modules, former, raising=False)
        advice = rf"^{re.escape(former)} is deprecated; use (python3 -m )?quorvane\.segment"
        with pytest.warns(FutureWarning, match=advice):
            old = importlib.import_module(former)
        assert getattr(old, name) is getattr(importlib.import_module(module), name)


# The multilevel eigenvectors (quorvane.segment.multilevel) and the segmentation over them.

sys.path.insert(0, str(REPO / "bench"))
import scenes  # noqa: E402


def scene_weights(seed, factor=1, radius=4.0):
    """Symmetric weights of a benchmark scene (shrunk by factor), its shape and truth."""
    picture, truth, _ = scenes.scene(seed)
    picture = segmentation.shrink(picture, factor)
    magnitude, phase = segmentation.edges(picture)
    w = segmentation.symmetric(
        quorvane.weights(
            magnitude,
            phase,
            *quorvane.disc_pattern(magnitude.shape, radius),
            segmentation.weight_sigma(picture),
        )
    )
    return w, magnitude.shape, truth[::factor, ::factor][: magnitude.shape[0], : magnitude.shape[1]]


def exact_subspace(w, count):
    """The count leading eigenvalues of (W, D) and D-orthonormal eigenvectors, dense."""
    d = np.asarray(w.sum(axis=1)).ravel()
    values, vectors = scipy.linalg.eigh(w.toarray(), np.diag(d))
    return values[::-1][:count], vectors[:, ::-1][:, :count], d


class TestMultilevel:
    @pytest.mark.parametrize(
        "seed, factor", [(0, 8), (2, 8), (4, 7)], ids=["plain", "colour", "texture"]
    )
    def test_the_leading_ritz_vectors_lie_in_the_exact_leading_subspace(self, seed, factor):
        w, shape, _ = scene_weights(seed, factor)
        d = segmentation.degrees_of(w)
        positions = multilevel.pixel_positions(shape)
        values, x, levels = multilevel.leading_subspace(w, d, positions, 16, coarsest=100)
        assert len(levels) >= 3, [level.weights.shape for level in levels]
        exact_values, exact, _ = exact_subspace(w, w.shape[0])
        # The exact leading subspace: 24 vectors, and all that share the 24th value (at
        # this size pieces that no weight joins give eigenvalue 1 many times over).
        exact = exact[:, exact_values >= exact_values[23] - 1e-9]
        root = np.sqrt(d)[:, None]

        def sines(x):
            return np.sin(scipy.linalg.subspace_angles(root * x[:, :12], root * exact))

        # The clustering reads the subspace: the 12 leading Ritz vectors lie within it, and
        # more sweeps on the fine level bring them closer; the Ritz values bound the exact
        # ones from below and come close.
        assert sines(x).max() < 0.15
        more_values, more, _ = multilevel.leading_subspace(
            w, d, positions, 16, coarsest=100, sweeps_fine=40
        )
        assert sines(more).max() < 0.01
        assert np.all(values <= exact_values[:16] + 1e-10)
        np.testing.assert_allclose(values[:12], exact_values[:12], atol=0.03)
        np.testing.assert_allclose(more_values[:12], exact_values[:12], atol=1e-3)
        # D-orthonormal columns.
        np.testing.assert_allclose(x.T @ (d[:, None] * x), np.eye(16), atol=1e-9)

    def test_a_cluster_of_equal_eigenvalues_is_found_whole(self):
        # Five pieces no weight joins: eigenvalue 1 five times over, the case that a
        # single-vector Krylov method gets wrong; the subspace holds all five indicators.
        labels = np.repeat(np.arange(5), 6 * 40).reshape(30, 40)
        n = labels.size
        rows, columns = np.divmod(np.arange(n), 40)
        pairs = [
            (p, q)
            for p in range(n)
            for q in (p + 1, p + 40)
            if q < n and (q != p + 1 or columns[p] < 39)
        ]
        a, b = np.array(pairs).T
        keep = labels.ravel()[a] == labels.ravel()[b]
        w = scipy.sparse.coo_matrix((np.ones(keep.sum()), (a[keep], b[keep])), shape=(n, n))
        w = (w + w.T + scipy.sparse.identity(n)).tocsr()
        d = segmentation.degrees_of(w)
        values, x, _ = multilevel.leading_subspace(
            w, d, multilevel.pixel_positions((30, 40)), 6, coarsest=100
        )
        np.testing.assert_allclose(values[:5], 1.0, atol=1e-9)
        indicators = np.stack([(labels.ravel() == k).astype(float) for k in range(5)], axis=1)
        sines = np.sin(scipy.linalg.subspace_angles(indicators, x[:, :5]))
        assert sines.max() < 1e-6

    def test_a_share_of_the_rows_decides_as_the_whole(self):
        # The fine level's decisions read each pixel's own row: any slice of rows (a process's
        # share) gives the same links as the whole matrix.
        w, shape, _ = scene_weights(1, 2)
        positions = multilevel.pixel_positions(shape)
        whole = multilevel.links(w, positions, 3)
        n = w.shape[0]
        parts = [
            multilevel.rows_links(w[a:b], positions, 3, first=a)
            for a, b in ((0, n // 3), (n // 3, n - 7), (n - 7, n))
        ]
        np.testing.assert_array_equal(np.concatenate(parts), whole)

    def test_a_driver_that_makes_level_one_itself_gets_the_same_vectors(self):
        # As a run spread over processes does: level 1 made by the caller, everything below
        # it by leading_subspace(depth=1), the fine level refined by the caller.
        w, shape, _ = scene_weights(6, 2)
        d = segmentation.degrees_of(w)
        positions = multilevel.pixel_positions(shape)
        values, x, levels = multilevel.leading_subspace(w, d, positions, 12)
        fine, first = levels[0], levels[1]
        _, x1, below = multilevel.leading_subspace(
            first.weights, first.degrees, first.positions, 12, depth=1, trim=False
        )
        assert [level.weights.shape for level in below] == [
            level.weights.shape for level in levels[1:]
        ]
        again_values, again = multilevel.refine(w, d, x1[fine.aggregates], multilevel.SWEEPS_FINE)
        np.testing.assert_array_equal(again_values[:12], values)
        np.testing.assert_array_equal(again[:, :12], x)

    def test_aggregates_hold_one_seed_and_do_not_cross_edges(self):
        image, inside = two_regions((40, 48))
        magnitude, phase = segmentation.edges(image)
        w = segmentation.symmetric(
            quorvane.weights(
                magnitude,
                phase,
                *quorvane.disc_pattern(image.shape, 4),
                segmentation.weight_sigma(image),
            )
        )
        positions = multilevel.pixel_positions(image.shape)
        link = multilevel.links(w, positions, 3)
        aggregate, count, representative = multilevel.aggregation(link)
        seeds = (positions[:, 0] % 3 == 0) & (positions[:, 1] % 3 == 0)
        assert np.bincount(aggregate[seeds], minlength=count).max() == 1
        assert count < 0.2 * image.size
        np.testing.assert_array_equal(aggregate[representative], np.arange(count))
        # Every aggregate lies on one side of the disc's rim.
        sides = np.bincount(aggregate, weights=inside.ravel(), minlength=count) / np.bincount(
            aggregate
        )
        assert np.mean((sides > 0) & (sides < 1)) < 0.02

    def test_coarse_weights_are_the_sums_over_aggregates(self):
        w, shape, _ = scene_weights(3, 4)
        d = segmentation.degrees_of(w)
        aggregate, count, _ = multilevel.aggregation(
            multilevel.links(w, multilevel.pixel_positions(shape), 3)
        )
        coarse, coarse_degrees = multilevel.coarsen(w, d, aggregate, count)
        p = multilevel.prolongation(aggregate, count).toarray()
        np.testing.assert_allclose(coarse.toarray(), p.T @ w.toarray() @ p, rtol=1e-12)
        np.testing.assert_allclose(
            np.asarray(coarse.sum(axis=1)).ravel(), coarse_degrees, rtol=1e-12
        )


class TestSegmentationOfScenes:
    @pytest.mark.parametrize("seed", [0, 1, 2, 5])
    def test_scenes_with_known_regions_come_out_right(self, seed):
        picture, truth, kind = scenes.scene(seed)
        segments, count = segmentation.segment(picture)[5:]
        score = adjusted_rand_score(truth.ravel(), segments.ravel())
        regions = truth.max() + 1
        assert (
            score > 0.9
        ), f"{kind}: adjusted Rand index {score:.3f}, {count} segments for {regions} regions"

    def test_colour_holds_an_edge_that_brightness_does_not_show(self):
        # Two halves of nearly one luma, red and green: only the colour phase cuts them.
        picture = np.zeros((48, 64, 3))
        picture[:, :32] = (0.6, 0.3, 0.4)
        picture[:, 32:] = (0.3, 0.45, 0.45)
        picture += np.random.default_rng(3).normal(0, 0.02, picture.shape)
        halves = np.repeat([[0] * 32 + [1] * 32], 48, axis=0)
        settings = segmentation.Settings(eigenvectors=4, clusters=6)
        colour = segmentation.segment(picture, settings)[5]
        assert adjusted_rand_score(halves.ravel(), colour.ravel()) > 0.95
        with pytest.raises(ValueError, match="no edges"):
            segmentation.segment(segmentation.grey_of(picture), settings)

    def test_noise_and_shading_change_no_phase(self):
        rows = np.linspace(0.2, 0.8, 64)[:, None] * np.ones((64, 80))
        noisy = rows + np.random.default_rng(4).normal(0, 0.04, rows.shape)
        _, phase = segmentation.edges(noisy)
        assert not phase.any()
        step = noisy.copy()
        step[:, 40:] += 0.2
        _, phase = segmentation.edges(step)
        changes = np.flatnonzero(np.abs(np.diff(phase, axis=1)).sum(axis=0))
        assert changes.size and changes.min() >= 34 and changes.max() <= 45, changes

    @pytest.mark.parametrize(
        "picture, message",
        [
            (np.full((40, 50), 0.3), "no edges"),
            (np.full((1, 1), 0.3), "need more than 32 pixels"),
            (np.eye(6, 7), "need at least 48 pixels"),
        ],
        ids=["constant", "one_pixel", "fewer_pixels_than_clusters"],
    )
    def test_unusable_pictures_are_refused(self, picture, message):
        settings = segmentation.Settings(eigenvectors=32 if picture.size < 40 else 8)
        with pytest.raises(ValueError, match=message):
            segmentation.segment(picture, settings)

    def test_a_run_that_would_not_fit_says_so_with_the_figure(self):
        settings = segmentation.Settings()
        need = segmentation.memory_estimate((2000, 1500), settings)
        # Pixels x the disc's 49 pixels at radius 4: three matrices of 12 bytes an entry at
        # least (the weights, their symmetric copy, the transpose on the way), and the blocks.
        assert 3e6 * 49 * 36 < need < 3e6 * 49 * 36 * 3
        with pytest.raises(
            ValueError, match=rf"needs about {need / 2**30:.1f} GiB, but only 1.0 GiB"
        ):
            segmentation.check_memory((2000, 1500), settings, available=2**30)
        assert segmentation.check_memory((100, 100), settings, available=2**30) < 2**30

    def test_specks_join_the_neighbour_they_are_tied_to_most(self):
        # Strip 0 0 0 | 1 | 2 2 2 2: the speck 1 is tied 0.9 to 2 and 0.3 to 0.
        labels = np.array([0, 0, 0, 1, 2, 2, 2, 2])
        w = strip_weights(labels, {(0, 1): 0.3, (1, 2): 0.9, (0, 2): 0.0})
        segments, count = segmentation.absorb_specks(labels.reshape(1, -1), w, 2)
        assert count == 2
        np.testing.assert_array_equal(segments.ravel(), [0, 0, 0, 1, 1, 1, 1, 1])

    def test_a_few_ties_across_an_edge_do_not_merge(self):
        # Two strips tied 0.9 across their border merge; at min_number above the border's
        # entries (a leak through a gap), they stay apart.
        labels = np.array([0] * 6 + [1] * 6)
        w = strip_weights(labels, {(0, 1): 0.9})
        assert segmentation.merge_similar(labels, w, 0.4)[1] == 1
        assert segmentation.merge_similar(labels, w, 0.4, min_number=3)[1] == 2

    def test_weighted_kmeans_finds_separate_groups_repeatably(self):
        rng = np.random.default_rng(5)
        centres = np.eye(4) * 3
        rows = np.repeat(centres, 50, axis=0) + rng.normal(0, 0.1, (200, 4))
        weights = rng.uniform(0.5, 2, 200)
        found, labels = segmentation.kmeans(rows, weights, 4, seed=1)
        assert adjusted_rand_score(np.repeat(np.arange(4), 50), labels) == 1.0
        again = segmentation.kmeans(rows, weights, 4, seed=1)
        np.testing.assert_array_equal(again[1], labels)

    def test_colour_pictures_read_in_colour_and_grey_ones_in_grey(self, tmp_path):
        rgb = np.zeros((8, 9, 3), dtype=np.uint8)
        rgb[:, :, 0] = 200
        Image.fromarray(rgb).save(tmp_path / "red.png")
        Image.fromarray(np.full((8, 9, 3), 77, dtype=np.uint8)).save(tmp_path / "grey-rgb.png")
        red = segmentation.read_picture(tmp_path / "red.png")
        assert red.shape == (8, 9, 3) and red[0, 0, 0] == pytest.approx(200 / 255)
        assert segmentation.read_picture(tmp_path / "grey-rgb.png").shape == (8, 9)
        assert segmentation.shrink(red, 2).shape == (4, 4, 3)
