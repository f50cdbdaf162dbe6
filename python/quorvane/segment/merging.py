"""From clusters to segments: neighbouring clusters tied across their border about as well as
within merge, every connected piece becomes a segment, and specks join a neighbour."""

import math

import numpy as np
import scipy.sparse
from scipy.sparse.csgraph import connected_components

from .settings import Settings


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
    """Per cluster 0 .. count-1: the sum of the weights of the entries within it and their
    number. row_labels and column_labels are the clusters of each entry's two pixels, as
    for border_sums(); the caller leaves out the entries of a pixel with itself. Any share
    of a matrix's entries gives its share of the sums."""
    same = row_labels == column_labels
    total = np.bincount(row_labels[same], weights=values[same], minlength=count)
    number = np.bincount(row_labels[same], minlength=count)
    return total, number


def merge_coherent(
    pairs, total, number, inner_total, inner_number, count, limit=Settings.merge_above, min_number=0
):
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
    weights = weights.tocsr()
    rows = np.repeat(labels, np.diff(weights.indptr))
    columns = labels[weights.indices]
    pixel = np.repeat(np.arange(labels.size), np.diff(weights.indptr))
    off = pixel != weights.indices
    rows, columns, values = rows[off], columns[off], weights.data[off]
    inner_total, inner_number = coherence_sums(rows, columns, values, k)
    across = (rows != columns) & large[rows] & large[columns]
    pair = rows[across].astype(np.int64) * k + columns[across]
    if k * k <= 4 * pair.size:
        total = np.bincount(pair, weights=values[across], minlength=k * k)
        number = np.bincount(pair, minlength=k * k)
        pairs = np.flatnonzero(number)
        total, number = total[pairs], number[pairs]
    else:
        pairs, where = np.unique(pair, return_inverse=True)
        total = np.bincount(where, weights=values[across], minlength=pairs.size)
        number = np.bincount(where, minlength=pairs.size)
    root, count = merge_coherent(
        pairs, total, number, inner_total, inner_number, k, limit, min_number
    )
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
        (entries.data[across], (first[across], second[across])), shape=(count, count)
    )
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
