"""How the weights' columns are shared out between the processes: whole chunks of the region
sums (the core's), so that the sums added up over the processes are the bits of one
process's; a process's share of the weights, the same bits as those columns of the whole
matrix; and the columns the pictures show, gathered on process 0. Imports without MPI."""

import numpy as np
import scipy.sparse

from ... import _quorvane

# Entries of a chunk of the region sums: the core's, which one process takes.
SUMS_CHUNK = _quorvane.SUM_CHUNK_ENTRIES


def chunks_of(rank, processes, shape, radius):
    """(chunks, first, total): the chunks of the region sums (first, last) that process
    `rank` of `processes` takes of the disc pattern's columns over an image of this shape,
    the number of the first of them and the number of all: consecutive ones, each process
    about an equal share of the entries (by where a chunk's entries begin). Some processes
    take none when there are fewer chunks than processes."""
    chunks, begins = _quorvane.disc_chunks(shape[0], shape[1], radius, SUMS_CHUNK)
    owner = begins[:-1] * processes // max(int(begins[-1]), 1)
    mine = [number for number, o in enumerate(owner) if o == rank]
    first = mine[0] if mine else 0
    return [chunks[number] for number in mine], first, len(chunks)


def share_of_weights(crests, basins, settings, columns):
    """Columns first .. last-1 (columns) of the segmentation's weights over the crests and
    basins (steps.Road's), in an n x n CSC matrix that holds only them: the same bits as
    those columns of the whole matrix. A share of fewer than all columns is weighed without
    the engine's edge tables, which would cover the whole image in every process (64 bytes
    a pixel): the same bits from its strength cache, a little slower."""
    n = crests.size
    first, last = columns
    arrays = _quorvane.disc_weights(
        crests,
        basins,
        settings.radius,
        settings.contrast,
        first,
        last,
        settings.workers,
        edge_tables=(first, last) == (0, n),
    )
    return scipy.sparse.csc_matrix(arrays, shape=(n, n))


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
