"""Synthetic photographs with known regions, for the segmentation benchmark and tests.

scene(seed) draws one 256 x 256 picture from numpy's default generator seeded with seed:
a background and 4 to 7 objects (ellipses and rotated rectangles, some touching, some
overlapping, some a thin gap of 2 to 3 pixels apart), each region of its own tone with at
least MIN_CONTRAST between any two regions that border; then, by the seed's kind:

- "plain": the regions alone;
- "texture": some regions carry a pattern (a grating or blotches of smoothed noise) of
  amplitude well below the contrast at their borders;
- "colour": RGB regions whose tones differ from a neighbour's in hue while their luma
  differs by as little as 0.03, besides regions that differ in brightness.

Every picture is then lit unevenly (a linear ramp of 0.6 to 1.0 of full light, or a
radial fall-off) and gets Gaussian sensor noise of standard deviation 0.02 to 0.045;
values are clipped to [0, 1]. truth holds the region of every pixel (0 the background).
"""

import numpy as np
from scipy import ndimage

SIZE = 256
MIN_CONTRAST = 0.14
KINDS = ("plain", "texture", "colour")
LUMA = np.array([0.299, 0.587, 0.114])


def _shape_mask(rng, size, centre=None, scale=None):
    r, c = np.mgrid[0:size, 0:size].astype(float)
    cy, cx = centre if centre is not None else rng.uniform(0.2, 0.8, 2) * size
    a, b = scale if scale is not None else rng.uniform(0.08, 0.2, 2) * size
    angle = rng.uniform(0, np.pi)
    u = (r - cy) * np.cos(angle) + (c - cx) * np.sin(angle)
    v = -(r - cy) * np.sin(angle) + (c - cx) * np.cos(angle)
    if rng.random() < 0.6:
        return (u / a) ** 2 + (v / b) ** 2 <= 1.0
    return (np.abs(u) <= a) & (np.abs(v) <= b * 0.8)


def _regions(rng, size):
    """A label image: 0 background, 1 .. k objects (later ones drawn over earlier ones),
    with one pair of objects a thin gap apart."""
    truth = np.zeros((size, size), dtype=np.int64)
    count = int(rng.integers(4, 8))
    label = 0
    for _ in range(count):
        mask = _shape_mask(rng, size)
        label += 1
        truth[mask] = label
    # Two discs a thin gap (2 or 3 pixels) apart, on the background.
    gap = int(rng.integers(2, 4))
    radius = rng.uniform(0.07, 0.1) * size
    cy = rng.uniform(0.25, 0.75) * size
    cx = rng.uniform(0.3, 0.5) * size
    r, c = np.mgrid[0:size, 0:size].astype(float)
    first = (r - cy) ** 2 + (c - cx) ** 2 <= radius**2
    second = (r - cy) ** 2 + (c - (cx + 2 * radius + gap + 1)) ** 2 <= radius**2
    around = ndimage.binary_dilation(first | second, iterations=gap + 2)
    truth[around] = 0
    truth[first] = label + 1
    truth[second] = label + 2
    # Keep the largest piece of every object if it is not a speck, and the background's
    # pieces but specks; the pixels of the others take the nearest kept region.
    kept = np.zeros(truth.shape, dtype=bool)
    for value in np.unique(truth):
        pieces, n = ndimage.label(truth == value)
        areas = np.bincount(pieces.ravel())[1:]
        if value == 0:
            kept |= np.isin(pieces, np.flatnonzero(areas >= 30) + 1)
        elif areas.max() >= 200:
            kept |= pieces == np.argmax(areas) + 1
    _, (rows, columns) = ndimage.distance_transform_edt(~kept, return_indices=True)
    # A region is a connected piece: background cut off by objects is a region of its own.
    truth = truth[rows, columns]
    pieces = np.zeros_like(truth)
    count = 0
    for value in np.unique(truth):
        labelled, n = ndimage.label(truth == value)
        pieces[labelled > 0] = labelled[labelled > 0] + count
        count += n
    return pieces - 1


def _neighbours(truth, count):
    """Pairs of labels that touch (4-neighbourhood), as a boolean count x count matrix."""
    touch = np.zeros((count, count), dtype=bool)
    for a, b in ((truth[:-1], truth[1:]), (truth[:, :-1], truth[:, 1:])):
        differ = a != b
        touch[a[differ], b[differ]] = True
    return touch | touch.T


def _tones(rng, truth, count, colour):
    """A tone per region (grey, or RGB), bordering regions MIN_CONTRAST apart (in grey,
    or in RGB distance for colour, some pairs of nearly one luma)."""
    touch = _neighbours(truth, count)
    tones = np.zeros((count, 3 if colour else 1))
    for label in range(count):
        for _ in range(500):
            if colour:
                tone = rng.uniform(0.15, 0.85, 3)
                if label and rng.random() < 0.5:
                    # Nearly the luma of a neighbour that is already toned: only hue differs.
                    others = [o for o in range(label) if touch[label, o]]
                    if others:
                        target = LUMA @ tones[others[0]]
                        tone = tone + (target - LUMA @ tone) + rng.uniform(-0.03, 0.03)
                        if not ((tone > 0.05) & (tone < 0.95)).all():
                            continue
                near = [np.linalg.norm(tone - tones[o]) for o in range(label) if touch[label, o]]
            else:
                tone = rng.uniform(0.1, 0.9, 1)
                near = [abs(tone[0] - tones[o, 0]) for o in range(label) if touch[label, o]]
            if all(d >= MIN_CONTRAST for d in near):
                break
        tones[label] = tone
    return tones


def _texture(rng, size, amplitude):
    if rng.random() < 0.5:
        r, c = np.mgrid[0:size, 0:size].astype(float)
        angle, period = rng.uniform(0, np.pi), rng.uniform(5, 10)
        return amplitude * np.sin(2 * np.pi * (r * np.cos(angle) + c * np.sin(angle)) / period)
    blotches = ndimage.gaussian_filter(rng.normal(size=(size, size)), rng.uniform(1.5, 3.0))
    return amplitude * blotches / np.abs(blotches).max()


def _light(rng, size):
    r, c = np.mgrid[0:size, 0:size].astype(float) / size
    if rng.random() < 0.5:
        angle = rng.uniform(0, 2 * np.pi)
        ramp = (r - 0.5) * np.cos(angle) + (c - 0.5) * np.sin(angle)
        return 0.8 + 0.2 * ramp / np.sqrt(0.5)
    cy, cx = rng.uniform(0, 1, 2)
    return 1.0 - 0.4 * np.clip(np.hypot(r - cy, c - cx) / 1.2, 0, 1)


def scene(seed, size=SIZE):
    """(picture, truth, kind) of the given seed: picture H x W (grey) or H x W x 3 (colour)
    in [0, 1], truth the region of every pixel (0 .. k)."""
    rng = np.random.default_rng(seed)
    kind = KINDS[seed % len(KINDS)]
    truth = _regions(rng, size)
    count = int(truth.max()) + 1
    tones = _tones(rng, truth, count, kind == "colour")
    picture = tones[truth]
    if kind == "texture":
        for label in range(count):
            if rng.random() < 0.6:
                picture[truth == label] += _texture(rng, size, rng.uniform(0.03, 0.05))[
                    truth == label
                ][:, None]
    picture = picture * _light(rng, size)[:, :, None]
    picture = picture + rng.normal(0.0, rng.uniform(0.02, 0.045), picture.shape)
    picture = np.clip(picture, 0.0, 1.0)
    return (picture if kind == "colour" else picture[:, :, 0]), truth, kind


def scenes(count=24, first=0):
    """The benchmark's pictures: scene(seed) for seeds first ... first + count - 1."""
    return [scene(seed) for seed in range(first, first + count)]
