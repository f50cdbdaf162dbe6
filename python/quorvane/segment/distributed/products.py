"""Products of the distributed matrices with blocks of vectors, each block held by the
processes as their own rows of a numpy array: the weights' rows copied into scipy matrices
(LocalRows), the PETSc matrix itself (BlockProducts, for P), and the k x k products of two
blocks added up over the processes."""

import numpy as np
import scipy.sparse

from .libraries import MPI, PETSc

# Rows of the tall blocks that go through BLAS at a time: a few MB, kept in cache.
ROWS_AT_ONCE = 4096
# Rows of W read at a time as a scipy matrix (about 50 to 100 entries each).
SLAB_ROWS = 1 << 14


def local_inner(left, right):
    """left^T right of two tall C-order blocks, a few thousand rows at a time (much faster
    through the reference BLAS than one call over all rows)."""
    total = np.zeros((left.shape[1], right.shape[1]))
    for a in range(0, left.shape[0], ROWS_AT_ONCE):
        total += left[a : a + ROWS_AT_ONCE].T @ right[a : a + ROWS_AT_ONCE]
    return total


def local_turn(block, turn):
    """block @ turn of a tall C-order block, a few thousand rows at a time."""
    out = np.empty((block.shape[0], turn.shape[1]))
    for a in range(0, block.shape[0], ROWS_AT_ONCE):
        out[a : a + ROWS_AT_ONCE] = block[a : a + ROWS_AT_ONCE] @ turn
    return out


def inner(comm, left, right):
    """left^T right of two blocks over all their rows (every process gets it)."""
    part = local_inner(left, right)
    comm.Allreduce(MPI.IN_PLACE, part, op=MPI.SUM)
    return part


def row_slabs(w, rows_at_once=None):
    """This process's rows of a distributed AIJ matrix a few thousand at a time (a copy of
    all of them would hold as much as the matrix): (first row, CSR of the rows over all
    columns) each. Collective: every process takes as many steps (PETSc's submatrices
    travel between processes), the last ones of a process with fewer rows empty."""
    rows_at_once = rows_at_once or SLAB_ROWS
    start, stop = w.getOwnershipRange()
    n = w.getSize()[1]
    steps = w.getComm().tompi4py().allreduce(-(-(stop - start) // rows_at_once), op=MPI.MAX)
    every = PETSc.IS().createStride(n, 0, 1, comm=PETSc.COMM_SELF)
    for step in range(steps):
        a = min(start + step * rows_at_once, stop)
        b = min(a + rows_at_once, stop)
        rows = PETSc.IS().createStride(b - a, a, 1, comm=PETSc.COMM_SELF)
        (part,) = w.createSubMatrices(rows, every)
        indptr, indices, values = part.getValuesCSR()
        part.destroy()
        rows.destroy()
        if b > a:
            yield a, scipy.sparse.csr_matrix((values, indices, indptr), shape=(b - a, n))
    every.destroy()


class BlockProducts:
    """Products of a distributed matrix (the symmetric weights W, or P) with blocks of k
    vectors, each held by the processes as their own rows of a numpy array (the rows of
    the matrix's columns that PETSc gives this process), and the k x k products of two
    such blocks, added up over the processes."""

    def __init__(self, w):
        self.w = w
        self.comm = w.getComm().tompi4py()
        self.n = w.getSize()[1]
        self.products = 0
        self._block = self._result = None

    def times(self, vectors):
        """W V for this process's rows V: this process's rows of the product."""
        rows, k = vectors.shape
        if self._block is None or self._block.getSize()[1] != k:
            self.release()
            self._block = PETSc.Mat().createDense(
                ((rows, self.n), (None, k)), comm=self.w.getComm()
            )
            self._block.setUp()
        block = self._block.getDenseArray()
        for a in range(
            0, rows, ROWS_AT_ONCE
        ):  # into column order a few rows at a time: much faster
            block[a : a + ROWS_AT_ONCE] = vectors[a : a + ROWS_AT_ONCE]
        del block
        self._block.assemble()
        if self._result is None:
            self._result = self.w.matMult(self._block)
        else:
            self.w.matMult(self._block, result=self._result)
        self.products += k
        return np.ascontiguousarray(self._result.getDenseArray())

    def inner(self, left, right):
        """left^T right over all rows (every process gets it)."""
        return inner(self.comm, left, right)

    def release(self):
        for block in (self._block, self._result):
            if block is not None:
                block.destroy()
        self._block = self._result = None


class LocalRows:
    """This process's rows of a distributed AIJ matrix as two scipy CSR matrices, `own`
    over the columns of its own rows and `ghost` over the other processes' columns it has
    entries in (`ghosts`, sorted), and their products with blocks of vectors held by the
    processes as their own rows: the ghost rows a product needs come from their owners by
    one Alltoallv. Built a slab of rows at a time (collective), so that beside the matrix
    no more than its copy is held; scipy's products of a CSR matrix with a dense block
    are faster than PETSc's MatMatMult with a dense matrix, and scale with the processes."""

    def __init__(self, matrix):
        self.comm = matrix.getComm().tompi4py()
        self.start, self.stop = matrix.getOwnershipRange()
        self.n = matrix.getSize()[1]
        own, ghost = [], []
        for a, slab in row_slabs(matrix):
            inside = (slab.indices >= self.start) & (slab.indices < self.stop)
            running = np.concatenate(([0], np.cumsum(inside, dtype=np.int64)))
            counts = running[slab.indptr[1:]] - running[slab.indptr[:-1]]
            lengths = np.diff(slab.indptr)
            own.append(
                (counts, (slab.indices[inside] - self.start).astype(np.int32), slab.data[inside])
            )
            ghost.append(
                (lengths - counts, slab.indices[~inside].astype(np.int64), slab.data[~inside])
            )
            del slab, inside
        rows = self.stop - self.start
        self.own = self._csr(own, (rows, rows))
        del own
        columns = np.concatenate([part[1] for part in ghost]) if ghost else np.empty(0, np.int64)
        self.ghosts = np.unique(columns)
        ghost = [(c, np.searchsorted(self.ghosts, g).astype(np.int32), v) for c, g, v in ghost]
        self.ghost = self._csr(ghost, (rows, self.ghosts.size))
        del ghost, columns
        # Who owns each ghost row, and which of its rows each process asks this one for.
        size = self.comm.size
        starts = np.array([r[0] for r in self.comm.allgather((self.start, self.stop))] + [self.n])
        owner = np.searchsorted(starts, self.ghosts, side="right") - 1
        self.asked = np.bincount(owner, minlength=size).astype(np.int64)
        self.given = np.empty(size, dtype=np.int64)
        self.comm.Alltoall(self.asked, self.given)
        wanted = np.empty(int(self.given.sum()), dtype=np.int64)
        self.comm.Alltoallv((self.ghosts, self.asked), (wanted, self.given))
        self.send = wanted - self.start
        self.products = 0

    @staticmethod
    def _csr(parts, shape):
        counts = np.concatenate([p[0] for p in parts]) if parts else np.zeros(shape[0], int)
        indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
        indices = np.concatenate([p[1] for p in parts]) if parts else np.empty(0, np.int32)
        data = np.concatenate([p[2] for p in parts]) if parts else np.empty(0)
        return scipy.sparse.csr_matrix((data, indices, indptr), shape=shape)

    def exchange(self, vectors):
        """The ghost rows of a block of vectors (this process's rows), from their owners."""
        k = vectors.shape[1]
        out = np.empty((self.ghosts.size, k))
        send = np.ascontiguousarray(vectors[self.send])
        self.comm.Alltoallv((send, self.given * k), (out, self.asked * k))
        return out

    def times(self, vectors):
        """W V for this process's rows V: this process's rows of the product."""
        self.products += vectors.shape[1]
        result = self.own @ vectors
        if self.ghosts.size:
            result += self.ghost @ self.exchange(vectors)
        else:
            self.exchange(vectors)
        return result

    def inner(self, left, right):
        """left^T right over all rows (every process gets it)."""
        return inner(self.comm, left, right)

    def row(self, i):
        """Global row i (this process's) as (columns, values), columns in global numbers."""
        r = i - self.start
        own, ghost = slice(*self.own.indptr[r : r + 2]), slice(*self.ghost.indptr[r : r + 2])
        columns = np.concatenate(
            [self.own.indices[own] + self.start, self.ghosts[self.ghost.indices[ghost]]]
        )
        return columns, np.concatenate([self.own.data[own], self.ghost.data[ghost]])

    def release(self):
        pass
