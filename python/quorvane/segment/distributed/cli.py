"""The command line mpirun -n P python3 -m quorvane.segment.distributed IMAGE [OUTDIR]: the
options of a segmentation run (command_line) and --workers, one message for a failure on any
process. Imports without MPI, so that a missing package is named."""

import sys
from pathlib import Path

from .. import command_line

MISSING = (
    "quorvane.distributed: {error}. It needs mpi4py besides the demo's packages: "
    "apt-get install python3-mpi4py openmpi-bin"
)


def parser():
    p = command_line.parser(
        "mpirun -n P python3 -m quorvane.segment.distributed",
        "Segmentation of a photograph over quorvane weights across MPI processes; prints each "
        "step with its time and the processes' peak memory, and writes the demo's pictures.",
        "quorvane-distributed",
    )
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


def _packages():
    from .. import pictures
    from . import road
    from .exchange import wait_for_all
    from .libraries import MPI

    pictures.check_matplotlib()
    return pictures, road, wait_for_all, MPI.COMM_WORLD


def main(argv=None):
    args = parser().parse_args(argv)
    loaded = command_line.loaded_or_told(MISSING, _packages)
    if loaded is None:
        return 1
    pictures, road, wait_for_all, world = loaded
    settings = command_line.chosen_settings(args).chosen(workers=args.workers)
    say = print if world.rank == 0 else (lambda text: None)
    radius = settings.radius
    # Process 0 draws the weights, the slowest drawing, and holds their columns; the
    # processes take every world.size-th of the others.
    drawings = pictures.DRAWINGS[world.rank :: world.size]
    failure = clock = run = None
    try:
        run, clock = road.segment_photograph(
            args.image,
            settings,
            args.shrink,
            say,
            lambda shape: pictures.shown_pixels(shape, radius),
        )
        pictures.write_all(args.outdir, Path(args.image).name, run, radius, drawings)
    except (OSError, ValueError, RuntimeError, MemoryError) as error:
        failure = str(error)
    # Every process reads the same photograph and fails in the same step, but only one of
    # them may have failed (its pictures): all learn of it.
    wait_for_all(world)
    failures = [f for f in world.allgather(failure) if f is not None]
    if failures:
        if world.rank == 0:
            print(f"quorvane.distributed: {failures[0]}", file=sys.stderr)
        return 1
    drawers = min(world.size, len(pictures.DRAWINGS))
    written = f"pictures written to {args.outdir} by {drawers} process{'es' if drawers > 1 else ''}"
    return command_line.finished(clock, written, run.count, say)
