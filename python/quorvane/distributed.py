"""Normalised-cut segmentation of a photograph across MPI processes, with PETSc.

    mpirun -n P python3 -m quorvane.distributed IMAGE [OUTDIR]

The steps of quorvane.segmentation.segment (python3 -m quorvane.demo), with the weight
matrix, the finest level of the multilevel eigensolve and the grouping's sums spread over
the processes (any P >= 1; without mpirun it runs as one process). The photograph is taken
whole unless --shrink says otherwise. Every process reads it and computes its edges (the
same everywhere), then the disc-pattern columns of the pixels it owns, their weights with
quorvane.weights, and its rows of one distributed PETSc matrix; no process ever holds the
whole matrix. The symmetric weights W and the degrees D stay distributed. The multilevel
eigensolve (quorvane.multilevel) decides every pixel's link from its own row where it
lies; process 0 makes the aggregates from the links alone, the aggregation's P is a
distributed matrix and W_1 = P^T W P comes from PETSc's MatPtAP. Level 1 and the coarser
ones are solved on process 0 by quorvane.multilevel's own code; the vectors come back up
through P and are refined on the pixels by distributed block products, the k x k
Rayleigh-Ritz matrices added up over the processes. k-means is fitted on process 0 to the
level-1 nodes' mean rows, and every process labels its own pixels; the merge's sums are
added up over the processes' rows; process 0 finds the segments and draws the pictures.

A run that would not fit the memory of a machine is refused before it starts, with the
figures (see check_memory); long steps report their progress from process 0.

Needs mpi4py and petsc4py (Debian: python3-mpi4py, python3-petsc4py, openmpi-bin, and
libpetsc-real-dev, whose alternative makes petsc4py importable), besides the demo's packages.
"""

import dataclasses
import resource
import sys
import time
from pathlib import Path

import numpy as np
import scipy.sparse

from . import disc_pattern, weights

MISSING = (
    "quorvane.distributed: {error}. It needs mpi4py and petsc4py besides the demo's packages: "
    "apt-get install python3-mpi4py python3-petsc4py openmpi-bin libpetsc-real-dev"
)

# Weights are computed and inserted this many pattern entries at a time (12 bytes each while
# in flight), so that a process holds its share of the matrix and one such slice at most.
CHUNK_ENTRIES = 1 << 24


def _libraries():
    """mpi4py's MPI and PETSc, initialised (MPI first: PETSc then runs on it). Open MPI is
    asked to yield the core while it waits, unless the environment says otherwise: the
    run shares its machine with other work more often than not, and a process that spins
    in a wait takes turns on a core from the one it waits for."""
    import os

    os.environ.setdefault("OMPI_MCA_mpi_yield_when_idle", "1")
    from mpi4py import MPI
    import petsc4py

    petsc4py.init([])
    from petsc4py import PETSc

    return MPI, PETSc


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


def _inside_counts(indices, indptr, start, stop):
    """Per column: its entries whose row lies in [start, stop), and those outside."""
    inside = np.concatenate(([0], np.cumsum((indices >= start) & (indices < stop), dtype=np.int64)))
    within = inside[indptr[1:]] - inside[indptr[:-1]]
    return within, np.diff(indptr).astype(np.int64) - within


@dataclasses.dataclass
class PhaseTimes:
    """Seconds this process spent in each part of the weight matrix's construction."""

    pattern: float = 0.0
    weights: float = 0.0
    assembly: float = 0.0


def transposed_weights(PETSc, comm, magnitude, phase, radius, sigma, workers=1, times=None, entries=CHUNK_ENTRIES):
    """The transposed weight matrix of the disc pattern of the given radius, as a PETSc
    MPIAIJ matrix over comm: its row j is column j of quorvane.weights(magnitude, phase,
    *disc_pattern(shape, radius), sigma), the same bits in every stored entry (NaN kept).

    Each process computes only the pattern columns of the rows it owns, in slices of about
    `entries` entries, and inserts them into its own rows, preallocated from the pattern's
    counts: nothing travels between processes. times (a PhaseTimes) collects this process's
    seconds for the pattern, the weights and the insertion."""
    times = times if times is not None else PhaseTimes()
    shape = magnitude.shape
    n = magnitude.size
    start, stop = pixel_range(n, comm)
    chunks = column_chunks(shape, radius, start, stop, entries)

    clock = time.perf_counter()
    within = np.empty(stop - start, dtype=PETSc.IntType)
    outside = np.empty(stop - start, dtype=PETSc.IntType)
    for a, b in chunks:
        indices, indptr = disc_pattern(shape, radius, columns=(a, b))
        within[a - start : b - start], outside[a - start : b - start] = _inside_counts(indices, indptr, start, stop)
        del indices, indptr
    times.pattern += time.perf_counter() - clock

    clock = time.perf_counter()
    matrix = PETSc.Mat().create(comm=comm)
    matrix.setSizes(((stop - start, n), (stop - start, n)))
    matrix.setType(PETSc.Mat.Type.AIJ)
    matrix.setPreallocationNNZ((within, outside))
    # Every row is set by its owner, and exactly where the counts said.
    matrix.setOption(PETSc.Mat.Option.NO_OFF_PROC_ENTRIES, True)
    matrix.setOption(PETSc.Mat.Option.NEW_NONZERO_ALLOCATION_ERR, True)
    del within, outside
    starts = np.zeros(n + 1, dtype=np.uint32)  # the whole image's column starts, one slice filled
    times.assembly += time.perf_counter() - clock

    for a, b in chunks:
        clock = time.perf_counter()
        indices, indptr = disc_pattern(shape, radius, columns=(a, b))
        starts[: a + 1] = 0
        starts[a + 1 : b + 1] = indptr[1:]
        starts[b + 1 :] = indptr[-1]
        del indptr
        now = time.perf_counter()
        times.pattern += now - clock
        part = weights(magnitude, phase, indices, starts, sigma, workers=workers)
        del indices
        clock = time.perf_counter()
        times.weights += clock - now
        rows = part.indptr[a : b + 1]
        matrix.setValuesIJV(
            rows - rows[0],
            part.indices.astype(PETSc.IntType, copy=False),
            part.data,
            rowmap=np.arange(a, b, dtype=PETSc.IntType),
        )
        del part, rows
        times.assembly += time.perf_counter() - clock

    clock = time.perf_counter()
    matrix.assemble()
    times.assembly += time.perf_counter() - clock
    return matrix


def symmetric(PETSc, matrix, same_pattern=True):
    """(W + W^T) / 2 of the weight matrix W or its transpose, in place, with NaN (sigma 0
    and no edge crossed) taken as 1, as quorvane.segmentation.symmetric does; returns it.

    same_pattern says that the matrix's entries are where its transpose's are (true of
    every disc pattern), which lets the sum add the two arrays entry by entry."""
    if np.isnan(matrix.norm(PETSc.NormType.FROBENIUS)):
        indptr, indices, data = matrix.getValuesCSR()
        data[np.isnan(data)] = 1.0
        matrix.setValuesCSR(indptr, indices, data)
        del indptr, indices, data
        matrix.assemble()
    transposed = matrix.transpose(PETSc.Mat())  # a new matrix: transpose() alone works in place
    structure = PETSc.Mat.Structure.SAME if same_pattern else PETSc.Mat.Structure.DIFFERENT
    matrix.axpy(1.0, transposed, structure)
    transposed.destroy()
    matrix.scale(0.5)
    return matrix


def degrees_of(w):
    """The row sums D of the symmetric weights, distributed as its rows. Every pixel needs
    a positive weight to some pixel (its own, at least): ValueError otherwise."""
    ones, degrees = w.createVecs()
    ones.set(1.0)
    w.mult(ones, degrees)
    ones.destroy()
    smallest = degrees.min()[1]
    if not smallest > 0:
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    return degrees


class BlockProducts:
    """Products of a distributed matrix (the symmetric weights W, or P) with blocks of k
    vectors, each held by the processes as their own rows of a numpy array (the rows of
    the matrix's columns that PETSc gives this process), and the k x k products of two
    such blocks, added up over the processes."""

    def __init__(self, PETSc, w):
        self.PETSc, self.w = PETSc, w
        self.comm = w.getComm().tompi4py()
        self.n = w.getSize()[1]
        self.products = 0
        self._block = self._result = None

    def times(self, vectors):
        """W V for this process's rows V: this process's rows of the product."""
        rows, k = vectors.shape
        if self._block is None or self._block.getSize()[1] != k:
            self.release()
            self._block = self.PETSc.Mat().createDense(((rows, self.n), (None, k)), comm=self.w.getComm())
            self._block.setUp()
        block = self._block.getDenseArray()
        for a in range(0, rows, ROWS_AT_ONCE):  # into column order a few rows at a time: much faster
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
        part = local_inner(left, right)
        self.comm.Allreduce(self._mpi().IN_PLACE, part, op=self._mpi().SUM)
        return part

    @staticmethod
    def _mpi():
        from mpi4py import MPI

        return MPI

    def release(self):
        for block in (self._block, self._result):
            if block is not None:
                block.destroy()
        self._block = self._result = None


def prolongator(PETSc, comm, aggregates, coarse_count, values=None):
    """The aggregation's n x coarse_count MPIAIJ matrix P: row i (this process's rows, in
    order) holds values[i] (1 unless given) in column aggregates[i]. Its columns, the
    coarse nodes, are shared out as pixel_range shares rows."""
    rows = aggregates.size
    n = comm.tompi4py().allreduce(rows)
    start, stop = pixel_range(coarse_count, comm)
    inside = (aggregates >= start) & (aggregates < stop)
    values = np.ones(rows) if values is None else np.asarray(values, dtype=np.float64)
    matrix = PETSc.Mat().createAIJ(
        ((rows, n), (stop - start, coarse_count)),
        nnz=(inside.astype(PETSc.IntType), (~inside).astype(PETSc.IntType)),
        comm=comm,
    )
    matrix.setValuesCSR(np.arange(rows + 1, dtype=PETSc.IntType), aggregates.astype(PETSc.IntType), values)
    matrix.assemble()
    return matrix


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
        (np.concatenate([p[2] for p in parts]), np.concatenate([p[1] for p in parts]), indptr), shape=shape
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


def peak_memory():
    """This process's peak resident memory so far, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class Report:
    """Times the phases across the processes (each phase ends when the last process ends
    it) and notes every process's peak resident memory at the end of each and its CPU
    seconds in each (on a busy machine the wall clock alone hides how the work is shared);
    process 0 prints them."""

    def __init__(self, comm, say):
        self.comm, self.say = comm, say
        wait_for_all(self.comm)
        self.start = self.last = time.perf_counter()
        self.cpu_start = self.cpu = time.process_time()
        self.rows = []

    def step(self, what, local_seconds=None):
        """Ends a phase. local_seconds (a dict) splits it into parts timed on each process:
        their largest over the processes is printed beside the phase."""
        wait_for_all(self.comm)
        now = time.perf_counter()
        peaks = self.comm.gather(peak_memory(), root=0)
        cpu = time.process_time()
        cpus = self.comm.gather(cpu - self.cpu, root=0)
        self.cpu = cpu
        parts = {}
        for name, seconds in (local_seconds or {}).items():
            parts[name] = self.comm.allreduce(seconds, op=_max())
        if self.comm.rank == 0:
            detail = "".join(f", {name} {seconds:.2f} s" for name, seconds in parts.items())
            highest = max(peaks) / 2**20
            self.say(f"{now - self.last:7.2f} s  {what}{detail}  [peak memory per process up to {highest:.0f} MiB]")
            self.rows.append((what, now - self.last, parts, peaks, cpus))
        self.last = now

    def total(self):
        wait_for_all(self.comm)
        peaks = self.comm.gather(peak_memory(), root=0)
        cpus = self.comm.gather(time.process_time() - self.cpu_start, root=0)
        if self.comm.rank == 0:
            self.say(f"{time.perf_counter() - self.start:7.2f} s  total")
            self.say("peak resident memory per process: " + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks)
                     + "; CPU time per process: " + ", ".join(f"{c:.1f} s" for c in cpus))


def _max():
    from mpi4py import MPI

    return MPI.MAX


class Progress:
    """Reports a long step's progress through say (process 0's print): how far it has
    come and an estimate of the seconds left, at most every `every` seconds."""

    def __init__(self, say, what, total, every=5.0):
        self.say, self.what, self.total, self.every = say, what, total, every
        self.start = self.last = time.perf_counter()

    def done(self, count, detail=""):
        now = time.perf_counter()
        if now - self.last < self.every or count >= self.total:
            return
        self.last = now
        left = (now - self.start) / max(count, 1e-9) * (self.total - count)
        self.say(f"          {self.what}: {count} of {self.total}{detail}, about {left:.0f} s left")


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


def ritz(products, degrees, vectors):
    """Ritz values (descending) and D-orthonormal Ritz vectors of (W, D) on the span of
    the block (multilevel.rayleigh_ritz over the processes' rows: the k x k matrices
    X^T W X and X^T D X added up by allreduce). products is W's LocalRows."""
    image = products.times(vectors)
    a = products.inner(vectors, image)
    del image
    b = products.inner(vectors, degrees[:, None] * vectors)
    a, b = (a + a.T) * 0.5, (b + b.T) * 0.5
    # Directions (nearly) dependent on the others are dropped before the generalised problem.
    spread, basis = np.linalg.eigh(b)
    keep = spread > spread[-1] * 1e-12
    basis = basis[:, keep] / np.sqrt(spread[keep])
    values, turn = np.linalg.eigh(basis.T @ a @ basis)
    return values[::-1], local_turn(vectors, basis @ turn[:, ::-1])


def refine(products, degrees, vectors, sweeps, progress=None):
    """multilevel.refine over the processes' rows: `sweeps` times X <- (X + D^-1 W X) / 2
    by distributed block products, then the Rayleigh-Ritz step."""
    for sweep in range(sweeps):
        image = products.times(vectors)
        for a in range(0, vectors.shape[0], ROWS_AT_ONCE):
            part = slice(a, a + ROWS_AT_ONCE)
            vectors[part] = 0.5 * (vectors[part] + image[part] / degrees[part, None])
        del image
        if progress:
            progress.done(sweep + 1, " sweeps")
    return ritz(products, degrees, vectors)


def coarse_levels(weights, degrees, positions, step, count, say=None):
    """multilevel.leading_subspace of a graph that is itself a level of the hierarchy, with
    its seeds' lattice step (level 1: twice multilevel.LATTICE), for count vectors (the
    guard included); it gets the sweeps of level 1, the levels below it those of the coarse
    ones. Returns the Ritz values and vectors and the number of levels."""
    from . import multilevel as ml

    levels = ml.hierarchy(weights, degrees, positions, say=say, step=step)
    last = levels[-1]
    values, vectors = ml.coarsest_eigenvectors(last.weights, last.degrees, min(count, last.weights.shape[0] - 1))
    for depth in range(len(levels) - 2, -1, -1):
        level = levels[depth]
        sweeps = ml.SWEEPS_FINE if depth == 0 else ml.SWEEPS_COARSE
        values, vectors = ml.refine(level.weights, level.degrees, vectors[level.aggregates], sweeps)
    return values, vectors, len(levels)


def row_slabs(w, rows_at_once=None):
    """This process's rows of a distributed AIJ matrix a few thousand at a time (a copy of
    all of them would hold as much as the matrix): (first row, CSR of the rows over all
    columns) each. Collective: every process takes as many steps (PETSc's submatrices
    travel between processes), the last ones of a process with fewer rows empty."""
    from petsc4py import PETSc

    rows_at_once = rows_at_once or SLAB_ROWS
    start, stop = w.getOwnershipRange()
    n = w.getSize()[1]
    steps = w.getComm().tompi4py().allreduce(-(-(stop - start) // rows_at_once), op=_max())
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
            own.append((counts, (slab.indices[inside] - self.start).astype(np.int32), slab.data[inside]))
            ghost.append((lengths - counts, slab.indices[~inside].astype(np.int64), slab.data[~inside]))
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
        from mpi4py import MPI

        part = local_inner(left, right)
        self.comm.Allreduce(MPI.IN_PLACE, part, op=MPI.SUM)
        return part

    def row(self, i):
        """Global row i (this process's) as (columns, values), columns in global numbers."""
        r = i - self.start
        own, ghost = slice(*self.own.indptr[r : r + 2]), slice(*self.ghost.indptr[r : r + 2])
        columns = np.concatenate([self.own.indices[own] + self.start, self.ghosts[self.ghost.indices[ghost]]])
        return columns, np.concatenate([self.own.data[own], self.ghost.data[ghost]])

    def release(self):
        pass


@dataclasses.dataclass
class Embedding:
    """What distributed_embedding() found: the Ritz values (descending), this process's
    rows of the embedding (D-orthonormal Ritz vectors), this process's pixels' aggregates
    on level 1 (None without one), level 1's degrees on process 0, this process's rows of
    W (LocalRows), and what it took."""

    values: np.ndarray
    vectors: np.ndarray
    aggregates: np.ndarray
    coarse_degrees: np.ndarray
    rows: LocalRows
    work: dict
    seconds: dict


def distributed_embedding(PETSc, w, degrees, shape, count, say=lambda text: None, progress_every=5.0):
    """quorvane.multilevel's leading eigenvectors of (W, D) for the distributed symmetric
    weights W of an image of this shape and their degrees (a PETSc vector), with the same
    guard vectors. The pixels decide their links from their own rows where they lie, and
    only the links (an integer a pixel) travel to process 0, which makes the aggregates
    and sends every process those of its pixels; the aggregation's P is a distributed
    matrix and W_1 = P^T W P comes from MatPtAP. Level 1 and those below are gathered and
    solved on process 0, and the vectors come back through P and are refined by
    distributed block products. W's rows are copied into a LocalRows first, and the PETSc
    matrix w is destroyed once W_1 is made (two copies would double the memory the
    refinement needs). Returns an Embedding."""
    from . import multilevel as ml

    world = w.getComm().tompi4py()
    seconds = {}
    clock = time.perf_counter()
    start, stop = w.getOwnershipRange()
    n = w.getSize()[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    wanted = count + ml.guard(count)
    d = degrees.getArray(readonly=True).copy()
    rows = LocalRows(w)
    positions = ml.pixel_positions(shape)
    progress = Progress(say, "links of level 0", -(-(stop - start) // SLAB_ROWS), progress_every)
    mine = []
    seed = ml.seeds(positions, ml.LATTICE)
    for a, slab in row_slabs(w):
        mine.append(ml.rows_links(slab, positions, ml.LATTICE, first=a, seed=seed))
        progress.done(len(mine), " slabs of rows")
    mine = np.concatenate(mine).astype(np.int64) if mine else np.empty(0, dtype=np.int64)
    links = gather_array(world, mine)
    all_degrees = gather_array(world, d)
    del mine
    coarse_count = aggregate = representative = None
    if world.rank == 0:
        aggregate, coarse_count, representative = ml.aggregation(links)
    del links
    wait_for_all(world)
    coarse_count = world.bcast(coarse_count, root=0)
    seconds["aggregation"] = -clock + (clock := time.perf_counter())
    if n <= ml.COARSEST or coarse_count > ml.STALL * n:
        # Nothing to coarsen: the whole graph on process 0.
        whole = gather_csr(world, w)
        w.destroy()
        values = vectors = None
        if world.rank == 0:
            values, vectors, _ = ml.leading_subspace(whole, all_degrees, positions, count)
        wait_for_all(world)
        values = world.bcast(values, root=0)
        vectors = scatter_rows(world, vectors, world.allgather(stop - start))
        seconds["coarse levels"] = time.perf_counter() - clock
        work = {"coarse": n, "coarse entries": 0, "levels": 1, "products": 0}
        return Embedding(values, vectors, None, None, rows, work, seconds)
    sizes = world.allgather(stop - start)
    mine = np.empty(stop - start, dtype=np.int64)
    world.Scatterv(None if aggregate is None else (aggregate, sizes), mine, root=0)
    p = prolongator(PETSc, w.getComm(), mine, coarse_count)
    wc = w.ptap(p)
    entries = int(wc.getInfo(PETSc.Mat.InfoType.GLOBAL_SUM)["nz_used"])
    local = gather_csr(world, wc)
    wc.destroy()
    w.destroy()
    seconds["coarsening"] = -clock + (clock := time.perf_counter())
    values = vectors = depth = coarse_degrees = None
    if world.rank == 0:
        coarse_degrees = np.bincount(aggregate, weights=all_degrees, minlength=coarse_count)
        values, vectors, depth = coarse_levels(
            local, coarse_degrees, positions[representative], 2 * ml.LATTICE, wanted,
            lambda text: say(f"          {text}"),
        )
    del local, all_degrees, aggregate, representative, positions
    wait_for_all(world)
    depth = world.bcast(depth, root=0)
    counts = world.allgather(p.getOwnershipRangeColumn()[1] - p.getOwnershipRangeColumn()[0])
    vectors = scatter_rows(world, vectors, counts)
    seconds["coarse levels"] = -clock + (clock := time.perf_counter())
    interpolate = BlockProducts(PETSc, p)
    vectors = interpolate.times(vectors)
    interpolate.release()
    p.destroy()
    progress = Progress(say, "refinement of level 0", ml.SWEEPS_FINE, progress_every)
    values, vectors = refine(rows, d, vectors, ml.SWEEPS_FINE, progress)
    seconds["refinement"] = time.perf_counter() - clock
    work = {"coarse": coarse_count, "coarse entries": entries, "levels": depth + 1, "products": rows.products}
    vectors = np.ascontiguousarray(vectors[:, :count])
    return Embedding(values[:count], vectors, mine, coarse_degrees, rows, work, seconds)


def distributed_group(world, embedding, degrees, count, seed):
    """quorvane.segmentation.group over the processes: the level-1 nodes' degree-weighted
    mean unit rows added up from every process's pixels (an allreduce-sized sum per node,
    to process 0), weighted k-means of them on process 0 (segmentation.kmeans), and every
    process gives its own pixels their nearest centre. Returns this process's labels."""
    from . import segmentation as seg

    rows = seg.unit_rows(embedding.vectors)
    if embedding.aggregates is not None:
        coarse = world.bcast(None if embedding.coarse_degrees is None else embedding.coarse_degrees.size, root=0)
        sums = np.ascontiguousarray(seg._sums_by(embedding.aggregates, rows * degrees[:, None], coarse))
        total = np.empty_like(sums) if world.rank == 0 else None
        world.Reduce(sums, total, root=0)
        del sums
        fitted, weights = (None, None) if world.rank != 0 else (
            seg.unit_rows(total / embedding.coarse_degrees[:, None]), embedding.coarse_degrees)
    else:
        fitted, weights = gather_array(world, rows), gather_array(world, degrees)
    centres = seg.kmeans(fitted, weights, count, seed)[0] if world.rank == 0 else None
    wait_for_all(world)
    centres = world.bcast(centres, root=0)
    squares = np.einsum("ij,ij->i", centres, centres)
    labels = np.empty(rows.shape[0], dtype=np.int32)
    for a in range(0, rows.shape[0], ROWS_AT_ONCE):
        labels[a : a + ROWS_AT_ONCE] = np.argmin(squares[None, :] - 2 * rows[a : a + ROWS_AT_ONCE] @ centres.T, axis=1)
    return labels


def similarity_sums(rows, labels, count, large=None, rows_at_once=None):
    """This process's share of the sums of quorvane.segmentation.merge_similar over its
    own rows of the symmetric weights (a LocalRows), over the entries between two
    different pixels that hold a weight (scipy's sum, in one process, keeps no zeros): the
    border sums of every two clusters (flattened a * count + b; only between clusters that
    `large` marks, all when None), the coherence sums of every cluster, and the number of
    the entries."""
    from . import segmentation as seg

    large = np.ones(count, dtype=bool) if large is None else large
    rows_at_once = rows_at_once or SLAB_ROWS
    sums = [np.zeros(count * count), np.zeros(count * count, dtype=np.int64), np.zeros(count),
            np.zeros(count, dtype=np.int64), np.zeros(1, dtype=np.int64)]
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
            row_labels, column_labels, values = labels[own[off]], labels[columns[off]], slab.data[off]
            keep = large[row_labels] & large[column_labels]
            border = seg.border_sums(row_labels[keep], column_labels[keep], values[keep], count)
            for i, share in enumerate(border + seg.coherence_sums(row_labels, column_labels, values, count)):
                sums[i] += share
    return sums


def pattern_entries(shape, radius):
    """The number of pixel pairs of the disc pattern of an image of this shape: for every
    offset within radius, the pixels whose partner at that offset lies in the image."""
    h, w = shape
    reach = int(min(np.floor(radius), max(h, w)))
    offsets = np.arange(-reach, reach + 1)
    dy, dx = np.meshgrid(offsets, offsets, indexing="ij")
    inside = dy * dy + dx * dx <= radius * radius
    overlap = np.clip(h - np.abs(dy), 0, None) * np.clip(w - np.abs(dx), 0, None)
    return int(np.sum(overlap[inside], dtype=np.int64))


# Resident memory of an interpreter with numpy, scipy, PETSc and MPI loaded.
BASE_BYTES = 160 << 20


def memory_estimate(pixels, entries, processes, eigenvectors, rank):
    """Bytes process `rank` of `processes` needs for an image of this many pixels and
    pattern entries: its share of W twice (12 bytes an entry; making W symmetric holds its
    transpose beside it), or once with a slice in flight; about 150 bytes a pixel of the
    whole image (the image, its edges, quorvane's edge tables, the pixels' positions and
    links); four blocks of `eigenvectors` columns (the guard included) of its own pixels
    during the refinement; and on process 0 W_1 and the coarser levels, the level-1 sums,
    all pixels' labels and segments."""
    share = entries / processes
    rows = pixels / processes
    matrix = max(24 * share, 12 * share + 16 * min(share, CHUNK_ENTRIES))
    vectors = 4 * 8 * eigenvectors * rows
    first = 120 * pixels if rank == 0 else 0
    return int(BASE_BYTES + matrix + 150 * pixels + vectors + first)


def available_memory(path="/proc/meminfo"):
    """MemAvailable of this machine in bytes (None where there is no such figure)."""
    try:
        for line in Path(path).read_text().splitlines():
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def check_memory(world, pixels, entries, eigenvectors, available=available_memory):
    """ValueError on every process when the processes of some machine would need more
    memory than it has available: each machine adds up its own processes' estimates and
    compares them with its MemAvailable, and all processes learn every machine's verdict.
    Returns this process's estimate."""
    from mpi4py import MPI
    from petsc4py import PETSc

    limit = np.iinfo(PETSc.IntType).max
    if -(-entries // world.size) > limit:
        raise ValueError(
            f"{entries} pattern entries need at least {-(-entries // limit)} processes: PETSc's indices "
            f"(as built here) hold at most {limit} entries a process"
        )
    mine = memory_estimate(pixels, entries, world.size, eigenvectors, world.rank)
    machine = world.Split_type(MPI.COMM_TYPE_SHARED)
    need = machine.allreduce(mine)
    have = available() if machine.rank == 0 else None
    have = machine.bcast(have, root=0)
    local = machine.size
    machine.Free()
    short = (need, have, local) if have is not None and need > have else None
    shorts = [s for s in world.allgather(short) if s is not None]
    if shorts:
        need, have, local = shorts[0]
        raise ValueError(
            f"{pixels} pixels and {entries} pattern entries need about {mine / 2**30:.1f} GiB per process, "
            f"{need / 2**30:.1f} GiB for the {local} processes of one machine, which has {have / 2**30:.1f} GiB "
            "available (MemAvailable); shrink the photograph (--shrink N), or spread the processes "
            "over more machines"
        )
    return mine


def segment(path, settings, shrink=None, workers=-1, say=print):
    """Runs every step on the photograph at path across the processes of MPI's world, as
    quorvane.segmentation.segment does in one. Returns, on process 0, the
    quorvane.segmentation.Segmentation (its weights hold only the rows the pictures show,
    its embedding the first five columns) and the Report; (None, report) elsewhere."""
    MPI, PETSc = _libraries()
    from PIL import Image

    from . import multilevel, pictures, segmentation as seg

    comm = PETSc.COMM_WORLD
    world = MPI.COMM_WORLD
    report = Report(world, say)
    factor = shrink or 1
    with Image.open(path) as picture:  # the header alone: the size before the pixels
        width, height = picture.size
    shape = (height // factor, width // factor)
    n = shape[0] * shape[1]
    # Found by every process, not by process 0 alone at the end.
    if n == 0:
        raise ValueError(f"an image of {height} x {width} cannot shrink by {factor}")
    k = settings.clusters
    if k > n or settings.eigenvectors >= n:
        raise ValueError(
            f"{k} clusters and {settings.eigenvectors} eigenvectors need more than "
            f"{max(k - 1, settings.eigenvectors)} pixels, got {n}"
        )
    entries = pattern_entries(shape, settings.radius)
    columns = settings.eigenvectors + multilevel.guard(settings.eigenvectors)
    estimate = check_memory(world, n, entries, columns)
    original = seg.read_picture(path)
    image = seg.shrink(original, factor)
    magnitude, phase = seg.edges(image, settings.smoothing, settings.edge_low, settings.edge_high)
    if not phase.any():
        raise ValueError(f"{path} has no edges to segment by")
    sigma = seg.weight_sigma(image, settings.smoothing, settings.sigma_noise)
    report.step(
        f"read {path} ({original.shape[0]} x {original.shape[1]}{', colour' if original.ndim == 3 else ''}), "
        + (f"shrunk by {factor} to {shape[0]} x {shape[1]}, " if factor > 1 else "taken whole, ")
        + f"edges; {world.size} process{'es' if world.size > 1 else ''}, about {estimate / 2**20:.0f} MiB each "
        "expected"
    )

    times = PhaseTimes()
    w = transposed_weights(PETSc, comm, magnitude, phase, settings.radius, sigma, workers, times)
    entries = w.getInfo(PETSc.Mat.InfoType.GLOBAL_SUM)["nz_used"]
    report.step(
        f"weights of the disc pattern of radius {settings.radius:g} into a distributed {n} x {n} matrix, "
        f"{int(entries)} entries, sigma {sigma:.4g}",
        dataclasses.asdict(times),
    )

    w = symmetric(PETSc, w)
    if settings.weight_floor > 0:
        indptr, indices, data = w.getValuesCSR()
        w.setValuesCSR(indptr, indices, np.maximum(data, settings.weight_floor))
        del indptr, indices, data
        w.assemble()
    degrees = degrees_of(w)
    report.step("symmetric weights (W + W^T) / 2" + (f", raised to {settings.weight_floor:g}" if settings.weight_floor > 0 else "") + " and degrees")

    found = distributed_embedding(PETSc, w, degrees, shape, settings.eigenvectors, say)
    d = degrees.getArray(readonly=True).copy()
    degrees.destroy()
    work = found.work
    report.step(
        f"{settings.eigenvectors} leading eigenvectors of (W, D), multilevel: level 1 of "
        f"{work['coarse']} nodes ({work['coarse entries']} entries) by MatPtAP, it and {work['levels'] - 2} "
        f"coarser levels on process 0, {work['products']} products of W with a vector on level 0",
        found.seconds,
    )

    clock = time.perf_counter()
    w = found.rows
    mine = distributed_group(world, found, d, k, settings.seed)
    embedding = gather_array(world, found.vectors[:, : min(5, found.vectors.shape[1])])
    values = found.values
    del found, d
    seconds = {"k-means": -clock + (clock := time.perf_counter())}
    labels = np.empty(n, dtype=np.int32)
    world.Allgatherv(mine, (labels, world.allgather(mine.size)))
    del mine
    large = np.bincount(labels, minlength=k) >= settings.min_area
    sums = [world.reduce(part, op=MPI.SUM, root=0) for part in similarity_sums(w, labels, k, large)]
    seconds["merge sums"] = -clock + (clock := time.perf_counter())
    pieces = kept = count = None
    if world.rank == 0:
        total, number, inner_total, inner_number, stored = sums
        pairs = np.flatnonzero(number)
        root, kept = seg.merge_coherent(pairs, total[pairs], number[pairs], inner_total, inner_number, k,
                                        settings.merge_above, settings.min_border * int(stored[0]) / n)
        pieces, count = seg.connected_segments(root[labels].reshape(shape))
    del labels
    # Specks join a neighbour by their rows of W, fetched from their owners.
    specks = None
    if world.rank == 0:
        areas = np.bincount(pieces.ravel(), minlength=count)
        specks = np.flatnonzero(areas[pieces.ravel()] < settings.min_area)
    wait_for_all(world)
    specks = world.bcast(specks, root=0)
    speck_rows = gather_rows(world, w, specks)
    picks, _ = pictures.chosen_pixels(shape, settings.radius)
    shown = gather_rows(world, w, [row * shape[1] + column for row, column in picks])
    del w
    run = final = None
    if world.rank == 0:
        speck_rows.eliminate_zeros()
        pieces, final = seg.absorb_specks(pieces, speck_rows, settings.min_area)
        segments = seg.enlarge(pieces, factor, original.shape[:2])
        run = seg.Segmentation(original, image, magnitude, phase, shown, values, embedding, segments, final)
    seconds["segments"] = time.perf_counter() - clock
    report.step(
        f"k-means into {k} clusters (fitted on process 0 to level 1's nodes), "
        + (f"{kept} after merging those tied across their border nearly as within, {count} connected pieces, "
           f"{final} of {settings.min_area} pixels or more" if world.rank == 0 else ""),
        seconds,
    )
    return run, report


def parser():
    from .demo import parser as demo_parser

    p = demo_parser()
    p.prog = "mpirun -n P python3 -m quorvane.distributed"
    p.description = (
        "Normalised-cut segmentation of a photograph with quorvane weights across MPI processes "
        "(PETSc); prints each step with its time and the processes' peak memory, "
        "and writes the demo's pictures."
    )
    p.set_defaults(outdir="quorvane-distributed")
    for action in p._actions:
        if action.dest == "shrink":
            action.help = "block size of the shrinking (default 1: the photograph is taken whole)"
    p.add_argument(
        "--workers",
        type=int,
        default=-1,
        metavar="T",
        help="threads of each process's weights (default -1: the processors the process may use)",
    )
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        from . import pictures, segmentation

        _libraries()
    except ImportError as error:
        print(MISSING.format(error=error), file=sys.stderr)
        return 1
    from mpi4py import MPI

    world = MPI.COMM_WORLD
    settings = segmentation.Settings().chosen(
        radius=args.radius, eigenvectors=args.eigenvectors, clusters=args.clusters
    )
    say = print if world.rank == 0 else (lambda text: None)
    failure = None
    try:
        run, report = segment(args.image, settings, args.shrink, args.workers, say)
        if world.rank == 0:
            pictures.write_all(args.outdir, Path(args.image).name, run, settings.radius)
    except (OSError, ValueError, RuntimeError) as error:
        failure = str(error)
    # Every process reads the same photograph and fails in the same step, but only one of
    # them may have failed (the pictures, written by process 0): all learn of it.
    wait_for_all(world)
    failures = [f for f in world.allgather(failure) if f is not None]
    if failures:
        if world.rank == 0:
            print(f"quorvane.distributed: {failures[0]}", file=sys.stderr)
        return 1
    report.step(f"pictures written to {args.outdir} by process 0")
    report.total()
    say(f"{run.count if run else 0} segments")
    return 0


if __name__ == "__main__":
    sys.exit(main())
