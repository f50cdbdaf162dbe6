"""From basins to segments, in the compiled core (quorvane._quorvane).

The basins (the catchment basins of the boundary strength) are the finest regions. Their
graph sums the weights of the pattern's pairs: between two regions a and b, the tie is the
sum of the weights of the pairs with one pixel in each and the count their number, so that
tie / count is the mean weight across their border; a region's own pairs give its inner
mean. The sums take the weights a chunk of columns at a time (sum_chunks) and add the
chunks up pairwise in their order, so that processes which share the chunks out get the
same bits as one process (merge_summed_regions and find_summed_segments of quorvane._quorvane).

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

Weights are quorvane's matrix over the pixels in C order (any scipy.sparse matrix; taken
as compressed columns); labels are integer arrays.
"""

import numpy as np

from .. import _quorvane
from .settings import HALF, Settings

# Passes of settle_borders: a border moves by a pixel at most per pass.
SETTLING_PASSES = 3


def _columns(weights):
    w = weights.tocsc()
    return w.data, w.indices, w.indptr


def basins(strength):
    """(labels, count): the catchment basins of the strength, labels 0 .. count-1 (int32,
    the strength's shape), by flooding from its regional minima."""
    return _quorvane.basins(np.ascontiguousarray(strength, dtype=np.float64))


def merge_regions(basins, count, weights, smallest=Settings.smallest, above=HALF, workers=-1):
    """Average linkage of the basins 0 .. count-1 (basins: the basin of every pixel) over
    the weights: (regions, merged_count, rounds), regions the merged region of each basin."""
    return _quorvane.merge_regions(
        basins, count, *_columns(weights), smallest, above, workers=workers
    )


def find_segments(merged, values, weights, smallest=Settings.smallest, workers=-1):
    """(segments, count) of merged labels (H x W) over the picture's values (H x W or
    H x W x C): whole segments, their borders settled on the values, whole segments again;
    numbered in the order of their first pixel."""
    return _quorvane.find_segments(
        merged, values, *_columns(weights), smallest, SETTLING_PASSES, workers=workers
    )


def whole_segments(labels, weights, smallest=Settings.smallest, workers=-1):
    """(segments, count): the 4-connected pieces of labels, each of fewer than the smallest
    pixels joined in rounds to the touching piece it is most tied to."""
    return _quorvane.whole_segments(labels, *_columns(weights), smallest, workers=workers)


def connected_segments(labels):
    """(pieces, count): the 4-connected pieces of a label image, numbered in the order of
    their first pixel."""
    return _quorvane.connected_segments(labels)


def settle_borders(segments, values, passes=SETTLING_PASSES):
    """The segments with every border pixel moved to the 4-neighbouring segment whose mean
    value is nearest its own, if nearer than its own segment's, for up to passes passes."""
    return _quorvane.settle_borders(
        segments, np.ascontiguousarray(values, dtype=np.float64), passes
    )


def sum_chunks(starts, entries=_quorvane.SUM_CHUNK_ENTRIES):
    """The column ranges (first, last) in which the region sums take a matrix of these
    column starts: about `entries` entries each, at least one column, in order."""
    return _quorvane.sum_chunks(np.asarray(starts), entries)
