"""From basins to segments: the regions' graph of quorvane weights and its merging.

The basins (the catchment basins of the boundary strength) are the finest regions. Their
graph sums the weights of the pattern's pairs: between two regions a and b, the tie is the
sum of the weights of the pairs with one pixel in each and the count their number, so that
tie / count is the mean weight across their border; a region's own pairs sit on the
diagonal. Both are held in one complex sparse matrix (tie + 1j count), so that they share
one sparsity pattern through every sum and product.

Merging is average linkage on that graph: in rounds, every two regions that are each
other's most tied neighbour (the largest mean weight, the lower number of equals) merge
while that mean is at least HALF of the lower of their own mean weights (a border is no
edge when the pairs across it are tied about half as well as the pairs within, which a
textured region's own edges lower); before that, each region of fewer than the smallest
pixels joins its most tied neighbour, whatever the tie. Mutual best pairs are the merges
greedy average linkage would make, many at once. Segments are then the 4-connected pieces
of the merged regions; a piece under the smallest size joins the touching piece it is most
tied to, so that every segment is one piece. Last, the borders settle on the picture's
values: a pixel on a border goes to the touching segment whose mean value is nearest its
own (a few passes), which puts the border of a drawing exactly on its step and that of a
blurred edge at its middle; the segments are then made whole again.
"""

from dataclasses import dataclass

import numpy as np
import scipy.sparse
from scipy.sparse.csgraph import connected_components

from .. import _quorvane
from .settings import HALF, Settings


def basins(strength):
    """(labels, count): the catchment basins of the strength, labels 0 .. count-1 (int32,
    the strength's shape), by flooding from its regional minima (the compiled core)."""
    return _quorvane.basins(np.ascontiguousarray(strength, dtype=np.float64))


def sums_over(weights):
    """The sums_of of whole_segments over weights held whole, in one process."""
    return lambda labels, count, among=None: region_sums(labels, weights, count, among)


# Entries summed at once: the sums' temporaries stay a few megabytes, and processes that
# share the weights out have many chunks to share.
SUMS_CHUNK = 1 << 18


def sum_chunks(starts):
    """The column ranges (first, last) in which region_sums takes a matrix of these column
    starts: about SUMS_CHUNK entries each, at least one column, in order."""
    chunks, first, columns = [], 0, starts.size - 1
    while first < columns:
        last = int(np.searchsorted(starts, starts[first] + SUMS_CHUNK, side="right")) - 1
        last = min(max(last, first + 1), columns)
        chunks.append((first, last))
        first = last
    return chunks


def chunk_sums(labels, weights, chunk, count, among=None):
    """region_sums over the columns first .. last-1 (chunk) of weights (CSC) alone."""
    first, last = chunk
    starts = weights.indptr
    span = slice(starts[first], starts[last])
    rows = labels[weights.indices[span]]
    columns = np.repeat(labels[first:last], np.diff(starts[first : last + 1]))
    data = weights.data[span]
    if among is not None:
        kept = among[rows] | among[columns]
        rows, columns, data = rows[kept], columns[kept], data[kept]
    return scipy.sparse.csr_matrix(
        (data + 1j, (rows, columns)), shape=(count, count), dtype=np.complex128
    )


def added_up(parts, count):
    """The chunks' sums added up pairwise, neighbours first (so that the same chunks give the
    same bits however they were shared out, in about log2 of their number rounds)."""
    parts = list(parts)
    if not parts:
        return scipy.sparse.csr_matrix((count, count), dtype=np.complex128)
    while len(parts) > 1:
        pairs = [parts[i] + parts[i + 1] for i in range(0, len(parts) - 1, 2)]
        parts = pairs + parts[len(parts) - len(parts) % 2 :]
    return parts[0].tocsr()


def region_sums(labels, weights, count, among=None):
    """tie + 1j count of the regions 0 .. count-1 (a complex CSR matrix, not symmetrised)
    over a part of the weight matrix: weights a scipy.sparse matrix whose rows and columns
    are pixels (labels: the region of every pixel), any share of the pattern's entries.
    With among (a boolean per region), only the pairs with a pixel in one of those. Taken
    a chunk of columns at a time (sum_chunks)."""
    weights = weights.tocsc()
    chunks = sum_chunks(weights.indptr)
    return added_up((chunk_sums(labels, weights, c, count, among) for c in chunks), count)


@dataclass
class RegionGraph:
    """The regions' sums (symmetric complex CSR: tie + 1j count) and areas in pixels."""

    sums: scipy.sparse.csr_matrix
    areas: np.ndarray

    @classmethod
    def of(cls, labels, count, sums):
        """The graph of regions 0 .. count-1 (labels: the region of every pixel) from all of
        region_sums, symmetrised: the two walks of a pair may round the line differently."""
        sums = ((sums + sums.T) * 0.5).tocsr()
        areas = np.bincount(np.asarray(labels).ravel(), minlength=count).astype(np.float64)
        return cls(sums, areas)

    def joined(self, link):
        """The graph after every region joins the one it links to (chains and pairs at
        once), and the new region of each old one."""
        n = link.size
        links = scipy.sparse.coo_matrix((np.ones(n), (np.arange(n), link)), shape=(n, n))
        count, joined = connected_components(links, directed=False)
        p = scipy.sparse.csr_matrix((np.ones(n), (np.arange(n), joined)), shape=(n, count))
        sums = (p.T @ self.sums @ p).tocsr()
        return RegionGraph(sums, np.bincount(joined, weights=self.areas, minlength=count)), joined

    def inner(self):
        """The mean weight of every region's own pairs (1 for a region without any)."""
        own = self.sums.diagonal()
        return np.where(own.imag > 0, own.real / np.maximum(own.imag, 1.0), 1.0)

    def most_tied(self):
        """(neighbour, mean) of every region: the other region with the largest mean weight
        across their border (the lower number of equals; -1 and -inf for one alone)."""
        sums = self.sums
        sums.sort_indices()
        n = sums.shape[0]
        rows = np.repeat(np.arange(n), np.diff(sums.indptr))
        others = sums.indices != rows
        rows, columns, data = rows[others], sums.indices[others], sums.data[others]
        mean = data.real / data.imag
        neighbour = np.full(n, -1, dtype=np.int64)
        best = np.full(n, -np.inf)
        order = np.lexsort((columns, -mean, rows))
        first = np.ones(order.size, dtype=bool)
        first[1:] = rows[order][1:] != rows[order][:-1]
        chosen = order[first]
        neighbour[rows[chosen]] = columns[chosen]
        best[rows[chosen]] = mean[chosen]
        return neighbour, best


def merge_regions(graph, smallest=Settings.smallest, above=HALF):
    """Average linkage (see the module's description) of the graph's regions: the merged
    region of every region (0 .. count-1), the merged graph and the rounds taken."""
    region = np.arange(graph.areas.size)
    rounds = 0
    while True:
        neighbour, mean = graph.most_tied()
        own = np.arange(neighbour.size)
        small = (graph.areas < smallest) & (neighbour >= 0)
        if small.any():
            link = np.where(small, neighbour, own)
        else:
            inner = graph.inner()
            bar = above * np.minimum(inner, inner[np.maximum(neighbour, 0)])
            mutual = (neighbour >= 0) & (mean >= bar)
            mutual &= neighbour[np.maximum(neighbour, 0)] == own
            if not mutual.any():
                break
            link = np.where(mutual, neighbour, own)
        graph, joined = graph.joined(link)
        region = joined[region]
        rounds += 1
    return region, graph, rounds


def connected_segments(labels):
    """Each label's region of a 2-D label image split into its 4-connected pieces: the
    piece of every pixel (0 .. count-1, in the order of their first pixel) and count."""
    h, w = labels.shape
    ids = np.arange(h * w).reshape(h, w)
    down = labels[:-1, :] == labels[1:, :]
    right = labels[:, :-1] == labels[:, 1:]
    first = np.concatenate([ids[:-1, :][down], ids[:, :-1][right]])
    second = np.concatenate([ids[1:, :][down], ids[:, 1:][right]])
    graph = scipy.sparse.coo_matrix((np.ones(first.size), (first, second)), shape=(h * w, h * w))
    count, pieces = connected_components(graph, directed=False)
    return pieces.reshape(h, w).astype(np.int64), count


def touching(labels, count):
    """Which labels touch (4-neighbours), as a 0/1 sparse count x count matrix."""
    a = np.concatenate([labels[:-1, :].ravel(), labels[:, :-1].ravel()])
    b = np.concatenate([labels[1:, :].ravel(), labels[:, 1:].ravel()])
    differ = a != b
    a, b = a[differ], b[differ]
    touch = scipy.sparse.csr_matrix(
        (np.ones(2 * a.size), (np.concatenate([a, b]), np.concatenate([b, a]))),
        shape=(count, count),
    )
    touch.data[:] = 1.0
    return touch


def whole_segments(labels, sums_of, smallest=Settings.smallest):
    """The segments of merged labels (a 2-D image of regions): their 4-connected pieces,
    each piece of fewer than the smallest pixels joined to the touching piece it is most
    tied to, in rounds. sums_of(pieces, count, among) gives the region_sums of pieces
    0 .. count-1 (pieces: the piece of every pixel, flat) over all of the weights (the
    weights of one process, or added up over many), for the pairs that touch the pieces
    among says (the small ones). Returns (segments, count), numbered in the order of their
    first pixel."""
    pieces, count = connected_segments(labels)
    areas = np.bincount(pieces.ravel(), minlength=count)
    small = areas < smallest
    if count == 1 or not small.any():
        return pieces, count
    graph = RegionGraph.of(pieces, count, sums_of(pieces.ravel(), count, small))
    # Only touching pieces may join, so that every segment stays one piece.
    touch = touching(pieces, count) + scipy.sparse.identity(count, format="csr")
    graph = RegionGraph(graph.sums.multiply(touch).tocsr(), graph.areas)
    region = np.arange(count)
    while True:
        neighbour, _ = graph.most_tied()
        small = (graph.areas < smallest) & (neighbour >= 0)
        if not small.any():
            break
        link = np.where(small, neighbour, np.arange(neighbour.size))
        graph, joined = graph.joined(link)
        region = joined[region]
    return connected_segments(region[pieces])


# Passes of settle_borders: a border moves by a pixel at most per pass.
SETTLING_PASSES = 3


def settle_borders(segments, values, passes=SETTLING_PASSES):
    """The segments (a 2-D label image) with every border pixel moved to the 4-neighbouring
    segment whose mean value (over the picture's channels: values, H x W or H x W x C) is
    nearest its own, if nearer than its own segment's; the means are those before each
    pass. Stops early when nothing moves."""
    channels = values if values.ndim == 3 else values[:, :, None]
    segments = segments.copy()
    h, w = segments.shape
    for _ in range(passes):
        count = int(segments.max()) + 1
        flat = segments.ravel()
        areas = np.maximum(np.bincount(flat, minlength=count), 1)
        means = np.stack(
            [
                np.bincount(flat, channels[:, :, c].ravel(), minlength=count) / areas
                for c in range(channels.shape[2])
            ],
            axis=-1,
        )
        best = segments.copy()
        nearest = ((channels - means[segments]) ** 2).sum(axis=-1)
        padded = np.pad(segments, 1, mode="edge")
        for dy, dx in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            other = padded[1 + dy : h + 1 + dy, 1 + dx : w + 1 + dx]
            distance = ((channels - means[other]) ** 2).sum(axis=-1)
            closer = (other != segments) & (distance < nearest)
            best[closer] = other[closer]
            nearest[closer] = distance[closer]
        if (best == segments).all():
            break
        segments = best
    return segments
