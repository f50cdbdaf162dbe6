"""The leading eigenvectors of (W, D) by quorvane.segment.multilevel's method, with the finest
level spread over the processes.

The pixels decide their links from their own rows where they lie, and only the links (an
integer a pixel) travel to process 0, which makes the aggregates and sends every process
those of its pixels; the aggregation's P is a distributed matrix and W_1 = P^T W P comes from
PETSc's MatPtAP. Level 1 and those below are gathered and solved on process 0 by the
multilevel module's own code; the vectors come back up through P and are refined on the
pixels by distributed block products, the k x k Rayleigh-Ritz matrices added up over the
processes.
"""

import dataclasses
import time

import numpy as np

from .. import multilevel as ml
from .exchange import gather_array, gather_csr, scatter_rows, wait_for_all
from .libraries import PETSc
from .products import ROWS_AT_ONCE, SLAB_ROWS, BlockProducts, LocalRows, local_turn, row_slabs
from .report import Progress
from .shares import pixel_range


def prolongator(comm, aggregates, coarse_count, values=None):
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
    matrix.setValuesCSR(
        np.arange(rows + 1, dtype=PETSc.IntType), aggregates.astype(PETSc.IntType), values
    )
    matrix.assemble()
    return matrix


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
    levels = ml.hierarchy(weights, degrees, positions, say=say, step=step)
    last = levels[-1]
    values, vectors = ml.coarsest_eigenvectors(
        last.weights, last.degrees, min(count, last.weights.shape[0] - 1)
    )
    for depth in range(len(levels) - 2, -1, -1):
        level = levels[depth]
        sweeps = ml.SWEEPS_FINE if depth == 0 else ml.SWEEPS_COARSE
        values, vectors = ml.refine(level.weights, level.degrees, vectors[level.aggregates], sweeps)
    return values, vectors, len(levels)


def distributed_embedding(w, degrees, shape, count, say=lambda text: None, progress_every=5.0):
    """quorvane.segment.multilevel's leading eigenvectors of (W, D) for the distributed
    symmetric weights W of an image of this shape and their degrees (a PETSc vector), with
    the same guard vectors (see the module's description). W's rows are copied into a
    LocalRows first, and the PETSc matrix w is destroyed once W_1 is made (two copies would
    double the memory the refinement needs). Returns an Embedding."""
    world = w.getComm().tompi4py()
    seconds = {}
    clock = time.perf_counter()
    start, stop = w.getOwnershipRange()
    n = w.getSize()[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    d = degrees.getArray(readonly=True).copy()
    rows = LocalRows(w)
    positions = ml.pixel_positions(shape)
    progress = Progress(say, "links of level 0", -(-(stop - start) // SLAB_ROWS), progress_every)
    links = gather_array(world, level_zero_links(w, positions, progress))
    all_degrees = gather_array(world, d)
    coarse_count = aggregate = representative = None
    if world.rank == 0:
        aggregate, coarse_count, representative = ml.aggregation(links)
    del links
    wait_for_all(world)
    coarse_count = world.bcast(coarse_count, root=0)
    seconds["aggregation"] = -clock + (clock := time.perf_counter())
    if n <= ml.COARSEST or coarse_count > ml.STALL * n:
        return _solved_whole(w, all_degrees, positions, count, rows, seconds, clock)
    mine, p, entries, local = _coarsened(w, aggregate, coarse_count)
    seconds["coarsening"] = -clock + (clock := time.perf_counter())
    vectors = depth = coarse_degrees = None
    if world.rank == 0:
        coarse_degrees = np.bincount(aggregate, weights=all_degrees, minlength=coarse_count)
        _, vectors, depth = coarse_levels(
            local,
            coarse_degrees,
            positions[representative],
            2 * ml.LATTICE,
            count + ml.guard(count),
            lambda text: say(f"          {text}"),
        )
    del local, all_degrees, aggregate, representative, positions
    vectors, depth = _shared_from_first(world, p, vectors, depth)
    seconds["coarse levels"] = -clock + (clock := time.perf_counter())
    values, vectors = _refined_on_pixels(p, rows, d, vectors, say, progress_every)
    seconds["refinement"] = time.perf_counter() - clock
    work = {
        "coarse": coarse_count,
        "coarse entries": entries,
        "levels": depth + 1,
        "products": rows.products,
    }
    vectors = np.ascontiguousarray(vectors[:, :count])
    return Embedding(values[:count], vectors, mine, coarse_degrees, rows, work, seconds)


def level_zero_links(w, positions, progress):
    """The links of this process's pixels (multilevel.rows_links over its rows of W, a slab
    at a time; collective), as one int64 array."""
    mine = []
    seed = ml.seeds(positions, ml.LATTICE)
    for a, slab in row_slabs(w):
        mine.append(ml.rows_links(slab, positions, ml.LATTICE, first=a, seed=seed))
        progress.done(len(mine), " slabs of rows")
    return np.concatenate(mine).astype(np.int64) if mine else np.empty(0, dtype=np.int64)


def _solved_whole(w, all_degrees, positions, count, rows, seconds, clock):
    """Nothing to coarsen: the whole graph solved on process 0 (all_degrees there), the
    vectors shared out as the rows are."""
    world = w.getComm().tompi4py()
    start, stop = w.getOwnershipRange()
    n = w.getSize()[0]
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


def _coarsened(w, aggregate, coarse_count):
    """This process's pixels' aggregates (from aggregate on process 0), the distributed P,
    the entry count of W_1 = P^T W P and W_1 on process 0 (None elsewhere). Destroys w."""
    world = w.getComm().tompi4py()
    start, stop = w.getOwnershipRange()
    sizes = world.allgather(stop - start)
    mine = np.empty(stop - start, dtype=np.int64)
    world.Scatterv(None if aggregate is None else (aggregate, sizes), mine, root=0)
    p = prolongator(w.getComm(), mine, coarse_count)
    wc = w.ptap(p)
    entries = int(wc.getInfo(PETSc.Mat.InfoType.GLOBAL_SUM)["nz_used"])
    local = gather_csr(world, wc)
    wc.destroy()
    w.destroy()
    return mine, p, entries, local


def _shared_from_first(world, p, vectors, depth):
    """The coarse vectors of process 0 shared out as P's columns are, and the depth."""
    wait_for_all(world)
    depth = world.bcast(depth, root=0)
    counts = world.allgather(p.getOwnershipRangeColumn()[1] - p.getOwnershipRangeColumn()[0])
    return scatter_rows(world, vectors, counts), depth


def _refined_on_pixels(p, rows, degrees, vectors, say, progress_every):
    """The coarse vectors carried up through P (destroyed then) and refined on the pixels
    by W's LocalRows: the Ritz values and this process's rows of the Ritz vectors."""
    interpolate = BlockProducts(p)
    vectors = interpolate.times(vectors)
    interpolate.release()
    p.destroy()
    progress = Progress(say, "refinement of level 0", ml.SWEEPS_FINE, progress_every)
    return refine(rows, degrees, vectors, ml.SWEEPS_FINE, progress)
