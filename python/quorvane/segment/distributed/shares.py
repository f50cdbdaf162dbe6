"""How the weights' columns are shared out between the processes: whole chunks of the region
sums (regions.sum_chunks, the core's), so that the sums added up over the processes are the
bits of one process's; a process's share of the weights, the same bits as those columns of the whole
matrix; and the columns the pictures show, gathered on process 0. Imports without MPI."""

import numpy as np
import scipy.sparse

import quorvane

from ... import _quorvane
from ..regions import sum_chunks

# Pattern columns made at once while counting the whole pattern's entries.
COUNTED_COLUMNS = 1 << 18
# Entries of a chunk of the region sums: the core's, which one process takes.
SUMS_CHUNK = _quorvane.SUM_CHUNK_ENTRIES


def pattern_starts(shape, radius):
    """The column starts (int64, pixels + 1) of quorvane.disc_pattern(shape, radius), made a
    slice of columns at a time so that its indices are never held whole."""
    n = shape[0] * shape[1]
    counts = np.zeros(n + 1, dtype=np.int64)
    for a in range(0, n, COUNTED_COLUMNS):
        b = min(a + COUNTED_COLUMNS, n)
        counts[a + 1 : b + 1] = np.diff(quorvane.disc_pattern(shape, radius, columns=(a, b))[1])
    return np.cumsum(counts)


def chunks_of(rank, processes, starts):
    """The chunks of the region sums (first, last) that process `rank` of `processes` takes:
    consecutive ones, each process about an equal share of the entries (by where a chunk's
    entries begin). Some processes take none when there are fewer chunks than processes."""
    chunks = sum_chunks(starts, SUMS_CHUNK)
    begins = np.array([starts[first] for first, _ in chunks], dtype=np.int64)
    owner = begins * processes // max(int(starts[-1]), 1)
    return [chunk for chunk, o in zip(chunks, owner) if o == rank]


def share_of_weights(crests, phase, radius, sigma, columns, workers=-1):
    """Columns first .. last-1 (columns) of quorvane.weights(crests, phase,
    *disc_pattern(shape, radius), sigma) in an n x n CSC matrix that holds only them."""
    shape, n = crests.shape, crests.size
    first, last = columns
    if first == last:
        return scipy.sparse.csc_matrix((n, n))
    indices, indptr = quorvane.disc_pattern(shape, radius, columns=(first, last))
    # The whole image's column starts, empty outside the share.
    starts = np.zeros(n + 1, dtype=np.uint32)
    starts[first + 1 : last + 1] = indptr[1:]
    starts[last + 1 :] = indptr[-1]
    del indptr
    return quorvane.weights(crests, phase, indices, starts, sigma, workers=workers)


def gathered_columns(comm, weights, columns):
    """The given columns of the weights held by the processes (each its share of consecutive
    columns, CSC, in the order of the processes), in one n x n CSC matrix on process 0 that
    holds only them (None elsewhere); zeros stay stored, as in quorvane's."""
    starts = weights.indptr
    columns = np.unique(np.asarray(columns, dtype=np.int64))
    columns = columns[starts[columns + 1] > starts[columns]]
    spans = [np.arange(starts[c], starts[c + 1]) for c in columns]
    taken = np.concatenate(spans) if spans else np.zeros(0, dtype=np.int64)
    mine = (columns, np.diff(starts)[columns], weights.data[taken], weights.indices[taken])
    parts = comm.gather(mine, root=0)
    if parts is None:
        return None
    counts = np.zeros(weights.shape[1] + 1, dtype=np.int64)
    for owned, sizes, _, _ in parts:
        counts[owned + 1] = sizes
    data = np.concatenate([part[2] for part in parts])
    indices = np.concatenate([part[3] for part in parts])
    return scipy.sparse.csc_matrix((data, indices, np.cumsum(counts)), shape=weights.shape)
