"""Run under mpirun by test_distributed.py: the processes' shares of small cases, gathered on
process 0, which saves them for the test to compare with one process's.

    mpirun -n P python3 distributed_cases.py OUTDIR sums
    mpirun -n P python3 distributed_cases.py OUTDIR segment IMAGE SHRINK

sums: for each case of CASES, the boundary strength and crests measured in bands and
gathered, the weights of every process's share gathered whole, the region sums of the
basins added up from the processes' partial sums (all pairs, and only those around every
third basin), the basins merged over them, and each process's chunks (OUTDIR/<case>.npz).
segment: quorvane.segment.distributed's command line on IMAGE, with the run's segments
(OUTDIR/segment.npz) besides its pictures (OUTDIR/pictures).
"""

import sys
from pathlib import Path

import numpy as np

from quorvane import _quorvane
from quorvane.segment import steps


def picture_case(shape, seed):
    """A few bright discs on a darker ground, with noise: basins of every size."""
    rng = np.random.default_rng(seed)
    rows, columns = np.mgrid[0 : shape[0], 0 : shape[1]]
    picture = np.full(shape, 0.3)
    for _ in range(3):
        r, c = rng.uniform(0, shape[0]), rng.uniform(0, shape[1])
        picture[(rows - r) ** 2 + (columns - c) ** 2 <= rng.uniform(4, 60)] = 0.8
    return picture + rng.normal(0, 0.02, shape)


# name: (picture, radius, entries per chunk of the region sums)
CASES = {
    "plain": (picture_case((23, 31), 1), 3.0, _quorvane.SUM_CHUNK_ENTRIES),
    # Chunks of a few columns: every process adds up many, some cross no process's border.
    "chunked": (picture_case((29, 17), 2), 2.5, 97),
    # One chunk a column.
    "columns": (picture_case((12, 14), 3), 1.5, 1),
    # One chunk: the other processes hold no weights at all.
    "strip": (picture_case((3, 40), 4), 4.0, 1 << 20),
}


def sums(outdir):
    from quorvane.segment.distributed import shares
    from quorvane.segment.distributed.exchange import shared_strength, shared_ties
    from quorvane.segment.distributed.libraries import MPI
    from quorvane.segment.distributed.shares import (
        chunks_of,
        gathered_columns,
        share_of_weights,
    )

    world = MPI.COMM_WORLD
    for name, (picture, radius, chunk) in CASES.items():
        shares.SUMS_CHUNK = chunk
        road = steps.Road(picture)
        road.measure()
        road.flood()
        strength, crests = shared_strength(world, road.picture, road.settings.scale)
        chunks, first, total = chunks_of(world.rank, world.size, picture.shape, radius)
        columns = (chunks[0][0], chunks[-1][1]) if chunks else (0, 0)
        settings = road.settings.chosen(radius=radius)
        share = share_of_weights(road.crests, road.basins, settings, columns)
        whole = gathered_columns(world, share, np.arange(picture.size))
        labels, count = road.basins.ravel().astype(np.int32), road.basin_count
        ties_of = shared_ties(world, share, chunks, first, total)
        whole_sums = _quorvane.added_ties(ties_of(labels, count, None), count)
        around = _quorvane.added_ties(ties_of(labels, count, np.arange(count) % 3 == 0), count)
        merged = _quorvane.merge_summed_regions(road.basins, count, ties_of, 8)[0]
        every = world.gather(chunks, root=0)
        if world.rank == 0:
            np.savez(
                Path(outdir) / f"{name}.npz",
                **{f"weights_{k}": getattr(whole, k) for k in ("data", "indices", "indptr")},
                strength=strength,
                crests=crests,
                total=whole_sums,
                around=around,
                merged=merged,
                chunks=np.array([c for mine in every for c in mine]).reshape(-1, 2),
                owners=np.repeat(np.arange(len(every)), [len(mine) for mine in every]),
            )


def segment(outdir, image, shrink):
    from quorvane.segment.distributed import cli, road
    from quorvane.segment.distributed.libraries import MPI

    runs = []
    original = road.segment_photograph
    road.segment_photograph = lambda *args: runs.append(original(*args)) or runs[-1]
    status = cli.main([image, str(Path(outdir) / "pictures"), "--shrink", shrink, "--workers", "1"])
    if MPI.COMM_WORLD.rank == 0:
        run = runs[0][0]
        np.savez(
            Path(outdir) / "segment.npz", status=status, segments=run.segments, count=run.count
        )


if __name__ == "__main__":
    outdir, what = sys.argv[1], sys.argv[2]
    if what == "sums":
        sums(outdir)
    else:
        segment(outdir, *sys.argv[3:5])
