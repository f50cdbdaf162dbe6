"""The steps of quorvane.segment.steps.run across the processes of MPI's world, on a
photograph read by every process (see the package's description)."""

from ... import _quorvane
from .. import photographs, steps
from ..regions import SETTLING_PASSES
from ..settings import Segmentation
from .exchange import shared_strength, shared_ties
from .libraries import MPI
from .memory import check_memory
from .report import ProcessesClock
from .shares import chunks_of, gathered_columns, share_of_weights


def segment_photograph(path, settings, shrink=None, say=print, shown=None):
    """Runs every step on the photograph at path across the processes of MPI's world, as
    quorvane.segment.demo.segment_photograph does in one, with the same segments. Returns
    the quorvane.segment.Segmentation, on every process, and the clock (a ProcessesClock).
    The Segmentation's weights are None but on process 0, where they hold the columns of
    the pixels shown(shape) names (a list of pixel numbers; none without shown)."""
    clock = ProcessesClock(MPI.COMM_WORLD, say)
    road = steps.run(SharedRoad(path, settings, shrink or 1, shown), clock.step)
    return road.run, clock


class SharedRoad(steps.Road):
    """The steps of one process's road, with the strength, the weights and their sums shared
    out: every process reads the photograph, shrinks it by factor, measures the strength of
    its band of rows and gathers the others' (exchange), floods the basins (the same
    everywhere), computes the weights of its own chunks of the pattern's columns (shares),
    and gathers every chunk's region sums with the others (exchange), so that every process
    merges alike in the core and finds the same segments. Every process ends with
    run, the Segmentation for the pictures; process 0's holds the shown columns' weights."""

    def __init__(self, path, settings, factor, shown=None):
        self.path, self.settings, self.factor = path, settings, factor
        self.shown = shown or (lambda shape: [])
        self.world = MPI.COMM_WORLD
        self.run = None

    def measure(self):
        world, factor = self.world, self.factor
        size = photographs.picture_size(self.path)
        shape = (size[0] // factor, size[1] // factor)
        if shape[0] * shape[1] == 0:
            raise ValueError(f"an image of {size[0]} x {size[1]} cannot shrink by {factor}")
        estimate = check_memory(world, shape, self.settings)
        self.original = photographs.read_picture(self.path)
        self.image = photographs.shrink(self.original, factor)
        try:
            self.picture = photographs.picture_values(self.image)
            self.shape = self.picture.shape[:2]
            self.strength, self.crests = shared_strength(
                world, self.picture, self.settings.scale, self.settings.workers
            )
            (measured,) = self.measured()
        except ValueError as error:
            raise ValueError(f"{self.path}: {error}") from None
        colour = ", colour" if self.original.ndim == 3 else ""
        shrunk = f"shrunk by {factor} to {shape[0]} x {shape[1]}" if factor > 1 else "taken whole"
        processes = f"{world.size} process{'es' if world.size > 1 else ''}"
        return (
            f"read {self.path} ({size[0]} x {size[1]}{colour}), {shrunk}; {processes}, about "
            f"{estimate / 2**20:.0f} MiB each expected; {measured}",
        )

    def weigh(self):
        settings, world = self.settings, self.world
        self.chunks, self.first_chunk, self.chunk_count = chunks_of(
            world.rank, world.size, self.shape, settings.radius
        )
        columns = (self.chunks[0][0], self.chunks[-1][1]) if self.chunks else (0, 0)
        self.weights = share_of_weights(self.crests, self.basins, settings, columns)
        entries = world.allreduce(self.weights.nnz, op=MPI.SUM)
        return self.weighed(entries, ", each process its share of the columns")

    def ties_of(self):
        chunks = self.chunks, self.first_chunk, self.chunk_count
        return shared_ties(self.world, self.weights, *chunks, self.settings.workers)

    def merge(self):
        self.regions, merged, rounds = _quorvane.merge_summed_regions(
            self.basins, self.basin_count, self.ties_of(), self.settings.smallest
        )
        return self.merged(merged, rounds)

    def find_segments(self):
        self.segments, self.count = _quorvane.find_summed_segments(
            self.regions[self.basins],
            self.picture,
            self.ties_of(),
            self.settings.smallest,
            SETTLING_PASSES,
        )
        done = self.found()
        shown = gathered_columns(self.world, self.weights, self.shown(self.shape))
        segments = photographs.enlarge(self.segments, self.factor, self.original.shape[:2])
        found = (self.strength, self.crests, self.basins, shown, self.regions[self.basins])
        self.run = Segmentation(self.original, self.image, *found, segments, self.count)
        return done
