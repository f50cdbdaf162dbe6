"""How the pixels and the disc pattern's columns are shared out between the processes."""

import numpy as np

# Weights are computed and inserted this many pattern entries at a time (12 bytes each while
# in flight), so that a process holds its share of the matrix and one such slice at most.
CHUNK_ENTRIES = 1 << 24


def pixel_range(count, comm):
    """[start, stop) of the pixels (rows of the distributed matrices) this process owns:
    PETSc's own split, count // size each and one more for the first count % size."""
    size, rank = comm.getSize(), comm.getRank()
    base, extra = divmod(count, size)
    start = rank * base + min(rank, extra)
    return start, start + base + (rank < extra)


def column_chunks(shape, radius, start, stop, entries=CHUNK_ENTRIES):
    """Consecutive column ranges covering [start, stop), each of at most about `entries`
    pattern entries (a disc holds at most (2 floor(radius) + 1)^2 pixels), at least one column."""
    disc = (2 * int(np.floor(radius)) + 1) ** 2 if radius < max(shape) else shape[0] * shape[1]
    step = max(1, entries // min(disc, shape[0] * shape[1]))
    return [(a, min(a + step, stop)) for a in range(start, stop, step)] or [(start, stop)]


def inside_counts(indices, indptr, start, stop):
    """Per column: its entries whose row lies in [start, stop), and those outside."""
    inside = np.concatenate(([0], np.cumsum((indices >= start) & (indices < stop), dtype=np.int64)))
    within = inside[indptr[1:]] - inside[indptr[:-1]]
    return within, np.diff(indptr).astype(np.int64) - within
