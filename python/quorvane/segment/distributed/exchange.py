"""What travels between the processes: matrices and arrays gathered on process 0, rows
scattered from it, and a barrier that waits asleep. Every function is collective."""

import time

import numpy as np
import scipy.sparse


def gather_csr(comm, matrix):
    """A distributed AIJ matrix as a scipy CSR matrix on process 0 (None elsewhere)."""
    indptr, indices, data = matrix.getValuesCSR()
    parts = comm.gather((indptr, indices, data), root=0)
    if comm.rank != 0:
        return None
    offsets = np.cumsum([0] + [part[0][-1] for part in parts])
    indptr = np.concatenate([[0]] + [part[0][1:] + offset for part, offset in zip(parts, offsets)])
    shape = matrix.getSize()
    return scipy.sparse.csr_matrix(
        (np.concatenate([p[2] for p in parts]), np.concatenate([p[1] for p in parts]), indptr),
        shape=shape,
    )


def gather_array(comm, local):
    """This process's rows of an array, all of them in order on process 0 (None elsewhere)."""
    parts = comm.gather(np.ascontiguousarray(local), root=0)
    return np.concatenate(parts) if comm.rank == 0 else None


def scatter_rows(comm, whole, counts):
    """The rows of an array held by process 0 (whole; None elsewhere) shared out in order,
    counts[r] rows to process r: this process's rows."""
    columns = comm.bcast(None if whole is None else whole.shape[1:], root=0)
    width = int(np.prod(columns))
    mine = np.empty((counts[comm.rank], *columns))
    sizes = [c * width for c in counts]
    send = None if comm.rank != 0 else (np.ascontiguousarray(whole, dtype=np.float64), sizes)
    comm.Scatterv(send, mine, root=0)
    return mine


def gather_rows(comm, w, rows):
    """The given rows of the distributed symmetric weights (a LocalRows), in an n x n CSR
    matrix on process 0 that holds only them (None elsewhere)."""
    start, stop = w.start, w.stop
    rows = np.asarray(rows, dtype=np.int64)
    mine = [(row, *w.row(int(row))) for row in rows[(rows >= start) & (rows < stop)]]
    every = comm.gather(mine, root=0)
    if comm.rank != 0:
        return None
    found = [entry for part in every for entry in part]
    n = w.n
    if not found:
        return scipy.sparse.csr_matrix((n, n))
    row_of = np.concatenate([np.full(columns.size, row) for row, columns, _ in found])
    columns = np.concatenate([columns for _, columns, _ in found])
    values = np.concatenate([values for _, _, values in found])
    return scipy.sparse.csr_matrix((values, (row_of, columns)), shape=(n, n))


def wait_for_all(comm, poll=0.005):
    """A barrier that waits asleep. MPI's own waits spin, and on a machine with more work
    than cores the processes that wait for process 0 (while it solves the coarse levels,
    fits the k-means or draws) would take their turns on a core from it."""
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
