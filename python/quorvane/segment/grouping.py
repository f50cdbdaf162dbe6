"""k-means of the pixels' embedding: scikit-learn's over every pixel (cluster), or the demo's
own weighted k-means fitted to the first coarse level's nodes (group)."""

import numpy as np
import scipy.sparse

from .settings import Settings


def cluster(embedding, count=Settings.clusters, seed=Settings.seed, *, overwrite=False):
    """k-means (scikit-learn, k-means++ seeding) of the embedding's rows scaled to unit
    length: labels 0 .. count-1, one per pixel. With overwrite, the rows are scaled in the
    embedding itself (a float64 C-order array), which saves a copy of it."""
    if count > embedding.shape[0]:
        raise ValueError(f"{count} clusters need at least {count} pixels, got {embedding.shape[0]}")
    length = np.linalg.norm(embedding, axis=1, keepdims=True)
    rows = np.divide(
        embedding, np.where(length > 0, length, 1.0), out=embedding if overwrite else None
    )
    from sklearn.cluster import KMeans

    # k-means centres the rows it is given; copy_x=False does so in them (a temporary here)
    # rather than in a copy of its own, with the same result.
    return KMeans(n_clusters=count, n_init=1, random_state=seed, copy_x=False).fit_predict(rows)


def kmeans(rows, weights, count, seed=Settings.seed, iterations=25):
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
        distances = (
            squares[:, None]
            - 2 * rows @ centres.T
            + np.einsum("ij,ij->i", centres, centres)[None, :]
        )
        new = np.argmin(distances, axis=1)
        if labels is not None and (new == labels).all():
            break
        labels = new
        mass = np.bincount(labels, weights=weights, minlength=count)
        sums = sums_by(labels, rows * weights[:, None], count)
        filled = mass > 0
        centres[filled] = sums[filled] / mass[filled, None]
    return centres, labels


def sums_by(labels, rows, count):
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
        sums = sums_by(aggregate, rows * fine.degrees[:, None], degrees.size)
        fitted, weights = unit_rows(sums / degrees[:, None]), degrees
    else:
        fitted, weights = rows, fine.degrees
    centres, _ = kmeans(fitted, weights, count, seed)
    distances = -2 * rows @ centres.T + np.einsum("ij,ij->i", centres, centres)[None, :]
    return np.argmin(distances, axis=1)
