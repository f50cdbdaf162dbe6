"""Spectral segmentation over quorvane weights: a synthetic two-region image with scipy
alone, the steps of quorvane.segmentation, and the command line quorvane.demo on coins.png."""

import re
import sys

import numpy as np
import pytest
import scipy.sparse
from PIL import Image
from scipy import ndimage
from scipy.sparse import diags
from scipy.sparse.linalg import eigsh

import quorvane
from quorvane import demo, segmentation
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


# The segmentation steps of quorvane.segmentation and the command line quorvane.demo.


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
        labels = np.array([[0, 0, 1, 0],
                           [1, 1, 1, 0],
                           [0, 1, 0, 0],
                           [1, 0, 0, 1]])
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
        "shape, factor", [((303, 384), 2), ((512, 512), 2), ((514, 514), 3), ((256, 256), 1), ((2000, 3000), 10)]
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
        w = segmentation.symmetric(quorvane.weights(magnitude, phase, *quorvane.disc_pattern(image.shape, 3)))
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
    def test_each_coin_is_a_segment_of_its_own_on_one_background(self, tmp_path, capsys, monkeypatch):
        runs = []
        segment = demo.segment
        monkeypatch.setattr(demo, "segment", lambda *args: runs.append(segment(*args)) or runs[-1])
        assert demo.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 0
        ((run, _),) = runs
        areas = np.bincount(run.segments.ravel())
        assert run.segments.shape == (303, 384) and areas.size == run.count and areas.min() > 0
        assert areas.max() > 0.5 * run.segments.size, "no background segment covers most of the photograph"
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
            (lambda path: Image.new("L", (64, 48), 90).save(path, "PNG"), "has no edges to segment by"),
            (lambda path: Image.fromarray(np.eye(5, dtype=np.uint8) * 200).save(path), "need more than 32 pixels"),
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
        monkeypatch.delitem(sys.modules, "quorvane.pictures", raising=False)
        monkeypatch.delattr(quorvane, "pictures", raising=False)
        assert demo.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
        assert 'pip install "quorvane[demo]"' in capsys.readouterr().err

    @pytest.mark.parametrize("option", ["--shrink=0", "--radius=-1", "--clusters=two"])
    def test_bad_options_stop_before_any_work(self, option, capsys):
        with pytest.raises(SystemExit) as stop:
            demo.main([str(REPO / "data" / "coins.png"), option])
        assert stop.value.code == 2 and option.split("=")[0] in capsys.readouterr().err
