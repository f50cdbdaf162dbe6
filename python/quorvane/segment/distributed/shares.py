"""How the weights' columns are shared out between the processes: whole chunks of the region
sums (regions.sum_chunks), so that the sums added up over the processes are the bits of one
process's. Imports without MPI."""

import numpy as np

import quorvane

from ..regions import sum_chunks

# Pattern columns made at once while counting the whole pattern's entries.
COUNTED_COLUMNS = 1 << 18


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
    chunks = sum_chunks(starts)
    begins = np.array([starts[first] for first, _ in chunks], dtype=np.int64)
    owner = begins * processes // max(int(starts[-1]), 1)
    return [chunk for chunk, o in zip(chunks, owner) if o == rank]
