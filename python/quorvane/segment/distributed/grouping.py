"""From the distributed embedding to the segments: k-means fitted on process 0 to the level-1
nodes' mean rows, every process labelling its own pixels, the merge's sums added up over the
processes' rows of W, and on process 0 the merge, the connected pieces and the specks, whose
rows of W are fetched from their owners."""

import numpy as np

from .. import grouping, merging
from .exchange import gather_array, gather_rows, wait_for_all
from .libraries import MPI
from .products import ROWS_AT_ONCE, SLAB_ROWS


def distributed_group(world, embedding, degrees, count, seed):
    """quorvane.segment.group over the processes: the level-1 nodes' degree-weighted
    mean unit rows added up from every process's pixels (an allreduce-sized sum per node,
    to process 0), weighted k-means of them on process 0 (quorvane.segment.kmeans), and every
    process gives its own pixels their nearest centre. Returns this process's labels."""
    rows = grouping.unit_rows(embedding.vectors)
    if embedding.aggregates is not None:
        coarse = world.bcast(
            None if embedding.coarse_degrees is None else embedding.coarse_degrees.size, root=0
        )
        sums = np.ascontiguousarray(
            grouping.sums_by(embedding.aggregates, rows * degrees[:, None], coarse)
        )
        total = np.empty_like(sums) if world.rank == 0 else None
        world.Reduce(sums, total, root=0)
        del sums
        fitted, weights = (
            (None, None)
            if world.rank != 0
            else (
                grouping.unit_rows(total / embedding.coarse_degrees[:, None]),
                embedding.coarse_degrees,
            )
        )
    else:
        fitted, weights = gather_array(world, rows), gather_array(world, degrees)
    centres = grouping.kmeans(fitted, weights, count, seed)[0] if world.rank == 0 else None
    wait_for_all(world)
    centres = world.bcast(centres, root=0)
    squares = np.einsum("ij,ij->i", centres, centres)
    labels = np.empty(rows.shape[0], dtype=np.int32)
    for a in range(0, rows.shape[0], ROWS_AT_ONCE):
        labels[a : a + ROWS_AT_ONCE] = np.argmin(
            squares[None, :] - 2 * rows[a : a + ROWS_AT_ONCE] @ centres.T, axis=1
        )
    return labels


def similarity_sums(rows, labels, count, large=None, rows_at_once=None):
    """This process's share of the sums of quorvane.segment.merge_similar over its
    own rows of the symmetric weights (a LocalRows), over the entries between two
    different pixels that hold a weight (scipy's sum, in one process, keeps no zeros): the
    border sums of every two clusters (flattened a * count + b; only between clusters that
    `large` marks, all when None), the coherence sums of every cluster, and the number of
    the entries."""
    large = np.ones(count, dtype=bool) if large is None else large
    rows_at_once = rows_at_once or SLAB_ROWS
    sums = [
        np.zeros(count * count),
        np.zeros(count * count, dtype=np.int64),
        np.zeros(count),
        np.zeros(count, dtype=np.int64),
        np.zeros(1, dtype=np.int64),
    ]
    parts = [(rows.own, lambda c: c + rows.start), (rows.ghost, lambda c: rows.ghosts[c])]
    for a in range(0, rows.stop - rows.start, rows_at_once):
        b = min(a + rows_at_once, rows.stop - rows.start)
        for part, global_columns in parts:
            slab = part[a:b]
            slab.eliminate_zeros()
            sums[4] += slab.nnz
            own = np.repeat(np.arange(rows.start + a, rows.start + b), np.diff(slab.indptr))
            columns = global_columns(slab.indices)
            off = own != columns
            row_labels, column_labels, values = (
                labels[own[off]],
                labels[columns[off]],
                slab.data[off],
            )
            keep = large[row_labels] & large[column_labels]
            border = merging.border_sums(row_labels[keep], column_labels[keep], values[keep], count)
            for i, share in enumerate(
                border + merging.coherence_sums(row_labels, column_labels, values, count)
            ):
                sums[i] += share
    return sums


def all_labels(world, mine, n):
    """Every pixel's label on every process, from each process's labels of its own."""
    labels = np.empty(n, dtype=np.int32)
    world.Allgatherv(mine, (labels, world.allgather(mine.size)))
    return labels


def merge_sums(world, rows, labels, count, min_area):
    """similarity_sums() over every process's rows, added up on process 0 (None
    elsewhere), the border sums only between clusters of min_area pixels or more."""
    large = np.bincount(labels, minlength=count) >= min_area
    return [
        world.reduce(part, op=MPI.SUM, root=0)
        for part in similarity_sums(rows, labels, count, large)
    ]


def merged_pieces(sums, labels, count, settings, shape):
    """On process 0, from merge_sums(): the clusters merged as merge_similar merges them,
    their connected pieces (the shape of the image), the merged count and the pieces'."""
    total, number, inner_total, inner_number, stored = sums
    pairs = np.flatnonzero(number)
    border = settings.min_border * int(stored[0]) / labels.size
    root, kept = merging.merge_coherent(
        pairs,
        total[pairs],
        number[pairs],
        inner_total,
        inner_number,
        count,
        settings.merge_above,
        border,
    )
    pieces, pieces_count = merging.connected_segments(root[labels].reshape(shape))
    return pieces, kept, pieces_count


def speck_rows(world, rows, pieces, count, min_area):
    """The rows of W of every pixel in a piece of fewer than min_area pixels (the pieces on
    process 0), fetched from their owners, in a CSR matrix on process 0."""
    specks = None
    if world.rank == 0:
        areas = np.bincount(pieces.ravel(), minlength=count)
        specks = np.flatnonzero(areas[pieces.ravel()] < min_area)
    wait_for_all(world)
    specks = world.bcast(specks, root=0)
    return gather_rows(world, rows, specks)
