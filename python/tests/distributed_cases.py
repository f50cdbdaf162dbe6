"""Run under mpirun by test_distributed.py: builds the distributed matrices of small cases
and gathers what they hold on process 0, which saves it for the test to compare.

    mpirun -n P python3 distributed_cases.py OUTDIR matrices
    mpirun -n P python3 distributed_cases.py OUTDIR segment IMAGE SHRINK

matrices: for each case of CASES, the transposed weights and the symmetric weights as
CSR arrays of all their rows, each process's ownership range, the degrees, one product
with the normalised affinity and the border sums of a labelling (OUTDIR/<case>.npz).
segment: quorvane.distributed.main on IMAGE, with the run's eigenvalues and segments
(OUTDIR/segment.npz) besides its pictures (OUTDIR/pictures).
"""

import sys
from pathlib import Path

import numpy as np

from quorvane import distributed


def image_case(shape, seed, ties=False):
    rng = np.random.default_rng(seed)
    magnitude = rng.uniform(0.0, 2.0, shape)
    if ties:  # equal pair sums, so that the order of crossings would matter
        magnitude = np.round(magnitude * 2) / 2
    phase = (rng.uniform(size=shape) > 0.5).astype(float)
    return magnitude, phase


# name: (magnitude, phase, radius, sigma, entries per slice)
CASES = {
    "plain": (*image_case((13, 11), 1), 3.0, 0.4, distributed.CHUNK_ENTRIES),
    # Slices of a few columns: every process inserts its rows in many steps.
    "sliced": (*image_case((17, 9), 2, ties=True), 2.5, 0.3, 60),
    # sigma 0: NaN wherever no edge is crossed, 0 across an edge.
    "sigma_zero": (*image_case((8, 12), 3), 2.0, 0.0, 100),
    # One image row: the pattern's columns are a strip's.
    "strip": (*image_case((1, 40), 4), 4.0, None, 30),
}


def gather_csr(comm, matrix):
    """All rows of a distributed AIJ matrix as CSR arrays on process 0 (None elsewhere)."""
    indptr, indices, data = matrix.getValuesCSR()
    parts = comm.gather((indptr, indices, data), root=0)
    if comm.rank != 0:
        return None
    offsets = np.cumsum([0] + [p[0][-1] for p in parts])
    indptr = np.concatenate([[0]] + [p[0][1:] + offset for p, offset in zip(parts, offsets)])
    return indptr, np.concatenate([p[1] for p in parts]), np.concatenate([p[2] for p in parts])


def gather_vector(comm, vector):
    parts = comm.gather(vector.getArray(readonly=True).copy(), root=0)
    return np.concatenate(parts) if comm.rank == 0 else None


def matrices(outdir):
    MPI, PETSc, _ = distributed._libraries()
    world = MPI.COMM_WORLD
    for name, (magnitude, phase, radius, sigma, entries) in CASES.items():
        w = distributed.transposed_weights(
            PETSc, PETSc.COMM_WORLD, magnitude, phase, radius, sigma, workers=2, entries=entries
        )
        ranges = world.gather((distributed.pixel_range(magnitude.size, PETSc.COMM_WORLD), w.getOwnershipRange()))
        transposed = gather_csr(world, w)
        w = distributed.symmetric(PETSc, w)
        sym = gather_csr(world, w)
        degrees, scale = distributed.degrees_and_scale(w)
        context = distributed.NormalisedAffinity(w, scale)
        x = scale.duplicate()
        start, stop = w.getOwnershipRange()
        x.setArray(np.sin(np.arange(start, stop) + 1.0))
        y = scale.duplicate()
        context.mult(None, x, y)
        labels = (np.arange(magnitude.size) * 7 // magnitude.size).astype(np.int32)
        total, number = distributed.border_sums(w, labels, 7, rows_at_once=5)
        total = world.reduce(total, op=MPI.SUM, root=0)
        number = world.reduce(number, op=MPI.SUM, root=0)
        rows = [0, magnitude.size // 2, magnitude.size - 1]
        shown = distributed.gather_rows(world, w, rows)
        columns = distributed.gather_columns(PETSc, [degrees, y])
        if world.rank == 0:
            np.savez(
                Path(outdir) / f"{name}.npz",
                ranges=np.array(ranges).reshape(len(ranges), 4),
                transposed_indptr=transposed[0], transposed_indices=transposed[1], transposed_data=transposed[2],
                sym_indptr=sym[0], sym_indices=sym[1], sym_data=sym[2],
                degrees=columns[:, 0], product=columns[:, 1], labels=labels, total=total, number=number,
                shown_rows=np.array(rows), shown=shown.toarray()[rows],
            )
        for item in (w, degrees, scale, x, y, context.work):
            item.destroy()


def segment(outdir, image, shrink):
    runs = []
    original = distributed.segment
    distributed.segment = lambda *args: runs.append(original(*args)) or runs[-1]
    status = distributed.main([image, str(Path(outdir) / "pictures"), "--shrink", shrink, "--workers", "1"])
    from mpi4py import MPI

    if MPI.COMM_WORLD.rank == 0:
        run = runs[0][0]
        np.savez(Path(outdir) / "segment.npz", status=status, values=run.values, segments=run.segments,
                 count=run.count)


if __name__ == "__main__":
    outdir, what = sys.argv[1], sys.argv[2]
    if what == "matrices":
        matrices(outdir)
    else:
        segment(outdir, *sys.argv[3:5])
