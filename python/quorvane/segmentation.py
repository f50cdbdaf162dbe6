"""Normalised-cut segmentation of a photograph over quorvane weights, one step per function.

The steps work on plain numpy and scipy.sparse arrays so that any driver (the command line
in quorvane.demo, or one that spreads the work over processes) can put them together and
time them. Pixels are numbered in numpy's C order throughout, as in quorvane.weights. A
picture is grey (H x W) or colour (H x W x 3), values in [0, 1].

    picture = read_picture("photo.png")
    small = shrink(picture, shrink_factor(picture.shape))
    magnitude, phase = edges(small)
    sigma = weight_sigma(small)
    w = symmetric(quorvane.weights(magnitude, phase, *quorvane.disc_pattern(magnitude.shape, 5), sigma))
    values, embedding, levels = leading_eigenvectors_multilevel(w, magnitude.shape, 32)
    labels = group(embedding, levels, w, 48)
    segments, count = connected_segments(labels.reshape(magnitude.shape))
    segments, count = absorb_specks(segments, w, 40)

Needs Pillow (reading) besides numpy and scipy; cluster() alone needs scikit-learn.
"""

import math
from dataclasses import dataclass, replace

import numpy as np
import scipy.sparse
from PIL import Image
from scipy import ndimage
from scipy.sparse.csgraph import connected_components
from scipy.sparse.linalg import eigsh

from . import multilevel


@dataclass(frozen=True)
class Settings:
    """The choices of a segmentation run, with the values the demo uses."""

    # Largest pixel count of the shrunk image: the work grows with it.
    pixel_budget: int = 120000
    # Gaussian standard deviation of the edge filters, in pixels of the shrunk image.
    smoothing: float = 1.0
    # Radius of the disc pattern: every pixel is paired with those this close.
    radius: float = 4.0
    # Hysteresis of the edges, in units of the gradient that sensor noise alone gives (see
    # edge_unit()): the phase changes only along edges above edge_high, and in the pixels
    # above edge_low connected to them.
    edge_low: float = 3.0
    edge_high: float = 6.0
    # sigma of the weights in the same unit: an edge at edge_high gives exp(-(6/2)^2/2),
    # about 0.01, to pairs across it.
    sigma_noise: float = 2.0
    # Leading eigenvectors of (W, D) that embed the pixels: more than the objects of a
    # photograph like coins.png (24 coins, a background and a few specks).
    eigenvectors: int = 32
    # ARPACK's relative accuracy in leading_eigenvectors() (the full solve, not the demo's).
    tolerance: float = 1e-12
    # Seed of the k-means (and of leading_eigenvectors()' start vector): runs repeat.
    seed: int = 0
    # k-means clusters: well more than the objects, so that none is forced to share one.
    clusters: int = 48
    # Neighbouring clusters whose pairs across their border have a mean weight above this
    # are not separated by any edge, and merge.
    merge_above: float = 0.4
    # Weights below this are raised to it: pixels cut off all round (slivers on an edge,
    # specks) then tie weakly to their surroundings, and each sheds its own eigenvalue 1
    # (the normalised cut of a small piece costs in proportion to its small volume).
    weight_floor: float = 0.0
    # Clusters merge only along a border of at least this many pixels' pattern entries
    # (a border of a few pixels is a leak through a gap in an edge).
    min_border: float = 4.0
    # Segments of fewer pixels join the neighbour they are most strongly tied to.
    min_area: int = 40

    def chosen(self, **options):
        """These settings with the options given (a command line's radius, eigenvectors,
        clusters, ...); options that are None keep their value."""
        return replace(self, **{name: value for name, value in options.items() if value is not None})


@dataclass
class Segmentation:
    """What a run produced, for the pictures: the photograph and its shrunk image (grey, in
    [0, 1]), the shrunk image's edges, its symmetric weights, the leading eigenvalues and
    the embedding, and the segment of every pixel of the photograph (0 .. count-1)."""

    original: np.ndarray
    image: np.ndarray
    magnitude: np.ndarray
    phase: np.ndarray
    weights: scipy.sparse.csr_matrix
    values: np.ndarray
    embedding: np.ndarray
    segments: np.ndarray
    count: int


def read_grey(path):
    """The photograph at path as a 2-D float64 array of grey values in [0, 1].

    Colour is turned to luma (ITU-R 601, as Pillow's "L" mode); alpha is dropped; of an
    animation or a multi-page file only the first frame counts. Images of 16-bit, 32-bit
    integer or float values are divided by their largest value when it exceeds 1.
    """
    with Image.open(path) as picture:
        if picture.mode in ("I", "F") or picture.mode.startswith("I;16"):
            grey = np.asarray(picture, dtype=np.float64)
            if not np.isfinite(grey).all():
                raise ValueError(f"{path}: the image holds values that are not finite")
            return grey / max(grey.max(), 1.0)
        return np.asarray(picture.convert("L"), dtype=np.float64) / 255


def read_picture(path):
    """The photograph at path as float64 values in [0, 1]: H x W x 3 (RGB) when it has
    colour, else H x W as read_grey() reads it. Alpha is dropped, a palette resolved; only
    the first frame counts."""
    with Image.open(path) as picture:
        if picture.mode in ("RGB", "RGBA", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV", "RGBX"):
            rgb = np.asarray(picture.convert("RGB"), dtype=np.float64) / 255
            if not (rgb[:, :, 0] == rgb[:, :, 1]).all() or not (rgb[:, :, 1] == rgb[:, :, 2]).all():
                return rgb
    return read_grey(path)


def grey_of(picture):
    """Grey values of a picture: itself when grey, else luma (ITU-R 601)."""
    if picture.ndim == 2:
        return picture
    return picture @ np.array([0.299, 0.587, 0.114])


def shrink_factor(shape, pixel_budget=Settings.pixel_budget):
    """The smallest whole factor that brings an image of this shape within the budget."""
    factor = 1
    while (shape[0] // factor) * (shape[1] // factor) > pixel_budget:
        factor += 1
    return factor


def shrink(image, factor):
    """Means of factor x factor blocks (rows and columns left over at the end are dropped),
    channel by channel for a colour picture."""
    h, w = image.shape[0] // factor, image.shape[1] // factor
    if h == 0 or w == 0:
        raise ValueError(f"an image of {image.shape[0]} x {image.shape[1]} cannot shrink by {factor}")
    if factor == 1:
        return image
    blocks = image[: h * factor, : w * factor].reshape(h, factor, w, factor, *image.shape[2:])
    return blocks.mean(axis=(1, 3))


def enlarge(labels, factor, shape):
    """Labels of a shrunk image back at the original shape: each block takes its label, and
    rows and columns that shrinking dropped take those of the last block."""
    big = np.repeat(np.repeat(labels, factor, axis=0), factor, axis=1)
    return np.pad(big, [(0, shape[0] - big.shape[0]), (0, shape[1] - big.shape[1])], mode="edge")


def _channels(picture):
    return picture[:, :, None] if picture.ndim == 2 else picture


def noise_level(picture):
    """Standard deviation of the sensor noise, estimated robustly from the differences of
    neighbouring pixels (their median absolute value; edges are too few to move it): the
    median over the channels."""
    channels = _channels(picture)
    levels = []
    for c in range(channels.shape[2]):
        channel = channels[:, :, c]
        steps = np.concatenate([np.diff(channel, axis=0).ravel(), np.diff(channel, axis=1).ravel()])
        levels.append(np.median(np.abs(steps)) / (0.6745 * math.sqrt(2)) if steps.size else 0.0)
    return float(np.median(levels))


def edge_unit(picture, smoothing=Settings.smoothing):
    """The standard deviation of one component of the Gaussian gradient (standard
    deviation smoothing) of the picture's noise alone: noise_level() / (sqrt(8 pi) s^2).
    A picture without noise (a drawing) takes the noise of 8-bit rounding, 1 / (255 sqrt 12)."""
    noise = max(noise_level(picture), 1 / (255 * math.sqrt(12)))
    return noise / (math.sqrt(8 * math.pi) * smoothing**2)


def edges(picture, smoothing=Settings.smoothing, low=Settings.edge_low, high=Settings.edge_high):
    """Edge magnitude and phase of a grey or colour picture.

    Magnitude: the Gaussian gradient magnitude of each channel, the largest of them at
    every pixel (a colour edge counts as much as a brightness edge of the same step).
    Phase: on edges only, the signs of every channel's Laplacian of Gaussian (which change
    across an edge of that channel, at its strongest pixel), coded as one number 1 ..
    3^channels (in grey: 1 or 3); 0 off edges. Edges are the pixels whose magnitude
    exceeds `high` edge units (see edge_unit()), with the pixels above `low` connected to
    them (8-connected hysteresis, as Canny's). So sensor noise and slow shading change no
    phase, pairs of pixels that no edge separates get weight 1, a weak edge holds where it
    continues a strong one, and an edge between two colours of one brightness changes the
    phase as well as one between two brightnesses."""
    channels = _channels(picture)
    magnitude = np.zeros(channels.shape[:2])
    phase = np.ones(channels.shape[:2])
    for c in range(channels.shape[2]):
        np.maximum(magnitude, ndimage.gaussian_gradient_magnitude(channels[:, :, c], smoothing, mode="nearest"),
                   out=magnitude)
        phase += 3**c * (ndimage.gaussian_laplace(channels[:, :, c], smoothing, mode="nearest") > 0) * 2
    unit = edge_unit(picture, smoothing)
    pieces, count = ndimage.label(magnitude > low * unit, structure=np.ones((3, 3)))
    strong = np.zeros(count + 1, dtype=bool)
    strong[pieces[magnitude > high * unit]] = True
    strong[0] = False
    phase[~strong[pieces]] = 0.0
    return magnitude, phase


def weight_sigma(picture, smoothing=Settings.smoothing, share=Settings.sigma_noise):
    """sigma of the weights: share edge units (see edge_unit())."""
    return share * edge_unit(picture, smoothing)


def symmetric(weights):
    """The weights as a symmetric CSR matrix: NaN (sigma 0 and no edge crossed) is taken as
    1, and the two walks of a pair, which may round the line differently, are averaged."""
    weights = weights.tocsr(copy=True)
    weights.data[np.isnan(weights.data)] = 1.0
    return ((weights + weights.T) * 0.5).tocsr()


def normalised_affinity(w):
    """D^-1/2 W D^-1/2 of symmetric weights W (see symmetric()) with degrees D (row sums),
    and D.

    Every pixel's degree is at least its own weight 1 in a pattern that pairs it with
    itself; a pixel with no weight at all would divide by zero and is a ValueError."""
    degrees = np.asarray(w.sum(axis=1)).ravel()
    if not (degrees > 0).all():
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    scale = scipy.sparse.diags(1.0 / np.sqrt(degrees))
    affinity = (scale @ w @ scale).tocsr()
    return ((affinity + affinity.T) * 0.5).tocsr(), degrees


def start_vector(n, seed=Settings.seed):
    """The eigensolve's start vector: uniform in [-1, 1) from numpy's default generator."""
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n)


def leading_eigenvectors(
    affinity, degrees, count=Settings.eigenvectors, tolerance=Settings.tolerance, seed=Settings.seed
):
    """The count largest eigenvalues of the normalised affinity, in descending order, and
    the pixel embedding D^-1/2 V (the generalised eigenvectors of (D - W, D)), one column
    per eigenvalue, by ARPACK's Lanczos (scipy's eigsh) from a fixed start vector."""
    n = affinity.shape[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    values, vectors = eigsh(affinity, k=count, which="LA", tol=tolerance, v0=start_vector(n, seed))
    order = np.argsort(values)[::-1]
    return values[order], vectors[:, order] / np.sqrt(degrees)[:, None]


def cluster(embedding, count=Settings.clusters, seed=Settings.seed, *, overwrite=False):
    """k-means (scikit-learn, k-means++ seeding) of the embedding's rows scaled to unit
    length: labels 0 .. count-1, one per pixel. With overwrite, the rows are scaled in the
    embedding itself (a float64 C-order array), which saves a copy of it."""
    if count > embedding.shape[0]:
        raise ValueError(f"{count} clusters need at least {count} pixels, got {embedding.shape[0]}")
    length = np.linalg.norm(embedding, axis=1, keepdims=True)
    rows = np.divide(embedding, np.where(length > 0, length, 1.0), out=embedding if overwrite else None)
    from sklearn.cluster import KMeans

    # k-means centres the rows it is given; copy_x=False does so in them (a temporary here)
    # rather than in a copy of its own, with the same result.
    return KMeans(n_clusters=count, n_init=1, random_state=seed, copy_x=False).fit_predict(rows)


def border_sums(row_labels, column_labels, values, count):
    """Per ordered pair of different clusters (a, b), flattened as a * count + b: the sum
    of the weights values of the entries between them and their number. row_labels and
    column_labels are the clusters of each entry's two pixels; any share of a matrix's
    entries gives its share of the sums."""
    across = row_labels != column_labels
    pair = row_labels[across].astype(np.int64) * count + column_labels[across]
    total = np.bincount(pair, weights=values[across], minlength=count * count)
    number = np.bincount(pair, minlength=count * count)
    return total, number


def merge_bordering(labels, total, number, limit=Settings.merge_above):
    """Merges every two of the clusters 0 .. k-1 whose border_sums() (over k clusters) give
    a mean weight above limit, and so on transitively. Returns the merged labels, numbered
    0 .. count-1, and count."""
    k = math.isqrt(total.size)
    join = np.flatnonzero(total > limit * number)  # mean above limit, pairs that border
    graph = scipy.sparse.coo_matrix((np.ones(join.size), (join // k, join % k)), shape=(k, k))
    count, root = connected_components(graph, directed=False)
    return root[np.asarray(labels).ravel()], count


def merge_unseparated(labels, weights, limit=Settings.merge_above):
    """Merges every two clusters whose pairs across their border (the pattern's entries
    between them) have a mean weight above limit, and so on transitively.

    labels are the clusters 0 .. k-1 of the pixels (k small: k * k counters are kept),
    weights the symmetric weight matrix (see symmetric()). Returns the merged labels,
    numbered 0 .. count-1, and count."""
    labels = np.asarray(labels).ravel()
    k = int(labels.max()) + 1
    entries = weights.tocoo()
    total, number = border_sums(labels[entries.row], labels[entries.col], entries.data, k)
    return merge_bordering(labels, total, number, limit)


def coherence_sums(row_labels, column_labels, values, count):
    """Per cluster: the sum of the weights of the entries between two different pixels of
    it, and their number (the diagonal is left out: row and column labels of an entry's
    two pixels, and whether they are the same pixel, come as for border_sums(); here the
    entries of one pixel with itself are those whose values are marked by the caller)."""
    same = row_labels == column_labels
    total = np.bincount(row_labels[same], weights=values[same], minlength=count)
    number = np.bincount(row_labels[same], minlength=count)
    return total, number


def merge_coherent(pairs, total, number, inner_total, inner_number, count, limit=Settings.merge_above,
                   min_number=0):
    """Merges every two bordering clusters a, b (pairs: a * count + b, with the sum of the
    weights across their border and the number of entries there, as border_sums() gives
    them, here only for the pairs that border) whose mean weight across the border is above
    limit times the larger of their inner mean weights (coherence_sums()), and so on
    transitively: a border is no edge when pairs across it are tied about as well as pairs
    within. A border of fewer than min_number entries is a leak through a gap in an edge,
    never a reason to merge. A cluster without inner pairs counts as tied within by 1. Returns each
    cluster's merged cluster (0 .. merged-1) and merged."""
    inner = np.where(inner_number > 0, inner_total / np.maximum(inner_number, 1), 1.0)
    a, b = np.divmod(pairs, count)
    join = (total > limit * np.maximum(inner[a], inner[b]) * number) & (number >= min_number)
    graph = scipy.sparse.coo_matrix((np.ones(join.sum()), (a[join], b[join])), shape=(count, count))
    merged, root = connected_components(graph, directed=False)
    return root, merged


def merge_similar(labels, weights, limit=Settings.merge_above, min_area=0, min_number=0):
    """merge_coherent() of clusters 0 .. k-1 of the pixels over the symmetric weights
    (the entries of a pixel with itself left out; any k). Clusters of fewer than min_area
    pixels take no part: slivers along an edge, tied to both its sides, would chain them
    together. Returns the merged labels, numbered 0 .. count-1, and count."""
    labels = np.asarray(labels).ravel()
    k = int(labels.max()) + 1
    large = np.bincount(labels, minlength=k) >= min_area
    entries = weights.tocoo()
    off = entries.row != entries.col
    rows, columns, values = labels[entries.row[off]], labels[entries.col[off]], entries.data[off]
    inner_total, inner_number = coherence_sums(rows, columns, values, k)
    across = (rows != columns) & large[rows] & large[columns]
    pair = rows[across].astype(np.int64) * k + columns[across]
    pairs, where = np.unique(pair, return_inverse=True)
    total = np.bincount(where, weights=values[across], minlength=pairs.size)
    number = np.bincount(where, minlength=pairs.size)
    root, count = merge_coherent(pairs, total, number, inner_total, inner_number, k, limit, min_number)
    return root[labels], count


def connected_segments(labels):
    """Splits each label's region of a 2-D label image into its 4-connected pieces.
    Returns the segment of every pixel (0 .. count-1, same shape) and count."""
    h, w = labels.shape
    ids = np.arange(h * w).reshape(h, w)
    down = labels[:-1, :] == labels[1:, :]
    right = labels[:, :-1] == labels[:, 1:]
    first = np.concatenate([ids[:-1, :][down], ids[:, :-1][right]])
    second = np.concatenate([ids[1:, :][down], ids[:, 1:][right]])
    graph = scipy.sparse.coo_matrix((np.ones(first.size), (first, second)), shape=(h * w, h * w))
    count, segments = connected_components(graph, directed=False)
    return segments.reshape(h, w), count


def memory_estimate(shape, settings=Settings()):
    """Bytes a run of segment() on an image of this shape holds at its peak, about: the
    disc pattern's entries (pixels x the disc's pixel count) at 48 bytes each (quorvane's
    result, its symmetric copy and the transpose made on the way, 12 bytes an entry each,
    and the pattern), and per pixel the embedding's blocks (five blocks of count + guard
    columns) and some 300 bytes of images, edges and labels."""
    pixels = shape[0] * shape[1]
    reach = int(math.floor(settings.radius))
    disc = sum(2 * math.isqrt(int(settings.radius**2 - dy * dy)) + 1 for dy in range(-reach, reach + 1))
    columns = settings.eigenvectors + multilevel.guard(settings.eigenvectors)
    return pixels * min(disc, pixels) * 48 + pixels * (5 * 8 * columns + 300)


def available_memory():
    """MemAvailable of /proc/meminfo in bytes, or None where there is none."""
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def check_memory(shape, settings=Settings(), available=None):
    """A ValueError, before any work, when memory_estimate() exceeds the memory available
    (MemAvailable unless given), with both figures; else the estimate."""
    need = memory_estimate(shape, settings)
    available = available_memory() if available is None else available
    if available is not None and need > available:
        raise ValueError(
            f"segmenting {shape[0]} x {shape[1]} pixels at radius {settings.radius:g} needs about "
            f"{need / 2**30:.1f} GiB, but only {available / 2**30:.1f} GiB are available (MemAvailable); "
            "shrink the photograph (--shrink) or lower the radius")
    return need


def degrees_of(w):
    """Row sums of the symmetric weights; a pixel with none is a ValueError."""
    degrees = np.asarray(w.sum(axis=1)).ravel()
    if not (degrees > 0).all():
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    return degrees


def leading_eigenvectors_multilevel(w, shape, count=Settings.eigenvectors, say=None):
    """The count leading eigenvalues of (W, D) (descending), the embedding (D-orthonormal
    Ritz vectors, one column each) and the levels, by quorvane.multilevel over the pixel
    graph of an image of this shape."""
    n = w.shape[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    return multilevel.leading_subspace(w, degrees_of(w), multilevel.pixel_positions(shape), count, say=say)


def kmeans(rows, weights, count, seed=Settings.seed, iterations=50):
    """Weighted k-means (Lloyd's iterations from k-means++ seeding, numpy's default
    generator seeded with seed) of the rows: the centres (count x columns) and each row's
    nearest centre. A row's weight is its share in the centres' means and in the seeding."""
    rng = np.random.default_rng(seed)
    n = rows.shape[0]
    count = min(count, n)
    squares = np.einsum("ij,ij->i", rows, rows)
    centres = np.empty((count, rows.shape[1]))
    centres[0] = rows[rng.choice(n, p=weights / weights.sum())]
    nearest = ((rows - centres[0]) ** 2).sum(axis=1)
    for c in range(1, count):
        chances = weights * nearest
        total = chances.sum()
        pick = rng.choice(n, p=chances / total) if total > 0 else rng.integers(n)
        centres[c] = rows[pick]
        nearest = np.minimum(nearest, ((rows - centres[c]) ** 2).sum(axis=1))
    labels = None
    for _ in range(iterations):
        distances = squares[:, None] - 2 * rows @ centres.T + np.einsum("ij,ij->i", centres, centres)[None, :]
        new = np.argmin(distances, axis=1)
        if labels is not None and (new == labels).all():
            break
        labels = new
        mass = np.bincount(labels, weights=weights, minlength=count)
        sums = _sums_by(labels, rows * weights[:, None], count)
        filled = mass > 0
        centres[filled] = sums[filled] / mass[filled, None]
    return centres, labels


def _sums_by(labels, rows, count):
    """Sums of the rows of each label 0 .. count-1 (count x columns)."""
    n = labels.size
    one_hot = scipy.sparse.csr_matrix((np.ones(n), (labels, np.arange(n))), shape=(count, n))
    return one_hot @ rows


def unit_rows(embedding):
    """The rows of the embedding scaled to unit length (zero rows stay zero)."""
    length = np.linalg.norm(embedding, axis=1, keepdims=True)
    return embedding / np.where(length > 0, length, 1.0)


def group(embedding, levels, count=Settings.clusters, seed=Settings.seed):
    """k-means clusters of the pixels (0 .. count-1) from their embedding: the centres are
    fitted to the first coarse level's nodes (each aggregate's degree-weighted mean row,
    weighted by its degree; far fewer rows than pixels), then every pixel takes the centre
    nearest to its own unit row. Without a coarse level, the pixels themselves are fitted."""
    rows = unit_rows(embedding)
    fine = levels[0]
    if len(levels) > 1:
        aggregate, degrees = fine.aggregates, levels[1].degrees
        sums = _sums_by(aggregate, rows * fine.degrees[:, None], degrees.size)
        fitted, weights = unit_rows(sums / degrees[:, None]), degrees
    else:
        fitted, weights = rows, fine.degrees
    centres, _ = kmeans(fitted, weights, count, seed)
    distances = -2 * rows @ centres.T + np.einsum("ij,ij->i", centres, centres)[None, :]
    return np.argmin(distances, axis=1)


def absorb_specks(segments, w, min_area=Settings.min_area):
    """Segments of fewer than min_area pixels join the neighbouring segment they share
    the largest weight with (the smallest first, so a speck next to a speck ends in the
    larger region); the segments are then numbered 0 .. count-1 again. Returns them (the
    shape of segments) and count."""
    shape = segments.shape
    labels = segments.ravel().copy()
    count = int(labels.max()) + 1
    areas = np.bincount(labels, minlength=count).astype(np.int64)
    if areas.min() >= min_area:
        return segments, count
    # Only the rows of pixels in small segments are read.
    rows = np.flatnonzero(areas[labels] < min_area)
    entries = w.tocsr()[rows].tocoo()
    first, second = labels[rows[entries.row]], labels[entries.col]
    across = first != second
    ties = scipy.sparse.csr_matrix(
        (entries.data[across], (first[across], second[across])), shape=(count, count))
    ties.sum_duplicates()
    parent = np.arange(count)

    def find(a):
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    for small in np.argsort(areas, kind="stable"):
        if areas[small] >= min_area:
            break
        if find(small) != small:
            continue
        row = ties.getrow(small)
        if row.nnz == 0:
            continue
        # The neighbour with the largest tie, counted over what it has become.
        totals = {}
        for other, tie in zip(row.indices, row.data):
            root = find(other)
            if root != small:
                totals[root] = totals.get(root, 0.0) + tie
        if not totals:
            continue
        into = max(totals, key=lambda root: (totals[root], -root))
        parent[small] = into
        areas[into] += areas[small]
    roots = np.array([find(a) for a in range(count)])
    _, merged = np.unique(roots[labels], return_inverse=True)
    return merged.reshape(shape), int(merged.max()) + 1


def segment(picture, settings=Settings(), step=None, say=None):
    """Every step from a (shrunk) grey or colour picture to its segments; step(text), when
    given, is called after each with what was done (for timing), say(text) with the
    progress of the eigenvectors. Returns (magnitude, phase, w, values, embedding,
    segments, count), segments the shape of the picture's first two axes."""
    from . import disc_pattern, weights

    step = step or (lambda text: None)
    shape = picture.shape[:2]
    n = shape[0] * shape[1]
    if n <= settings.eigenvectors:
        raise ValueError(f"{settings.eigenvectors} eigenvectors need more than {settings.eigenvectors} pixels, got {n}")
    if n < settings.clusters:
        raise ValueError(f"{settings.clusters} clusters need at least {settings.clusters} pixels, got {n}")
    magnitude, phase = edges(picture, settings.smoothing, settings.edge_low, settings.edge_high)
    if not phase.any():
        raise ValueError("the picture has no edges to segment by")
    sigma = weight_sigma(picture, settings.smoothing, settings.sigma_noise)
    step(f"edges: gradient magnitude{' (strongest channel)' if picture.ndim == 3 else ''}, "
         f"phase: sign of the Laplacian on edges above {settings.edge_high:g} noise units, "
         f"smoothing {settings.smoothing:g}")
    indices, indptr = disc_pattern(shape, settings.radius)
    w = symmetric(weights(magnitude, phase, indices, indptr, sigma))
    np.maximum(w.data, settings.weight_floor, out=w.data)
    del indices, indptr
    step(f"weights from quorvane: disc pattern of radius {settings.radius:g}, {w.nnz} entries, sigma {sigma:.4g}")
    values, embedding, levels = leading_eigenvectors_multilevel(w, shape, settings.eigenvectors, say)
    step(f"{settings.eigenvectors} leading eigenvectors of (W, D) over {len(levels)} levels "
         f"({' > '.join(str(level.weights.shape[0]) for level in levels)} nodes)")
    clusters = group(embedding, levels, settings.clusters, settings.seed)
    merged, kept = merge_similar(clusters, w, settings.merge_above, settings.min_area,
                                 settings.min_border * w.nnz / n)
    pieces, count = connected_segments(merged.reshape(shape))
    segments, final = absorb_specks(pieces, w, settings.min_area)
    step(f"k-means into {settings.clusters} clusters, {kept} after merging those tied across their border "
         f"nearly as within, {count} connected pieces, {final} of {settings.min_area} pixels or more")
    return magnitude, phase, w, values, embedding, segments, final
