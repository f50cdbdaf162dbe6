"""The steps of quorvane.segment.steps.run across the processes of MPI's world, on a
photograph read by every process (see the package's description)."""

from .. import photographs, pictures, steps
from ..regions import RegionGraph, merge_regions, settle_borders, whole_segments
from ..settings import Segmentation
from .exchange import shared_region_sums
from .libraries import MPI
from .memory import check_memory
from .report import ProcessesClock
from .shares import chunks_of, gathered_columns, pattern_starts, share_of_weights


def segment_photograph(path, settings, shrink=None, say=print):
    """Runs every step on the photograph at path across the processes of MPI's world, as
    quorvane.segment.demo.segment_photograph does in one, with the same segments. Returns,
    on process 0, the quorvane.segment.Segmentation (its weights hold only the columns the
    pictures show) and the clock (a ProcessesClock); (None, clock) elsewhere."""
    clock = ProcessesClock(MPI.COMM_WORLD, say)
    road = steps.run(SharedRoad(path, settings, shrink or 1), clock.step)
    return road.run, clock


class SharedRoad(steps.Road):
    """The steps of one process's road, with the weights and their sums shared out: every
    process reads the photograph, shrinks it by factor and measures its strength and basins
    (the same everywhere), computes the weights of its own chunks of the pattern's columns
    (shares), and adds up the region sums with the others (exchange), so that every process
    merges alike and finds the same segments. Process 0 ends with run, the Segmentation for
    the pictures."""

    def __init__(self, path, settings, factor):
        self.path, self.settings, self.factor = path, settings, factor
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
            (measured,) = super().measure()
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
        self.chunks = chunks_of(world.rank, world.size, pattern_starts(self.shape, settings.radius))
        columns = (self.chunks[0][0], self.chunks[-1][1]) if self.chunks else (0, 0)
        self.weights = share_of_weights(
            self.crests,
            self.basins.astype(float),
            settings.radius,
            settings.sigma,
            columns,
            settings.workers,
        )
        entries = world.allreduce(self.weights.nnz, op=MPI.SUM)
        return (
            f"{self.basin_count} basins; weights from quorvane across them, each process its "
            f"share of the columns: disc pattern of radius {settings.radius:g}, {entries} "
            f"entries, sigma {settings.sigma:.3g}",
        )

    def sums_of(self, labels, count, among=None):
        """The region sums of labels (flat) over all of the processes' weights."""
        return shared_region_sums(self.world, labels, self.weights, self.chunks, count, among)

    def merge(self):
        labels, smallest = self.basins.ravel(), self.settings.smallest
        graph = RegionGraph.of(labels, self.basin_count, self.sums_of(labels, self.basin_count))
        self.regions, merged, rounds = merge_regions(graph, smallest)
        return self.merged(merged.areas.size, rounds)

    def find_segments(self):
        smallest = self.settings.smallest
        merged, _ = whole_segments(self.regions[self.basins], self.sums_of, smallest)
        settled = settle_borders(merged, self.picture)
        self.segments, self.count = whole_segments(settled, self.sums_of, smallest)
        done = self.found()
        picks, _ = pictures.chosen_pixels(self.shape, self.settings.radius)
        width = self.shape[1]
        shown = gathered_columns(self.world, self.weights, [r * width + c for r, c in picks])
        if self.world.rank == 0:
            segments = photographs.enlarge(self.segments, self.factor, self.original.shape[:2])
            found = (self.strength, self.crests, self.basins, shown, self.regions[self.basins])
            self.run = Segmentation(self.original, self.image, *found, segments, self.count)
        return done
