"""Run under mpirun by test_distributed.py: builds the distributed matrices of small cases
and gathers what they hold on process 0, which saves it for the test to compare.

    mpirun -n P python3 distributed_cases.py OUTDIR matrices
    mpirun -n P python3 distributed_cases.py OUTDIR embedding [ROWS]
    mpirun -n P python3 distributed_cases.py OUTDIR segment IMAGE SHRINK

matrices: for each case of CASES, the transposed weights and the symmetric weights as
CSR arrays of all their rows, each process's ownership range, the degrees, a block product
W X and its inner products, the coarse matrix P^T W P of an aggregation, the border sums of
a labelling and the coherence sums of its labels (OUTDIR/<case>.npz).
embedding: the multilevel eigenvectors of EMBEDDED's weights (OUTDIR/embedding.npz).
segment: quorvane.segment.distributed's command line on IMAGE, with the run's segments
(OUTDIR/segment.npz) besides its pictures (OUTDIR/pictures).
"""

import sys
from pathlib import Path

import numpy as np

import quorvane.segment as segmentation

# Without MPI: test_distributed.py imports the cases, and MPI starts only in the runs.
from quorvane.segment.distributed import exchange, shares


def image_case(shape, seed, ties=False):
    rng = np.random.default_rng(seed)
    magnitude = rng.uniform(0.0, 2.0, shape)
    if ties:  # equal pair sums, so that the order of crossings would matter
        magnitude = np.round(magnitude * 2) / 2
    phase = (rng.uniform(size=shape) > 0.5).astype(float)
    return magnitude, phase


# name: (magnitude, phase, radius, sigma, entries per slice)
CASES = {
    "plain": (*image_case((13, 11), 1), 3.0, 0.4, shares.CHUNK_ENTRIES),
    # Slices of a few columns: every process inserts its rows in many steps.
    "sliced": (*image_case((17, 9), 2, ties=True), 2.5, 0.3, 60),
    # sigma 0: NaN wherever no edge is crossed, 0 across an edge.
    "sigma_zero": (*image_case((8, 12), 3), 2.0, 0.0, 100),
    # One image row: the pattern's columns are a strip's.
    "strip": (*image_case((1, 40), 4), 4.0, None, 30),
}


def gather_csr(comm, matrix):
    """All rows of a distributed AIJ matrix as CSR arrays on process 0 (None elsewhere)."""
    whole = exchange.gather_csr(comm, matrix)
    return None if whole is None else (whole.indptr, whole.indices, whole.data)


def block(start, stop, columns=3):
    """Rows start .. stop-1 of an n x columns block that no two rows or columns share."""
    rows = np.arange(start, stop, dtype=float)[:, None]
    return np.sin(rows * (np.arange(columns) + 1.0) + 1.0)


def aggregation(n, start, stop):
    """Aggregates of three consecutive pixels, the last ones numbered first: every coarse
    node's pixels may lie with another process than the node itself."""
    coarse = (n + 2) // 3
    return coarse - 1 - np.arange(start, stop) // 3, coarse


# Two grey regions with noise, for the multilevel eigenvectors: (shape, radius, eigenvectors).
EMBEDDED = ((36, 44), 3.0, 6)


def embedded_image():
    shape = EMBEDDED[0]
    rows, columns = np.mgrid[0 : shape[0], 0 : shape[1]]
    inside = (rows - 15) ** 2 + (columns - 26) ** 2 <= 11**2
    image = np.where(inside, 0.75, 0.25) + np.random.default_rng(7).normal(0, 0.03, shape)
    return image


def matrices(outdir):
    from quorvane.segment.distributed import eigen, grouping, products, weights
    from quorvane.segment.distributed.libraries import MPI, PETSc

    world = MPI.COMM_WORLD
    for name, (magnitude, phase, radius, sigma, entries) in CASES.items():
        w = weights.transposed_weights(
            PETSc.COMM_WORLD, magnitude, phase, radius, sigma, workers=2, entries=entries
        )
        ranges = world.gather(
            (shares.pixel_range(magnitude.size, PETSc.COMM_WORLD), w.getOwnershipRange())
        )
        transposed = gather_csr(world, w)
        w = weights.symmetric(w)
        sym = gather_csr(world, w)
        degrees = weights.degrees_of(w)
        start, stop = w.getOwnershipRange()
        local = products.LocalRows(w)
        x = block(start, stop)
        y = local.times(x)
        inner = local.inner(x, y)
        aggregates, coarse = aggregation(magnitude.size, start, stop)
        p = eigen.prolongator(PETSc.COMM_WORLD, aggregates, coarse, np.cos(np.arange(start, stop)))
        wc = w.ptap(p)
        coarse_csr = gather_csr(world, wc)
        counts = world.allgather(p.getOwnershipRangeColumn()[1] - p.getOwnershipRangeColumn()[0])
        shared = exchange.scatter_rows(
            world, block(0, coarse, 2) if world.rank == 0 else None, counts
        )
        lifted = products.BlockProducts(p).times(shared)
        labels = (np.arange(magnitude.size) * 7 // magnitude.size).astype(np.int32)
        sums = grouping.similarity_sums(local, labels, 7, rows_at_once=5)
        sums = [world.reduce(part, op=MPI.SUM, root=0) for part in sums]
        rows = [0, magnitude.size // 2, magnitude.size - 1]
        shown = exchange.gather_rows(world, local, rows)
        gathered = [
            exchange.gather_array(world, a) for a in (degrees.getArray(readonly=True), y, lifted)
        ]
        if world.rank == 0:
            np.savez(
                Path(outdir) / f"{name}.npz",
                ranges=np.array(ranges).reshape(len(ranges), 4),
                transposed_indptr=transposed[0],
                transposed_indices=transposed[1],
                transposed_data=transposed[2],
                sym_indptr=sym[0],
                sym_indices=sym[1],
                sym_data=sym[2],
                degrees=gathered[0],
                product=gathered[1],
                inner=inner,
                lifted=gathered[2],
                coarse_indptr=coarse_csr[0],
                coarse_indices=coarse_csr[1],
                coarse_data=coarse_csr[2],
                labels=labels,
                total=sums[0],
                number=sums[1],
                inner_total=sums[2],
                inner_number=sums[3],
                stored=sums[4],
                shown_rows=np.array(rows),
                shown=shown.toarray()[rows],
            )
        for item in (w, degrees, p, wc):
            item.destroy()


def embedding(outdir, rows=None):
    """rows: only the first rows of EMBEDDED's image (a graph too small to coarsen)."""
    from quorvane.segment.distributed import eigen, weights
    from quorvane.segment.distributed.libraries import MPI, PETSc

    world = MPI.COMM_WORLD
    _, radius, count = EMBEDDED
    image = embedded_image()[: int(rows) if rows else None]
    shape = image.shape
    magnitude, phase = segmentation.edges(image)
    sigma = magnitude.max() / 12
    w = weights.symmetric(
        weights.transposed_weights(PETSc.COMM_WORLD, magnitude, phase, radius, sigma)
    )
    degrees = weights.degrees_of(w)
    found = eigen.distributed_embedding(w, degrees, shape, count)
    vectors = exchange.gather_array(world, found.vectors)
    if world.rank == 0:
        np.savez(
            Path(outdir) / "embedding.npz",
            values=found.values,
            vectors=vectors,
            levels=found.work["levels"],
            sigma=sigma,
        )


def segment(outdir, image, shrink):
    from quorvane.segment.distributed import cli, road
    from quorvane.segment.distributed.libraries import MPI

    runs = []
    original = road.segment
    road.segment = lambda *args: runs.append(original(*args)) or runs[-1]
    status = cli.main([image, str(Path(outdir) / "pictures"), "--shrink", shrink, "--workers", "1"])
    if MPI.COMM_WORLD.rank == 0:
        run = runs[0][0]
        np.savez(
            Path(outdir) / "segment.npz", status=status, segments=run.segments, count=run.count
        )


if __name__ == "__main__":
    outdir, what = sys.argv[1], sys.argv[2]
    if what == "matrices":
        matrices(outdir)
    elif what == "embedding":
        embedding(outdir, *sys.argv[3:4])
    else:
        segment(outdir, *sys.argv[3:5])
