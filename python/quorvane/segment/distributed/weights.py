"""A process's share of quorvane's weights: the pattern columns of its chunks (shares), as an
n x n CSC matrix whose other columns are empty, the same bits as those columns of the whole
matrix; and the columns the pictures show, gathered on process 0."""

import numpy as np
import scipy.sparse

import quorvane


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
