"""Normalised-cut segmentation of a photograph over quorvane weights, one step per function.

The steps work on plain numpy and scipy.sparse arrays so that any driver (the command line
in quorvane.demo, or one that spreads the eigensolve over processes) can put them together
and time them. Pixels are numbered in numpy's C order throughout, as in quorvane.weights.

    image = read_grey("photo.png")
    small = shrink(image, shrink_factor(image.shape))
    magnitude, phase = edges(small)
    w = symmetric(quorvane.weights(magnitude, phase, *quorvane.disc_pattern(small.shape, 6), sigma))
    affinity, degrees = normalised_affinity(w)
    values, vectors = leading_eigenvectors(affinity, degrees, 32)
    labels = cluster(vectors, 48)
    labels, _ = merge_unseparated(labels, w, 0.8)
    segments, count = connected_segments(labels.reshape(small.shape))

Needs scikit-learn (k-means) and Pillow (reading), besides numpy and scipy.
"""

import math
from dataclasses import dataclass, replace

import numpy as np
import scipy.sparse
from PIL import Image
from scipy import ndimage
from scipy.sparse.csgraph import connected_components
from scipy.sparse.linalg import eigsh
from sklearn.cluster import KMeans


@dataclass(frozen=True)
class Settings:
    """The choices of a segmentation run, with the values the demo uses."""

    # Largest pixel count of the shrunk image: the eigensolve's cost grows with it.
    pixel_budget: int = 65536
    # Gaussian standard deviation of the edge filters, in pixels of the shrunk image.
    smoothing: float = 1.0
    # Radius of the disc pattern: every pixel is paired with those this close.
    radius: float = 6.0
    # sigma of the weights as a share of the largest magnitude. Half of quorvane's default:
    # sharper cuts at faint edges (the rims of coins on a grey ground).
    sigma_share: float = 1 / 12
    # Leading eigenvectors of the normalised affinity that embed the pixels: more than the
    # objects of a photograph like coins.png (24 coins, a background and a few specks).
    eigenvectors: int = 32
    # ARPACK's relative accuracy of the Ritz values (|residual| <= tolerance * |value|).
    # Objects that edges all but cut off give eigenvalues within 1e-11 of 1 and of each
    # other (four of them in coins.png); a looser tolerance returns one value for such a
    # cluster and leaves out the others, so the leading eigenvalues it finds are not the
    # leading ones.
    tolerance: float = 1e-12
    # Start vector of the eigensolve and seed of the k-means: fixed, so runs repeat.
    seed: int = 0
    # k-means clusters: well more than the objects, so that none is forced to share one.
    clusters: int = 48
    # Neighbouring clusters whose pairs across their border have a mean weight above this
    # are not separated by any edge, and merge.
    merge_above: float = 0.8

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


def shrink_factor(shape, pixel_budget=Settings.pixel_budget):
    """The smallest whole factor that brings an image of this shape within the budget."""
    factor = 1
    while (shape[0] // factor) * (shape[1] // factor) > pixel_budget:
        factor += 1
    return factor


def shrink(image, factor):
    """Means of factor x factor blocks (rows and columns left over at the end are dropped)."""
    h, w = image.shape[0] // factor, image.shape[1] // factor
    if h == 0 or w == 0:
        raise ValueError(f"an image of {image.shape[0]} x {image.shape[1]} cannot shrink by {factor}")
    return image[: h * factor, : w * factor].reshape(h, factor, w, factor).mean(axis=(1, 3))


def enlarge(labels, factor, shape):
    """Labels of a shrunk image back at the original shape: each block takes its label, and
    rows and columns that shrinking dropped take those of the last block."""
    big = np.repeat(np.repeat(labels, factor, axis=0), factor, axis=1)
    return np.pad(big, [(0, shape[0] - big.shape[0]), (0, shape[1] - big.shape[1])], mode="edge")


def edges(image, smoothing=Settings.smoothing):
    """Edge magnitude (gradient length of the Gaussian-smoothed image) and edge phase (1.0
    where its Laplacian is positive, else 0.0: the phase changes across every edge)."""
    magnitude = ndimage.gaussian_gradient_magnitude(image, smoothing, mode="nearest")
    phase = (ndimage.gaussian_laplace(image, smoothing, mode="nearest") > 0).astype(np.float64)
    return magnitude, phase


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
