"""Segmentation over quorvane weights: a normalised cut of a synthetic two-region image with
scipy alone; the steps of quorvane.segment on cases with known answers (pictures as users
hold them, the noise units, basins, merging, whole segments, drawings); photographs with
known regions of every kind; the command line quorvane.segment.demo on coins.png (and under
its former name quorvane.demo)."""

import importlib
import io
import math
import re
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse
from PIL import Image
from sklearn.metrics import adjusted_rand_score
from scipy import ndimage
from scipy.sparse import diags
from scipy.sparse.linalg import eigsh

import quorvane
import quorvane.segment as segmentation
from quorvane import _quorvane
from quorvane.segment import demo, steps
from conftest import PICTURES, REPO, assert_same_bits, assert_same_matrix
import numpy_strength as numpy_road


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


# The steps of quorvane.segment on cases with known answers.

sys.path.insert(0, str(REPO / "bench"))
import known_regions  # noqa: E402

COINS = np.asarray(Image.open(REPO / "data" / "coins.png"))


def drawing(name):
    """A noise-free drawing and its regions (every 4-connected piece of one value)."""
    r, c = np.mgrid[0:96, 0:128]
    if name == "square":
        picture = ((r >= 20) & (r < 70) & (c >= 30) & (c < 90)).astype(float)
    elif name == "discs":
        small = (r - 40) ** 2 + (c - 40) ** 2 < 20**2
        large = (r - 60) ** 2 + (c - 95) ** 2 < 25**2
        picture = (small + 2 * large) / 2
    else:
        picture = (((r // 32 + c // 32) % 2) * 255).astype(np.uint8)
    truth, found = np.zeros(picture.shape, dtype=int), 0
    for value in np.unique(picture):
        pieces, count = ndimage.label(picture == value)
        truth[pieces > 0] = pieces[pieces > 0] + found - 1
        found += count
    return picture, truth


def strip_weights(labels, across):
    """quorvane-like weights of a 1 x n strip of pixels: 1 within a label, across[(a, b)]
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
    return scipy.sparse.csc_matrix((values, (rows, cols)), shape=(n, n))


def strip_merged(labels, across, smallest):
    """merge_regions of a strip's labels over strip_weights."""
    labels = np.asarray(labels)
    return segmentation.merge_regions(
        labels, labels.max() + 1, strip_weights(labels, across), smallest
    )


class TestPictureValues:
    @pytest.mark.parametrize(
        "held",
        [
            lambda a: a.astype(np.uint16) * 257,
            lambda a: a / 255.0,
            lambda a: a.astype(np.float32) + 0,
            lambda a: np.stack([a, a, a, np.full_like(a, 7)], axis=-1),
        ],
        ids=["uint16", "float_unit", "float_255", "grey_rgba"],
    )
    def test_one_photograph_held_any_way_gives_the_same_labels(self, held):
        np.testing.assert_array_equal(segmentation.segment(held(COINS)), reference_labels())

    def test_bool_pictures_read_as_zero_and_one(self):
        picture = np.zeros((20, 30), dtype=bool)
        picture[5:15, 10:20] = True
        np.testing.assert_array_equal(segmentation.picture_values(picture), picture * 1.0)
        assert segmentation.segment(picture).max() == 1

    @pytest.mark.parametrize(
        "picture, kind, message",
        [
            (np.where(np.eye(9), np.nan, 0.5), ValueError, "the picture holds 9 NaN values"),
            (np.where(np.eye(9), np.inf, 0.5), ValueError, "the picture holds 9 infinite values"),
            (np.zeros((4, 5, 3, 2)), ValueError, r"H x W x 4, got shape \(4, 5, 3, 2\)"),
            (np.zeros((4, 5, 2)), ValueError, "got shape"),
            ([[0.0, 1.0], [1.0, 0.0]], TypeError, "shall be a numpy array .*got list"),
            (np.ones((3, 3), dtype=complex), ValueError, "real numbers, got dtype complex128"),
            (np.full((40, 50), 0.3), ValueError, "constant: it has no edges to segment by"),
            (np.zeros((1, 1)), ValueError, "at least 2 x 2 pixels, got 1 x 1"),
        ],
        ids=["nan", "infinite", "4d", "two_channels", "list", "complex", "constant", "one_pixel"],
    )
    def test_unusable_pictures_are_refused_in_one_line(self, picture, kind, message):
        with pytest.raises(kind, match=message) as refusal:
            segmentation.segment(picture)
        assert "\n" not in str(refusal.value)

    @pytest.mark.parametrize(
        "settings, message",
        [
            (dict(scale=1e300), r"at most the picture's larger side \(30\), got 1e\+300"),
            (dict(scale=float("nan")), "scale shall be finite, got nan"),
            (dict(contrast=0.0), "contrast shall be greater than 0, got 0.0"),
            (dict(contrast=float("inf")), "contrast shall be finite, got inf"),
            (dict(radius=-1.0), "radius shall be at least 0, got -1.0"),
            (dict(smallest=0), r"smallest shall be a whole number from 1 to 2\^53, got 0.0"),
        ],
        ids=[
            "scale_beyond_the_picture",
            "scale_nan",
            "contrast",
            "contrast_inf",
            "radius",
            "smallest",
        ],
    )
    def test_unusable_settings_are_refused_in_one_line(self, settings, message):
        picture = np.random.default_rng(3).random((20, 30))
        with pytest.raises(ValueError, match=message):
            segmentation.segment(picture, segmentation.Settings(**settings))

    def test_huge_and_negative_values_are_read_relative_to_their_range(self):
        picture, truth = drawing("square")
        for held in (picture * 1e300, picture - 0.5, -picture):
            assert adjusted_rand_score(truth.ravel(), segmentation.segment(held).ravel()) == 1.0


def reference_labels():
    if not hasattr(reference_labels, "labels"):
        reference_labels.labels = segmentation.segment(COINS)
    return reference_labels.labels


class TestNoiseUnits:
    @staticmethod
    def noise(kind, rng, shape=(128, 128)):
        white = rng.normal(0.0, 0.02, shape)
        if kind == "white":
            return 0.5 + white
        if kind == "correlated":
            return 0.5 + ndimage.gaussian_filter(white, 1.2) * 4
        if kind == "jpeg":
            buffer = io.BytesIO()
            Image.fromarray(np.uint8(np.clip(0.5 + white, 0, 1) * 255)).save(
                buffer, "JPEG", quality=60
            )
            return np.asarray(Image.open(buffer)).astype(float) / 255
        return np.uint16(np.clip(0.1 + white * 0.2, 0, 1) * 65535)

    @pytest.mark.parametrize("kind", ["white", "correlated", "jpeg", "deep"])
    def test_noise_of_any_kind_reads_alike_in_its_own_units(self, kind):
        # The raw gradient of these noises differs by far more than these bounds; in
        # their own units the strength of noise alone is about the same.
        picture = segmentation.picture_values(self.noise(kind, np.random.default_rng(2)))
        strength, _ = segmentation.boundary_strength(picture)
        assert 0.8 < np.median(strength) < 2.5, np.median(strength)

    @pytest.mark.parametrize("kind", ["white", "correlated", "jpeg", "deep"])
    def test_a_step_in_any_noise_is_one_border(self, kind):
        values = self.noise(kind, np.random.default_rng(3))
        step = np.zeros(values.shape)
        step[:, 64:] = (
            0.15 * (65535 if values.dtype == np.uint16 else 1) * 0.2 ** (values.dtype == np.uint16)
        )
        picture = (values + step).astype(values.dtype)
        labels = segmentation.segment(picture)
        halves = np.repeat([[0] * 64 + [1] * 64], 128, axis=0)
        assert adjusted_rand_score(halves.ravel(), labels.ravel()) > 0.95, labels.max() + 1

    def test_colour_holds_a_border_that_brightness_does_not_show(self):
        picture = np.zeros((48, 64, 3))
        picture[:, :32] = (0.6, 0.3, 0.4)
        picture[:, 32:] = (0.3, 0.45, 0.45)
        picture += np.random.default_rng(3).normal(0, 0.02, picture.shape)
        halves = np.repeat([[0] * 32 + [1] * 32], 48, axis=0)
        colour = segmentation.segment(picture)
        assert adjusted_rand_score(halves.ravel(), colour.ravel()) > 0.95
        assert segmentation.segment(segmentation.grey_of(picture)).max() == 0

    @pytest.mark.parametrize("name", ["square", "discs", "checkerboard"])
    def test_drawings_give_exactly_their_regions(self, name):
        picture, truth = drawing(name)
        labels = segmentation.segment(picture)
        assert adjusted_rand_score(truth.ravel(), labels.ravel()) == 1.0


def compiled_strength_cases():
    """Pictures for comparing the compiled strength with the numpy road's: photographs grey
    and colour, drawings (ties everywhere), and small pictures, whose noise tiles the rule for
    small pictures makes smaller."""
    rng = np.random.default_rng(4)
    cases = {
        kind: segmentation.picture_values(known_regions.photograph(kind, 500)[0])
        for kind in ("white", "jpeg", "hue", "blur", "deep")
    }
    cases.update({name: drawing(name)[0] * 1.0 for name in ("square", "discs", "checkerboard")})
    cases["grey_5x7"] = rng.random((5, 7))
    cases["colour_5x7"] = rng.random((5, 7, 3))
    cases["grey_40x5"] = rng.random((40, 5))  # one column of tiles: summed whole by numpy
    return cases


COMPILED_STRENGTH_CASES = compiled_strength_cases()


def numpy_strength(picture, monkeypatch=None):
    """strength, orientation and crests of the numpy road; with monkeypatch, numpy's exp and
    arctan2 taken from the C library (as the compiled strength takes them) for the call."""
    if monkeypatch is not None:
        monkeypatch.setattr(np, "exp", np.vectorize(math.exp, otypes=[float]))
        monkeypatch.setattr(np, "arctan2", np.vectorize(math.atan2, otypes=[float]))
    strength, orientation = numpy_road.boundary_strength(picture)
    found = strength, orientation, numpy_road.crests(strength, orientation)
    if monkeypatch is not None:
        monkeypatch.undo()
    return found


def compiled_strength(picture, workers=1):
    strength, orientation = _quorvane.boundary_strength(picture, 1.0, workers=workers)
    return strength, orientation, _quorvane.crests(strength, orientation, workers=workers)


class TestCompiledStrength:
    @pytest.mark.parametrize("name", COMPILED_STRENGTH_CASES)
    def test_the_same_bits_as_numpy_with_the_c_librarys_exp_and_arctan2(self, name, monkeypatch):
        # numpy's own exp and arctan2 are vector code of their own on some processors; with
        # the C library's, every other operation must give the very same bits.
        picture = COMPILED_STRENGTH_CASES[name]
        for expected, found in zip(
            numpy_strength(picture, monkeypatch), compiled_strength(picture)
        ):
            np.testing.assert_array_equal(found, expected)

    @pytest.mark.parametrize("name", COMPILED_STRENGTH_CASES)
    def test_within_rounding_of_the_numpy_road(self, name):
        # Measured: the strength within 7e-14 relative, the orientation within 5e-13 rad, the
        # same crest pixels in every case.
        picture = COMPILED_STRENGTH_CASES[name]
        strength, orientation, crests = numpy_strength(picture)
        found_strength, found_orientation, found_crests = compiled_strength(picture)
        np.testing.assert_allclose(found_strength, strength, rtol=1e-12, atol=0)
        np.testing.assert_allclose(found_orientation, orientation, rtol=0, atol=1e-11)
        np.testing.assert_array_equal(found_crests > 0, crests > 0)
        np.testing.assert_allclose(found_crests, crests, rtol=1e-12, atol=0)

    @pytest.mark.parametrize("name", ["jpeg", "colour_5x7"])
    def test_any_number_of_workers_gives_the_same_bits(self, name):
        picture = COMPILED_STRENGTH_CASES[name]
        alone = compiled_strength(picture)
        for workers in (2, 3, 8):
            for expected, found in zip(alone, compiled_strength(picture, workers)):
                np.testing.assert_array_equal(found, expected)

    @pytest.mark.parametrize("scale", [0.1, 1e-200, 5e-324])
    def test_scales_below_an_eighth_filter_nothing_and_stay_finite(self, scale):
        # The filters' kernels are 1 and 0 there; a square of the scale that underflows made
        # them NaN, and the crests' directions undefined.
        picture = COMPILED_STRENGTH_CASES["jpeg"]
        strength, orientation = _quorvane.boundary_strength(picture, scale)
        assert np.isfinite(strength).all() and np.isfinite(orientation).all()
        labels = segmentation.segment(picture, segmentation.Settings(scale=scale))
        assert labels.shape == picture.shape[:2] and labels.min() == 0
        if 4 * scale < 1 / 8:  # no scale of the three filters anything: one segment
            assert labels.max() == 0

    def test_crests_take_an_orientation_that_is_not_finite_as_along_a_row(self):
        rng = np.random.default_rng(5)
        strength, orientation = rng.random((12, 9)), rng.uniform(-4, 4, (12, 9))
        broken = orientation.copy()
        broken[::3, ::2] = [np.nan, np.inf, -np.inf, np.nan, np.inf]
        along = np.where(np.isfinite(broken), broken, 0.0)
        np.testing.assert_array_equal(
            _quorvane.crests(strength, broken), _quorvane.crests(strength, along)
        )

    def test_crests_of_given_images_are_the_numpy_roads(self):
        # Ties (a flat strength, equal neighbours) and orientations halfway between two grid
        # directions, which numpy rounds to the even one.
        rng = np.random.default_rng(6)
        strength = rng.integers(0, 3, (20, 30)).astype(float)
        orientation = rng.integers(-8, 9, (20, 30)) * (np.pi / 8)
        np.testing.assert_array_equal(
            _quorvane.crests(strength, orientation), numpy_road.crests(strength, orientation)
        )

    @pytest.mark.parametrize(
        "values, kind, message",
        [
            (np.zeros((4, 5), dtype=np.float32), TypeError, "C-contiguous float64"),
            (np.zeros((4, 5, 3))[:, ::2], TypeError, "C-contiguous float64"),
            (np.zeros((4, 5, 2)), ValueError, "1 or 3 channels, got 2"),
            (np.zeros((0, 5)), ValueError, "not be empty"),
            (np.where(np.eye(4), np.nan, 0.5), ValueError, "finite"),
        ],
        ids=["float32", "strided", "two_channels", "empty", "nan"],
    )
    def test_unusable_values_are_refused(self, values, kind, message):
        with pytest.raises(kind, match=message):
            _quorvane.boundary_strength(values, 1.0)

    def test_unusable_scales_and_shapes_are_refused(self):
        with pytest.raises(ValueError, match="scale"):
            _quorvane.boundary_strength(np.zeros((4, 5)), 0.0)
        with pytest.raises(ValueError, match="same shape"):
            _quorvane.crests(np.zeros((4, 5)), np.zeros((5, 4)))


class TestRegions:
    def test_basins_meet_on_the_crests_and_are_numbered_by_their_first_pixel(self):
        # The crest (column 3) goes to whichever basin's water reaches it first: the one
        # rising from 0 on the right reaches the 5 at the top before the left one, rising
        # from 1, gets past its 2s; the left one gets the rest of the crest first.
        strength = np.array([[3, 1, 2, 5, 0, 0], [3, 1, 2, 5, 4, 0], [2, 2, 2, 6, 4, 1]], float)
        labels, count = segmentation.basins(strength)
        assert count == 2 and labels.dtype == np.int32
        expected = [[0, 0, 0, 1, 1, 1], [0, 0, 0, 0, 1, 1], [0, 0, 0, 0, 1, 1]]
        np.testing.assert_array_equal(labels, expected)

    def test_basins_of_a_flat_strength_are_one(self):
        labels, count = segmentation.basins(np.zeros((5, 7)))
        assert count == 1 and not labels.any()

    def test_regions_merge_across_weak_borders_only_and_transitively(self):
        # 0 | 1 weak (0.9): merge; 1 | 2 strong (0.1): apart; 2 | 3 weak, so 3 joins 2;
        # 4 borders 3 strongly.
        labels = [0, 0, 1, 1, 2, 2, 3, 3, 4, 4]
        across = {(0, 1): 0.9, (1, 2): 0.1, (2, 3): 0.85, (3, 4): 0.2}
        merged, count, _ = strip_merged(labels, across, smallest=1)
        assert count == 3
        np.testing.assert_array_equal(merged, [0, 0, 1, 1, 2])

    @pytest.mark.parametrize("tie, count", [(0.5, 1), (0.49, 2)])
    def test_a_border_merges_from_half_the_ties_within(self, tie, count):
        assert strip_merged([0, 0, 0, 1, 1, 1], {(0, 1): tie}, smallest=1)[1] == count

    def test_a_small_region_joins_its_most_tied_neighbour_however_weak(self):
        labels = [0, 0, 0, 1, 2, 2, 2, 2]
        merged, _, _ = strip_merged(labels, {(0, 1): 0.05, (1, 2): 0.2, (0, 2): 0.0}, smallest=2)
        np.testing.assert_array_equal(merged, [0, 1, 1])

    @pytest.mark.parametrize("smallest", [1, 2, 3, 6])
    def test_whole_segments_are_one_piece_of_at_least_the_smallest_size(self, smallest):
        labels = np.array([[0, 0, 1, 0], [1, 1, 1, 0], [0, 1, 0, 0], [1, 0, 0, 1]])
        w = quorvane.weights(
            np.random.default_rng(3).uniform(0, 2, (4, 4)),
            labels.astype(float),
            *quorvane.disc_pattern((4, 4), 2),
            1.0,
        )
        segments, count = segmentation.whole_segments(labels, w, smallest)
        areas = np.bincount(segments.ravel())
        assert count == areas.size and (count == 1 or areas.min() >= smallest)
        pieces, _ = segmentation.connected_segments(segments)
        np.testing.assert_array_equal(pieces, segments)

    def test_pieces_are_the_four_connected_components_numbered_by_their_first_pixel(self):
        rng = np.random.default_rng(7)
        labels = ndimage.zoom(rng.integers(0, 5, (12, 16)), 4, order=0)
        labels[rng.random(labels.shape) < 0.05] = 5
        pieces, count = segmentation.connected_segments(labels)
        expected = sum(ndimage.label(labels == value)[1] for value in range(6))
        assert count == expected
        for value in range(6):
            components, _ = ndimage.label(labels == value)
            inside = components > 0
            # One piece for each component, and no piece across two.
            pairs = np.unique(np.stack([components[inside], pieces[inside]]), axis=1)
            assert np.unique(pairs[0]).size == np.unique(pairs[1]).size == pairs.shape[1]
        _, first = np.unique(pieces.ravel(), return_index=True)
        assert (np.diff(first) > 0).all()

    def test_settled_borders_lie_on_the_step(self):
        picture, truth = drawing("square")
        shifted = np.roll(truth, 2, axis=1)
        np.testing.assert_array_equal(segmentation.settle_borders(shifted, picture), truth)
        # Channels count together: three alike move the border as one does.
        colour = np.repeat(picture[:, :, None], 3, axis=2)
        np.testing.assert_array_equal(segmentation.settle_borders(shifted, colour), truth)


def compiled_weights(road):
    w = road.weights
    return w.data, w.indices, w.indptr


def picture(name):
    if name == "coins":
        return COINS
    if name == "discs":
        return drawing("discs")[0]
    return known_regions.photograph(name, 500)[0]


@pytest.fixture(scope="module", params=["coins", "discs", "white", "hue", "small", "deep"])
def weighed_road(request):
    """A road through all of its steps, the weights held whole."""
    return request.param, steps.run(steps.Road(picture(request.param)), lambda *done: None)


def ties_of(w, entries=_quorvane.SUM_CHUNK_ENTRIES, runs=None):
    """The ties_of of the summed steps over weights held whole: every chunk's sums or, cut
    into `runs` runs of chunks as processes hold them, the runs' partial sums."""
    chunks = _quorvane.sum_chunks(w.indptr, entries)

    def told(labels, count, among):
        if runs is None:
            return _quorvane.chunk_ties(labels, count, w.data, w.indices, w.indptr, chunks, among)
        cuts = np.linspace(0, len(chunks), runs + 1).astype(int)
        return len(chunks), [
            node
            for a, b in zip(cuts[:-1], cuts[1:])
            for node in _quorvane.chunk_ties(
                labels, count, w.data, w.indices, w.indptr, chunks[a:b], among, run=(a, len(chunks))
            )
        ]

    return told


class TestSummedRegions:
    """The steps after the basins over region sums handed in chunk by chunk, as processes
    that share the weights out hand them, against the steps over the weights held whole:
    the same chunks add up to the same bits, so the same labels."""

    @pytest.mark.parametrize("runs", [None, 3])
    def test_merged_regions_are_those_of_the_whole_weights(self, weighed_road, runs):
        name, road = weighed_road
        told = ties_of(road.weights, 1 << 14, runs) if runs else ties_of(road.weights)
        regions, count, _ = _quorvane.merge_summed_regions(
            road.basins, road.basin_count, told, road.settings.smallest
        )
        assert regions.dtype == np.int64 and count == road.regions.max() + 1
        differ = np.flatnonzero(regions != road.regions)
        assert differ.size == 0, f"{name}: basins {differ[:10]} of {road.basin_count} differ"
        if runs:
            # Partial sums that ties_of keeps (the core lets go of those it alone holds) are
            # read, never changed: twice the same regions.
            kept = told(road.basins.ravel(), road.basin_count, None)
            for _ in range(2):
                again, _, _ = _quorvane.merge_summed_regions(
                    road.basins, road.basin_count, lambda *_: kept, road.settings.smallest
                )
                np.testing.assert_array_equal(again, road.regions)

    def test_segments_are_those_of_the_whole_weights(self, weighed_road):
        name, road = weighed_road
        segments, count = _quorvane.find_summed_segments(
            road.regions[road.basins], road.picture, ties_of(road.weights), road.settings.smallest
        )
        assert count == road.count and segments.shape == road.shape
        differ = int((segments != road.segments).sum())
        assert differ == 0, f"{name}: {differ} pixels differ"

    def test_chunks_of_any_size_hold_the_pairs_asked_for(self):
        labels = np.arange(30 * 40) // 37 % 11
        w = quorvane.weights(
            np.random.default_rng(4).uniform(0, 3, (30, 40)),
            labels.reshape(30, 40).astype(float),
            *quorvane.disc_pattern((30, 40), 3),
            1.0,
        )
        among = np.arange(11) % 3 == 0
        for entries in (1, 97, 1 << 20):
            for flags in (None, among):
                parts = ties_of(w, entries)(labels, 11, flags)
                assert len(parts) == len(_quorvane.sum_chunks(w.indptr, entries))
                keys = np.concatenate(parts)
                kept = np.ones(w.nnz, bool)
                if flags is not None:
                    kept = flags[labels[w.indices]] | flags[np.repeat(labels, np.diff(w.indptr))]
                assert keys["sum"]["count"].sum() == kept.sum()
                assert keys["sum"]["tie"].sum() == pytest.approx(w.data[kept].sum())
                if flags is not None:
                    assert (among[keys["a"]] | among[keys["b"]]).all()

    @pytest.mark.parametrize(
        "change, error",
        [
            (lambda parts: [np.zeros(3)], TypeError),
            (lambda parts: [parts[0][::-1].copy()], ValueError),
            (lambda parts: [np.concatenate([parts[0], parts[0][:1]])], ValueError),
            (lambda parts: [parts[0].reshape(1, -1)], ValueError),
        ],
        ids=["not_ties", "descending", "key_again", "two_dimensional"],
    )
    def test_unusable_ties_are_refused(self, change, error):
        labels = np.arange(16).reshape(4, 4) // 8
        w = quorvane.weights(np.zeros((4, 4)), labels * 1.0, *quorvane.disc_pattern((4, 4), 1))
        told = lambda *asked: change(ties_of(w)(*asked))  # noqa: E731
        with pytest.raises(error, match="chunk_ties' arrays"):
            _quorvane.merge_summed_regions(labels, 2, told, 1)
        with pytest.raises(error, match="chunk_ties' arrays"):
            _quorvane.find_summed_segments(labels, np.zeros((4, 4)), told, 9)

    def test_the_roads_weights_are_quorvanes_and_their_columns_come_alone(self):
        road = steps.Road(picture("white"))
        road.measure(), road.flood(), road.weigh()
        pattern = quorvane.disc_pattern(road.shape, road.settings.radius)
        phase = road.basins.astype(float)
        assert_same_matrix(
            road.weights, quorvane.weights(road.crests, phase, *pattern, road.settings.sigma)
        )
        n, (first, last) = road.basins.size, (1000, 2345)
        span = slice(road.weights.indptr[first], road.weights.indptr[last])
        for tables in (True, False):
            data, indices, indptr = _quorvane.disc_weights(
                road.crests,
                road.basins,
                road.settings.radius,
                road.settings.contrast,
                first,
                last,
                edge_tables=tables,
            )
            assert indptr.size == n + 1 and indices.dtype == indptr.dtype == np.int32
            np.testing.assert_array_equal(np.diff(indptr)[:first], 0)
            np.testing.assert_array_equal(np.diff(indptr)[last:], 0)
            np.testing.assert_array_equal(indices, road.weights.indices[span])
            assert_same_bits(data, road.weights.data[span])

    @pytest.mark.parametrize(
        "change, error",
        [
            (lambda a: {**a, "basins": a["basins"].astype(np.int64)}, TypeError),
            (lambda a: {**a, "crests": a["crests"][:, :3].copy()}, TypeError),
            (lambda a: {**a, "radius": float("nan")}, ValueError),
            (lambda a: {**a, "contrast": 0.0}, ValueError),
            (lambda a: {**a, "last": 17}, ValueError),
            (lambda a: {**a, "first": 5, "last": 4}, ValueError),
        ],
        ids=["int64_basins", "other_shape", "nan_radius", "no_contrast", "beyond", "backwards"],
    )
    def test_unusable_disc_weights_are_refused(self, change, error):
        args = {"crests": np.zeros((4, 4)), "basins": np.zeros((4, 4), np.int32), "radius": 1.0}
        args = change({**args, "contrast": 9.4, "first": 0, "last": 16})
        with pytest.raises(error):
            _quorvane.disc_weights(**args)

    @pytest.mark.parametrize(
        "nodes",
        [lambda n: n[1:], lambda n: [(-1, 0, n[0][2])] + n[1:], lambda n: [(0, 99, n[0][2])] + n],
        ids=["one_left_out", "negative_level", "beyond_the_chunks"],
    )
    def test_partial_sums_that_do_not_cover_the_chunks_are_refused(self, nodes):
        labels = np.arange(20 * 20).reshape(20, 20) // 50
        pattern = quorvane.disc_pattern((20, 20), 2)
        w = quorvane.weights(np.ones((20, 20)), labels * 1.0, *pattern, 1.0)
        chunks = _quorvane.sum_chunks(w.indptr, 500)
        total, told = len(chunks), []
        for a, b in [(0, 3), (3, len(chunks))]:
            told += _quorvane.chunk_ties(
                labels, 8, w.data, w.indices, w.indptr, chunks[a:b], run=(a, total)
            )
        leaves = _quorvane.chunk_ties(labels, 8, w.data, w.indices, w.indptr, chunks)
        whole = _quorvane.added_ties(leaves, 8)
        assert_same_bits(_quorvane.added_ties((total, told), 8)["sum"]["tie"], whole["sum"]["tie"])
        with pytest.raises(ValueError, match="cover each of the chunks once"):
            _quorvane.added_ties((total, nodes(told)), 8)

    def test_int64_weights_give_the_same_regions(self):
        road = steps.Road(drawing("square")[0])
        road.measure(), road.flood(), road.weigh()
        w = road.weights
        arrays = w.data, w.indices.astype(np.int64), w.indptr.astype(np.int64)
        wide = _quorvane.merge_regions(road.basins, road.basin_count, *arrays, 8)
        narrow = _quorvane.merge_regions(
            road.basins, road.basin_count, w.data, w.indices, w.indptr, 8
        )
        np.testing.assert_array_equal(wide[0], narrow[0])

    @pytest.mark.parametrize(
        "change, error, message",
        [
            (lambda a: {**a, "indices": a["indices"] + 16}, ValueError, "below the pixel count"),
            (lambda a: {**a, "indptr": a["indptr"][::-1].copy()}, ValueError, "not decrease"),
            (lambda a: {**a, "indptr": a["indptr"][:-1]}, ValueError, "one more element"),
            (lambda a: {**a, "indices": a["indices"].astype(np.int64)}, TypeError, "both int32"),
            (lambda a: {**a, "basins": a["basins"] + 2}, ValueError, "basins shall hold"),
            (lambda a: {**a, "basins": a["basins"] * 1.0}, TypeError, "integer array"),
        ],
    )
    def test_unusable_arrays_are_refused(self, change, error, message):
        labels = np.arange(16).reshape(4, 4) // 8
        w = quorvane.weights(np.zeros((4, 4)), labels * 1.0, *quorvane.disc_pattern((4, 4), 1))
        args = change(
            {"basins": labels, "count": 2, "data": w.data, "indices": w.indices, "indptr": w.indptr}
        )
        with pytest.raises(error, match=message):
            _quorvane.merge_regions(**args, smallest=1)
        chunks = [(0, 16)]
        labels = args.pop("basins")
        with pytest.raises(error, match=message.replace("basins", "labels")):
            _quorvane.chunk_ties(labels, **args, chunks=chunks)

    @pytest.mark.parametrize("chunks", [[(0, 17)], [(3, 3)], [(-1, 2)]])
    def test_chunks_beyond_the_columns_are_refused(self, chunks):
        w = quorvane.weights(np.zeros((4, 4)), np.zeros((4, 4)), *quorvane.disc_pattern((4, 4), 1))
        with pytest.raises(ValueError, match="0 <= first < last <= 16"):
            _quorvane.chunk_ties(np.zeros(16, int), 1, w.data, w.indices, w.indptr, chunks)


class TestReading:
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

    def test_a_run_that_would_not_fit_says_so_with_the_figure(self):
        settings = segmentation.Settings()
        need = segmentation.memory_estimate((2000, 1500), settings)
        # Pixels x the disc's 29 pixels at radius 3, 12 bytes an entry at least (the weights),
        # and the images; the demo's measured peak was 1898 MiB.
        assert 1898 * 2**20 < need < 3e6 * 29 * 12 * 3
        with pytest.raises(
            ValueError, match=rf"needs about {need / 2**30:.1f} GiB, but only 1.0 GiB"
        ):
            segmentation.check_memory((2000, 1500), settings, available=2**30)
        assert segmentation.check_memory((100, 100), settings, available=2**30) < 2**30

    def test_colour_pictures_read_in_colour_and_grey_ones_in_grey(self, tmp_path):
        rgb = np.zeros((8, 9, 3), dtype=np.uint8)
        rgb[:, :, 0] = 200
        Image.fromarray(rgb).save(tmp_path / "red.png")
        Image.fromarray(np.full((8, 9, 3), 77, dtype=np.uint8)).save(tmp_path / "grey-rgb.png")
        red = segmentation.read_picture(tmp_path / "red.png")
        assert red.shape == (8, 9, 3) and red[0, 0, 0] == pytest.approx(200 / 255)
        assert segmentation.read_picture(tmp_path / "grey-rgb.png").shape == (8, 9)
        assert segmentation.shrink(red, 2).shape == (4, 4, 3)


class TestPhotographsWithKnownRegions:
    # Seeds of neither the tuning nor the held-out split of the benchmark.
    @pytest.mark.parametrize("kind", [k for k in known_regions.KINDS if k != "texture"])
    def test_every_kind_of_photograph_comes_out_right(self, kind):
        image, truth = known_regions.photograph(kind, 500)
        labels = segmentation.segment(image)
        score = adjusted_rand_score(truth.ravel(), labels.ravel())
        assert (
            score > 0.9
        ), f"{kind}: {score:.3f}, {labels.max() + 1} segments for {truth.max() + 1}"


class TestDemo:
    def test_each_coin_is_a_segment_of_its_own_on_one_background(
        self, tmp_path, capsys, monkeypatch
    ):
        runs = []
        segment = demo.segment_photograph
        monkeypatch.setattr(
            demo, "segment_photograph", lambda *args: runs.append(segment(*args)) or runs[-1]
        )
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
        # Every count printed is true: the segments, and that each is one piece of 8 or more.
        assert last == f"{run.count} segments"
        assert f"{run.count} segments, each one piece of 8 pixels or more" in steps[-3], steps
        assert areas.min() >= 8
        np.testing.assert_array_equal(
            segmentation.connected_segments(run.segments)[0], run.segments
        )
        # Seven timed steps, the last the total.
        timed = [line for line in steps if re.fullmatch(r" *\d+\.\d\d s  \S.*", line)]
        assert len(timed) == len(steps) == 7 and timed[-1].endswith("s  total"), steps
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
            (lambda path: path.mkdir(), "Is a directory"),
        ],
        ids=["missing", "not_a_picture", "uniform", "directory"],
    )
    def test_unusable_pictures_are_refused_with_a_message(self, tmp_path, capsys, make, message):
        make(tmp_path / "picture.png")
        assert demo.main([str(tmp_path / "picture.png"), str(tmp_path / "out")]) == 1
        error = capsys.readouterr().err
        assert error.startswith("quorvane.demo: ") and message in error, error
        assert not (tmp_path / "out").exists()

    def test_missing_demo_packages_are_named(self, tmp_path, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        assert demo.main([str(REPO / "data" / "coins.png"), str(tmp_path)]) == 1
        assert 'pip install "quorvane[demo]"' in capsys.readouterr().err
        assert not tmp_path.joinpath("input.png").exists()

    @pytest.mark.parametrize(
        "option", ["--shrink=0", "--radius=-1", "--contrast=two", "--smallest=0"]
    )
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
            ("quorvane.segmentation", "quorvane.segment", "merge_regions"),
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
