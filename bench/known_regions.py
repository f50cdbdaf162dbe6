"""Photographs with known regions, made as a camera makes them, for the segmentation benchmark
and tests.

photograph(kind, seed) draws one picture of the given kind from numpy's default generator
seeded with (kind's number, seed) and returns (image, truth): the image as a user holds it
after reading the file (uint8 or uint16, grey H x W or colour H x W x 3) and the region of
every pixel (0 .. k-1). The seeds of a kind fall in two splits: TUNING, the ones looked at
while choosing the segmentation's settings, and HELD_OUT, scored only once a choice is final.

A picture is made in linear light, as a sensor sees it: a layout of regions (a background
and ellipses and polygons, some touching, some overlapping, one pair a thin gap apart), a
reflectance per region, bordering regions at least MIN_DELTA_E apart in CIELAB (the lens
and light then lower the contrast the file holds), lit unevenly; the optics blur it a little
(drawn at four times the size and averaged, so borders are anti-aliased); then photon and
read noise, the camera's own processing by kind (demosaicing and denoising correlate the
noise), the tone curve, quantisation to 8 or 16 bits, and for some kinds JPEG compression
or resampling. The kinds:

- "white": white sensor noise, no processing;
- "correlated": colour noise correlated by a Bayer demosaic and in-camera denoising;
- "jpeg": saved as JPEG at quality 60 to 90;
- "blur": out of focus (blur of 1 to 2 pixels) and resampled by 0.6 to 1.6;
- "hue": colour regions whose neighbours differ in hue at nearly their luma, under shading,
  saved as JPEG;
- "texture": a mosaic of real textures (scikit-image's brick, grass and gravel photographs,
  Debian's python3-skimage), no two bordering regions of one texture;
- "light": illumination falling from full to a third across the picture, or vignetting;
- "small": small objects (3 to 8 pixels across) and thin gaps of 1 to 3 pixels;
- "deep": a 16-bit image of a dim scene (a tenth of the range used).

Some regions of the object kinds carry a mild pattern of their own (blotches or a grating),
as printed or woven surfaces do.
"""

import io

import numpy as np
from scipy import ndimage

SIZE = 256
KINDS = ("white", "correlated", "jpeg", "blur", "hue", "texture", "light", "small", "deep")
TUNING = tuple(range(6))
HELD_OUT = tuple(range(1000, 1008))
MIN_DELTA_E = 14.0
SUPERSAMPLE = 4


def srgb_to_linear(v):
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def linear_to_srgb(v):
    v = np.clip(v, 0.0, 1.0)
    return np.where(v <= 0.0031308, 12.92 * v, 1.055 * v ** (1 / 2.4) - 0.055)


def lab_of(srgb):
    """CIELAB (D65) of sRGB values in [0, 1] (... x 3)."""
    linear = srgb_to_linear(np.asarray(srgb, dtype=float))
    m = np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722], [0.0193, 0.1192, 0.9505]])
    xyz = linear @ m.T / np.array([0.95047, 1.0, 1.08883])
    f = np.where(xyz > (6 / 29) ** 3, np.cbrt(xyz), xyz / (3 * (6 / 29) ** 2) + 4 / 29)
    return np.stack(
        [116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])],
        axis=-1,
    )


# --- layouts -------------------------------------------------------------------------------


def _grid(size):
    r, c = np.mgrid[0:size, 0:size].astype(float)
    return (r + 0.5) / SUPERSAMPLE - 0.5, (c + 0.5) / SUPERSAMPLE - 0.5


def _shape(rng, r, c, size, scale=(0.08, 0.2)):
    cy, cx = rng.uniform(0.15, 0.85, 2) * size
    a, b = rng.uniform(*scale, 2) * size
    angle = rng.uniform(0, np.pi)
    u = (r - cy) * np.cos(angle) + (c - cx) * np.sin(angle)
    v = -(r - cy) * np.sin(angle) + (c - cx) * np.cos(angle)
    if rng.random() < 0.5:
        return (u / a) ** 2 + (v / b) ** 2 <= 1.0
    if rng.random() < 0.5:
        return (np.abs(u) <= a) & (np.abs(v) <= b * 0.8)
    # A triangle.
    return (v >= -b) & (v <= b * (1 - 2 * np.abs(u) / a)) & (np.abs(u) <= a)


def _objects(rng, size, count, scale=(0.08, 0.2), gap=(2, 4)):
    """A supersampled label image: 0 background, then count objects drawn over one another,
    and two discs a thin gap apart on the background."""
    big = size * SUPERSAMPLE
    r, c = _grid(big)
    labels = np.zeros((big, big), dtype=np.int64)
    for label in range(1, count + 1):
        labels[_shape(rng, r, c, size, scale)] = label
    width = rng.uniform(*gap)
    radius = rng.uniform(0.06, 0.09) * size
    cy = rng.uniform(0.2, 0.8) * size
    cx = rng.uniform(0.2, 0.8 - (2 * radius + width) / size) * size
    first = (r - cy) ** 2 + (c - cx) ** 2 <= radius**2
    second = (r - cy) ** 2 + (c - (cx + 2 * radius + width)) ** 2 <= radius**2
    around = ((r - cy) ** 2 + (c - cx) ** 2 <= (radius + width + 3) ** 2) | (
        (r - cy) ** 2 + (c - (cx + 2 * radius + width)) ** 2 <= (radius + width + 3) ** 2
    )
    labels[around] = 0
    labels[first] = count + 1
    labels[second] = count + 2
    return labels


def _small_objects(rng, size, labels):
    """Adds six to ten small discs and squares (3 to 8 pixels across) and a thin bar."""
    big = size * SUPERSAMPLE
    r, c = _grid(big)
    label = int(labels.max())
    for _ in range(int(rng.integers(6, 11))):
        radius = rng.uniform(1.5, 4.0)
        cy, cx = rng.uniform(0.08, 0.92, 2) * size
        label += 1
        if rng.random() < 0.5:
            labels[(r - cy) ** 2 + (c - cx) ** 2 <= radius**2] = label
        else:
            labels[(np.abs(r - cy) <= radius) & (np.abs(c - cx) <= radius)] = label
    angle = rng.uniform(0, np.pi)
    cy, cx = rng.uniform(0.3, 0.7, 2) * size
    u = (r - cy) * np.cos(angle) + (c - cx) * np.sin(angle)
    v = -(r - cy) * np.sin(angle) + (c - cx) * np.cos(angle)
    labels[(np.abs(u) <= rng.uniform(1.5, 2.5)) & (np.abs(v) <= 0.3 * size)] = label + 1
    return labels


def _voronoi(rng, size, count):
    big = size * SUPERSAMPLE
    r, c = _grid(big)
    centres = rng.uniform(0, size, (count, 2))
    distance = (r[..., None] - centres[:, 0]) ** 2 + (c[..., None] - centres[:, 1]) ** 2
    return np.argmin(distance, axis=-1).astype(np.int64)


def _regions(labels, min_area):
    """Regions of a supersampled label image: every connected piece of a label is a region
    of its own; pieces under min_area pixels (of the final image) take the nearest larger
    region. Returns the supersampled regions (0 .. k-1)."""
    pieces = np.zeros_like(labels)
    kept = np.zeros(labels.shape, dtype=bool)
    count = 0
    for value in np.unique(labels):
        labelled, n = ndimage.label(labels == value)
        areas = np.bincount(labelled.ravel())
        for piece in np.flatnonzero(areas[1:] >= min_area * SUPERSAMPLE**2) + 1:
            pieces[labelled == piece] = count
            kept[labelled == piece] = True
            count += 1
    _, (rows, columns) = ndimage.distance_transform_edt(~kept, return_indices=True)
    return pieces[rows, columns]


def _at_centres(big):
    """The region at each pixel's centre, numbered 0 .. k-1 in order of the regions."""
    centre = SUPERSAMPLE // 2
    _, truth = np.unique(big[centre::SUPERSAMPLE, centre::SUPERSAMPLE], return_inverse=True)
    size = big.shape[0] // SUPERSAMPLE
    return truth.reshape(size, size).astype(np.int64)


def _mean_blocks(big):
    size = big.shape[0] // SUPERSAMPLE
    return big.reshape(size, SUPERSAMPLE, size, SUPERSAMPLE, *big.shape[2:]).mean(axis=(1, 3))


def _neighbours(truth):
    count = int(truth.max()) + 1
    touch = np.zeros((count, count), dtype=bool)
    for a, b in ((truth[:-1], truth[1:]), (truth[:, :-1], truth[:, 1:])):
        differ = a != b
        touch[a[differ], b[differ]] = True
    return touch | touch.T


# --- surfaces ------------------------------------------------------------------------------


def _tones(rng, truth, colour, hue_only=False):
    """An sRGB tone per region, every two bordering ones at least MIN_DELTA_E apart; with
    hue_only, a region's tone keeps a neighbour's lightness within 3 and differs in hue."""
    touch = _neighbours(truth)
    count = touch.shape[0]
    tones = np.zeros((count, 3))
    for label in range(count):
        for _ in range(2000):
            if colour:
                tone = rng.uniform(0.1, 0.9, 3)
                others = [o for o in range(label) if touch[label, o]]
                if hue_only and others:
                    target = lab_of(tones[others[0]])[0]
                    lab = lab_of(tone)
                    # Scale toward the neighbour's lightness in a few steps.
                    for _ in range(6):
                        tone = np.clip(tone * (1 + (target - lab[0]) / 200), 0.02, 0.98)
                        lab = lab_of(tone)
                    if abs(lab[0] - target) > 3:
                        continue
            else:
                tone = np.full(3, rng.uniform(0.08, 0.92))
            lab = lab_of(tone)
            if all(
                np.linalg.norm(lab - lab_of(tones[o])) >= MIN_DELTA_E
                for o in range(label)
                if touch[label, o]
            ):
                break
        tones[label] = tone
    return tones


def _pattern(rng, size, amplitude):
    if rng.random() < 0.5:
        r, c = np.mgrid[0:size, 0:size].astype(float)
        angle, period = rng.uniform(0, np.pi), rng.uniform(4, 9)
        return amplitude * np.sin(2 * np.pi * (r * np.cos(angle) + c * np.sin(angle)) / period)
    blotches = ndimage.gaussian_filter(rng.normal(size=(size, size)), rng.uniform(1.0, 2.5))
    return amplitude * blotches / np.abs(blotches).max()


def _textures():
    from pathlib import Path

    from PIL import Image
    import skimage

    data = Path(skimage.__file__).parent / "data"
    return [
        np.asarray(Image.open(data / name).convert("L"), dtype=float) / 255
        for name in ("brick.png", "grass.png", "gravel.png")
    ]


def _three_colouring(touch, rng):
    """A texture 0 .. 2 per region, no two bordering regions alike, or None."""
    count = touch.shape[0]
    order = list(rng.permutation(count))
    choice = [-1] * count

    def place(i):
        if i == count:
            return True
        region = order[i]
        for texture in rng.permutation(3):
            if all(choice[o] != texture for o in range(count) if touch[region, o]):
                choice[region] = texture
                if place(i + 1):
                    return True
        choice[region] = -1
        return False

    return choice if place(0) else None


def _light(rng, size, strong):
    r, c = np.mgrid[0:size, 0:size].astype(float) / size
    low = rng.uniform(0.3, 0.4) if strong else rng.uniform(0.65, 0.85)
    if rng.random() < 0.5:
        angle = rng.uniform(0, 2 * np.pi)
        ramp = (r - 0.5) * np.cos(angle) + (c - 0.5) * np.sin(angle)
        ramp = (ramp - ramp.min()) / (ramp.max() - ramp.min())
        return low + (1 - low) * ramp
    cy, cx = rng.uniform(0.3, 0.7, 2)
    fall = np.clip(np.hypot(r - cy, c - cx) / 0.75, 0, 1) ** 2
    return 1.0 - (1 - low) * fall


# --- the camera ----------------------------------------------------------------------------


def _bayer_demosaic(linear):
    """Samples an RGB image on a Bayer mosaic (RGGB) and interpolates it back bilinearly."""
    h, w, _ = linear.shape
    mask = np.zeros((h, w, 3))
    mask[0::2, 0::2, 0] = 1
    mask[0::2, 1::2, 1] = 1
    mask[1::2, 0::2, 1] = 1
    mask[1::2, 1::2, 2] = 1
    kernel = np.array([[0.25, 0.5, 0.25], [0.5, 1.0, 0.5], [0.25, 0.5, 0.25]])
    out = np.empty_like(linear)
    for ch in range(3):
        sampled = linear[:, :, ch] * mask[:, :, ch]
        weight = ndimage.convolve(mask[:, :, ch], kernel, mode="mirror")
        out[:, :, ch] = ndimage.convolve(sampled, kernel, mode="mirror") / weight
    return out


def _jpeg(image, quality):
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(image).save(buffer, format="JPEG", quality=int(quality))
    buffer.seek(0)
    return np.asarray(Image.open(buffer))


def _resample(image, truth, factor):
    from PIL import Image

    h, w = truth.shape
    size = (max(int(round(w * factor)), 16), max(int(round(h * factor)), 16))
    picture = np.asarray(Image.fromarray(image).resize(size, Image.BICUBIC))
    labels = np.asarray(Image.fromarray(truth.astype(np.int32)).resize(size, Image.NEAREST))
    return picture, labels.astype(np.int64)


def _resample_float(channel, factor):
    from PIL import Image

    h, w = channel.shape
    size = (max(int(round(w * factor)), 16), max(int(round(h * factor)), 16))
    return np.asarray(
        Image.fromarray(channel.astype(np.float32), "F").resize(size, Image.BICUBIC), float
    )


def photograph(kind, seed, size=SIZE, clean=False):
    """(image, truth) of the given kind and seed; see the module's description. With clean,
    the same picture without noise and compression, as float64 values (for judging noise
    estimates)."""
    rng = np.random.default_rng([KINDS.index(kind), seed])
    colour = kind in ("hue", "correlated", "jpeg") or (kind == "light" and seed % 2 == 1)
    if kind == "texture":
        textures = _textures()
        for _ in range(100):
            big = _regions(_voronoi(rng, size, int(rng.integers(4, 8))), 200)
            choice = _three_colouring(_neighbours(big[::SUPERSAMPLE, ::SUPERSAMPLE]), rng)
            if choice is not None:
                break
        surface = np.zeros(big.shape)
        for region, texture in enumerate(choice):
            source = np.kron(textures[texture], np.ones((SUPERSAMPLE, SUPERSAMPLE)))
            dy, dx = rng.integers(0, (source.shape[0] - big.shape[0]) // SUPERSAMPLE, 2)
            crop = source[dy * SUPERSAMPLE :][: big.shape[0], dx * SUPERSAMPLE :][:, : big.shape[1]]
            surface[big == region] = crop[big == region]
        linear = srgb_to_linear(np.repeat(_mean_blocks(surface)[:, :, None], 3, axis=2))
        linear = linear * _light(rng, size, False)[:, :, None]
    else:
        scale = (0.06, 0.16) if kind == "small" else (0.08, 0.2)
        gap = (1.0, 3.0) if kind == "small" else (2.0, 4.0)
        labels = _objects(rng, size, int(rng.integers(4, 8)), scale, gap)
        if kind == "small":
            labels = _small_objects(rng, size, labels)
        big = _regions(labels, 9 if kind == "small" else 100)
        tones = _tones(rng, big[::SUPERSAMPLE, ::SUPERSAMPLE], colour, hue_only=kind == "hue")
        # Drawn at the supersampled size and averaged: borders are anti-aliased.
        linear = _mean_blocks(srgb_to_linear(tones)[big])
        coarse = big[SUPERSAMPLE // 2 :: SUPERSAMPLE, SUPERSAMPLE // 2 :: SUPERSAMPLE]
        for region in range(len(tones)):
            if kind != "small" and rng.random() < 0.3:
                inside = coarse == region
                linear[inside] *= 1 + _pattern(rng, size, rng.uniform(0.05, 0.1))[inside][:, None]
        linear = linear * _light(rng, size, kind == "light")[:, :, None]
    truth = _at_centres(big)
    optics = rng.uniform(1.0, 2.0) if kind == "blur" else rng.uniform(0.3, 0.6)
    linear = ndimage.gaussian_filter(linear, (optics, optics, 0), mode="nearest")
    # Photon noise grows with the signal, read noise does not: a few hundred to a few
    # thousand electrons at full light; the 16-bit camera's deep wells hold ten times as
    # many, of which the dim scene fills a tenth.
    exposure = 0.1 if kind == "deep" else 1.0
    electrons = rng.uniform(2000, 5000) if kind == "texture" else rng.uniform(300, 1500)
    electrons *= 10 if kind == "deep" else 1
    signal = linear * exposure
    raw = signal + rng.normal(size=signal.shape) * np.sqrt(signal / electrons + 1e-6) * (not clean)
    if kind == "correlated":
        raw = ndimage.gaussian_filter(_bayer_demosaic(raw), (0.7, 0.7, 0))
    if kind == "deep":
        # The sensor's linear values over a black level, in a 16-bit file.
        image = np.clip(raw[:, :, 1], 0, 1) * 65535 + 256
        if clean:
            return image / 65535, truth
        image = np.round(image)
        return np.clip(image, 0, 65535).astype(np.uint16), truth
    if clean:
        image = linear_to_srgb(raw)
        image = image if colour else image[:, :, 1]
        if kind == "blur":
            factor = rng.uniform(0.6, 1.6)
            image = np.stack(
                [_resample_float(c, factor) for c in np.atleast_3d(image).transpose(2, 0, 1)], -1
            )
            image = image if colour else image[:, :, 0]
        return image, truth
    image = np.round(linear_to_srgb(raw) * 255).astype(np.uint8)
    if not colour:
        image = image[:, :, 1].copy()
    if kind == "jpeg":
        image = _jpeg(image, rng.uniform(60, 90))
    elif kind == "hue":
        image = _jpeg(image, rng.uniform(75, 90))
    elif kind == "blur":
        image, truth = _resample(image, truth, rng.uniform(0.6, 1.6))
    return image, truth


def split(name):
    """The seeds of the split called name: "tuning" or "held-out"."""
    return {"tuning": TUNING, "held-out": HELD_OUT}[name]


def photographs(name):
    """Every (kind, seed, image, truth) of a split."""
    return [(kind, seed, *photograph(kind, seed)) for kind in KINDS for seed in split(name)]
