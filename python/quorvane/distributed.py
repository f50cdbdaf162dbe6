"""Normalised-cut segmentation of a photograph across MPI processes, with PETSc and SLEPc.

    mpirun -n P python3 -m quorvane.distributed IMAGE [OUTDIR]

The steps of python3 -m quorvane.demo, with the weight matrix and the eigensolve spread
over the processes (any P >= 1; without mpirun it runs as one process). Every process
reads the photograph and computes its edges (the same everywhere), then the disc-pattern
columns of the pixels it owns, their weights with quorvane.weights, and its rows of one
distributed PETSc matrix; no process ever holds the whole matrix. The symmetric weights,
the degrees and D^-1/2 W D^-1/2 stay distributed, and SLEPc's Krylov-Schur finds the
leading eigenvectors. The n x k embedding is gathered on process 0 alone, which clusters,
merges and draws the pictures as the demo does, with the border sums of the merge added
up across the processes.

Needs mpi4py, petsc4py and slepc4py (Debian: python3-mpi4py, python3-petsc4py,
python3-slepc4py, openmpi-bin, and libpetsc-real-dev and libslepc-real-dev, whose
alternatives make petsc4py and slepc4py importable), besides the demo's packages.
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
    "quorvane.distributed: {error}. It needs mpi4py, petsc4py and slepc4py besides the demo's packages: "
    "apt-get install python3-mpi4py python3-petsc4py python3-slepc4py openmpi-bin libpetsc-real-dev libslepc-real-dev"
)

# Weights are computed and inserted this many pattern entries at a time (12 bytes each while
# in flight), so that a process holds its share of the matrix and one such slice at most.
CHUNK_ENTRIES = 1 << 24


def _libraries():
    """mpi4py's MPI, PETSc and SLEPc, initialised (MPI first: PETSc then runs on it)."""
    from mpi4py import MPI
    import petsc4py

    petsc4py.init([])
    import slepc4py

    slepc4py.init([])
    from petsc4py import PETSc
    from slepc4py import SLEPc

    return MPI, PETSc, SLEPc


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


class NormalisedAffinity:
    """D^-1/2 W D^-1/2 as a PETSc shell matrix's context: W the symmetric weights, D their
    row sums; neither the product nor the scaled matrix is ever formed."""

    def __init__(self, w, scale):
        self.w, self.scale = w, scale
        self.work = scale.duplicate()
        self.products = 0

    def mult(self, mat, x, y):
        self.products += 1
        self.work.pointwiseMult(x, self.scale)
        self.w.mult(self.work, y)
        y.pointwiseMult(y, self.scale)


def degrees_and_scale(w):
    """The row sums D of the symmetric weights and D^-1/2, distributed as its rows. Every
    pixel needs a positive weight to some pixel (its own, at least): ValueError otherwise."""
    ones, degrees = w.createVecs()
    ones.set(1.0)
    w.mult(ones, degrees)
    ones.destroy()
    smallest = degrees.min()[1]
    if not smallest > 0:
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    scale = degrees.copy()
    scale.sqrtabs()
    scale.reciprocal()
    return degrees, scale


def leading_eigenvectors(PETSc, SLEPc, w, scale, count, tolerance, start):
    """The count largest eigenvalues of D^-1/2 W D^-1/2 (descending) and the embedding
    D^-1/2 V of their eigenvectors, one PETSc vector each, by SLEPc's Krylov-Schur from the
    given start vector (this process's rows of it), with the demo's tolerance on
    |residual| / |value|; and the solver's restarts and products with the matrix."""
    comm = w.getComm()
    n = w.getSize()[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    context = NormalisedAffinity(w, scale)
    operator = PETSc.Mat().createPython(w.getSizes(), context, comm=comm)
    operator.setUp()
    v0 = scale.duplicate()
    v0.setArray(start)
    solver = SLEPc.EPS().create(comm=comm)
    solver.setOperators(operator)
    solver.setProblemType(SLEPc.EPS.ProblemType.HEP)
    solver.setType(SLEPc.EPS.Type.KRYLOVSCHUR)
    solver.setWhichEigenpairs(SLEPc.EPS.Which.LARGEST_REAL)
    solver.setDimensions(nev=count)
    solver.setTolerances(tol=tolerance, max_it=10000)
    solver.setConvergenceTest(SLEPc.EPS.Conv.REL)
    solver.setInitialSpace([v0])
    # PETSC_OPTIONS may tune or watch the solver (-eps_ncv, -eps_monitor, ...).
    solver.setFromOptions()
    solver.solve()
    found = solver.getConverged()
    if found < count:
        raise RuntimeError(
            f"the eigensolver found {found} of {count} eigenvectors in {solver.getIterationNumber()} restarts"
        )
    values = np.empty(count)
    vectors = []
    for k in range(count):
        vector = scale.duplicate()
        values[k] = solver.getEigenpair(k, vector).real
        vector.pointwiseMult(vector, scale)
        vectors.append(vector)
    order = np.argsort(-values, kind="stable")
    work = (solver.getIterationNumber(), context.products)
    solver.destroy()
    operator.destroy()
    v0.destroy()
    context.work.destroy()
    return values[order], [vectors[k] for k in order], work


def gather_columns(PETSc, vectors):
    """The distributed vectors as the columns of one n x k array on process 0 (None elsewhere)."""
    scatter, whole = PETSc.Scatter.toZero(vectors[0])
    rank = vectors[0].getComm().getRank()
    out = np.empty((vectors[0].getSize(), len(vectors))) if rank == 0 else None
    for k, vector in enumerate(vectors):
        scatter.scatter(vector, whole, PETSc.InsertMode.INSERT, PETSc.ScatterMode.FORWARD)
        if rank == 0:
            out[:, k] = whole.getArray(readonly=True)
    scatter.destroy()
    whole.destroy()
    return out


def gather_rows(comm, w, rows):
    """The given rows of the distributed symmetric weights, in an n x n CSR matrix on
    process 0 that holds only them (None elsewhere)."""
    start, stop = w.getOwnershipRange()
    mine = [(row, *w.getRow(row)) for row in rows if start <= row < stop]
    every = comm.gather(mine, root=0)
    if comm.rank != 0:
        return None
    found = [entry for part in every for entry in part]
    n = w.getSize()[0]
    if not found:
        return scipy.sparse.csr_matrix((n, n))
    row_of = np.concatenate([np.full(columns.size, row) for row, columns, _ in found])
    columns = np.concatenate([columns for _, columns, _ in found])
    values = np.concatenate([values for _, _, values in found])
    return scipy.sparse.csr_matrix((values, (row_of, columns)), shape=(n, n))


def border_sums(w, labels, count, rows_at_once=1 << 14):
    """This process's share of quorvane.segmentation.border_sums over the symmetric weights:
    the sums and numbers of the weights between every two clusters in its own rows, read
    a few rows at a time (a copy of all of them would hold as much as the matrix)."""
    from . import segmentation

    start, stop = w.getOwnershipRange()
    total = np.zeros(count * count)
    number = np.zeros(count * count, dtype=np.int64)
    for a in range(start, stop, rows_at_once):
        rows = [w.getRow(row) for row in range(a, min(a + rows_at_once, stop))]
        lengths = [columns.size for columns, _ in rows]
        row_labels = np.repeat(labels[a : a + len(rows)], lengths)
        columns = np.concatenate([columns for columns, _ in rows])
        values = np.concatenate([values for _, values in rows])
        del rows
        t, m = segmentation.border_sums(row_labels, labels[columns], values, count)
        total += t
        number += m
    return total, number


def peak_memory():
    """This process's peak resident memory so far, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class Report:
    """Times the phases across the processes (each phase ends when the last process ends
    it) and notes every process's peak resident memory at the end of each; process 0
    prints them."""

    def __init__(self, comm, say):
        self.comm, self.say = comm, say
        self.comm.barrier()
        self.start = self.last = time.perf_counter()
        self.rows = []

    def step(self, what, local_seconds=None):
        """Ends a phase. local_seconds (a dict) splits it into parts timed on each process:
        their largest over the processes is printed beside the phase."""
        self.comm.barrier()
        now = time.perf_counter()
        peaks = self.comm.gather(peak_memory(), root=0)
        parts = {}
        for name, seconds in (local_seconds or {}).items():
            parts[name] = self.comm.allreduce(seconds, op=_max())
        if self.comm.rank == 0:
            detail = "".join(f", {name} {seconds:.2f} s" for name, seconds in parts.items())
            highest = max(peaks) / 2**20
            self.say(f"{now - self.last:7.2f} s  {what}{detail}  [peak memory per process up to {highest:.0f} MiB]")
            self.rows.append((what, now - self.last, parts, peaks))
        self.last = now

    def total(self):
        self.comm.barrier()
        peaks = self.comm.gather(peak_memory(), root=0)
        if self.comm.rank == 0:
            self.say(f"{time.perf_counter() - self.start:7.2f} s  total")
            self.say("peak resident memory per process: " + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks))


def _max():
    from mpi4py import MPI

    return MPI.MAX


def segment(path, settings, shrink=None, workers=-1, say=print):
    """Runs every step on the photograph at path across the processes of MPI's world.
    Returns, on process 0, the quorvane.segmentation.Segmentation (its weights hold only
    the rows the pictures show, its embedding the first five columns) and the Report;
    (None, report) elsewhere."""
    MPI, PETSc, SLEPc = _libraries()
    from . import pictures, segmentation as seg

    comm = PETSc.COMM_WORLD
    world = MPI.COMM_WORLD
    report = Report(world, say)
    original = seg.read_grey(path)
    factor = shrink or seg.shrink_factor(original.shape, settings.pixel_budget)
    image = seg.shrink(original, factor)
    n = image.size
    magnitude, phase = seg.edges(image, settings.smoothing)
    sigma = settings.sigma_share * magnitude.max()
    if not sigma > 0:
        raise ValueError(f"{path} has no edges to segment by")
    if settings.clusters > n:  # found here by every process, not by process 0 alone at the end
        raise ValueError(f"{settings.clusters} clusters need at least {settings.clusters} pixels, got {n}")
    report.step(
        f"read {path} ({original.shape[0]} x {original.shape[1]}), shrunk by {factor} to "
        f"{image.shape[0]} x {image.shape[1]}, edges; {world.size} processes"
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
    degrees, scale = degrees_and_scale(w)
    degrees.destroy()
    report.step("symmetric weights (W + W^T) / 2 and degrees")

    start, stop = w.getOwnershipRange()
    v0 = seg.start_vector(n, settings.seed)[start:stop].copy()
    values, vectors, (restarts, products) = leading_eigenvectors(
        PETSc, SLEPc, w, scale, settings.eigenvectors, settings.tolerance, v0
    )
    del v0
    embedding = gather_columns(PETSc, vectors)
    for vector in vectors:
        vector.destroy()
    scale.destroy()
    report.step(
        f"normalised cut: {settings.eigenvectors} leading eigenvectors of D^-1/2 W D^-1/2 by SLEPc "
        f"Krylov-Schur, tolerance {settings.tolerance:g}, {restarts} restarts, {products} products; "
        "the embedding gathered on process 0"
    )

    k = settings.clusters
    labels = None
    if world.rank == 0:
        # The pictures show the first columns; k-means scales the rows of the rest in place.
        first = embedding[:, : min(5, embedding.shape[1])].copy()
        labels = seg.cluster(embedding, k, settings.seed, overwrite=True).astype(np.int32)
        embedding = first
    labels = world.bcast(labels, root=0)
    total, number = border_sums(w, labels, k)
    total = world.reduce(total, op=MPI.SUM, root=0)
    number = world.reduce(number, op=MPI.SUM, root=0)
    picks, _ = pictures.chosen_pixels(image.shape, settings.radius)
    shown = gather_rows(world, w, [row * image.shape[1] + column for row, column in picks])
    w.destroy()
    run = None
    if world.rank == 0:
        merged, kept = seg.merge_bordering(labels, total, number, settings.merge_above)
        pieces, count = seg.connected_segments(merged.reshape(image.shape))
        segments = seg.enlarge(pieces, factor, original.shape)
        run = seg.Segmentation(original, image, magnitude, phase, shown, values, embedding, segments, count)
    report.step(
        f"k-means into {k} clusters on process 0, "
        + (f"{kept} after merging unseparated ones, {count} connected segments" if world.rank == 0 else "")
    )
    return run, report


def parser():
    from .demo import parser as demo_parser

    p = demo_parser()
    p.prog = "mpirun -n P python3 -m quorvane.distributed"
    p.description = (
        "Normalised-cut segmentation of a photograph with quorvane weights across MPI processes "
        "(PETSc and SLEPc); prints each step with its time and the processes' peak memory, "
        "and writes the demo's pictures."
    )
    p.set_defaults(outdir="quorvane-distributed")
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
