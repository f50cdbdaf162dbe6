"""The steps of quorvane.segment.steps.run across the processes of MPI's world, on a
photograph read by every process (see the package's description)."""

import dataclasses
import time

from .. import multilevel, pictures, steps
from ..edge_detection import edges, weight_sigma
from ..merging import absorb_specks
from ..photographs import enlarge, read_picture, shrink
from ..settings import Segmentation
from .eigen import distributed_embedding
from .exchange import gather_array, gather_rows
from .grouping import all_labels, distributed_group, merge_sums, merged_pieces, speck_rows
from .libraries import MPI, PETSc
from .memory import check_memory, pattern_entries
from .report import ProcessesClock
from .weights import PhaseTimes, degrees_of, raise_to, symmetric, transposed_weights


def segment(path, settings, shrink=None, workers=-1, say=print):
    """Runs every step on the photograph at path across the processes of MPI's world, as
    quorvane.segment.segment does in one. Returns, on process 0, the
    quorvane.segment.Segmentation (its weights hold only the rows the pictures show, its
    embedding the first five columns) and the clock (a ProcessesClock); (None, clock)
    elsewhere."""
    clock = ProcessesClock(MPI.COMM_WORLD, say)
    road = steps.run(Road(path, settings, shrink or 1, workers, say), clock.step)
    return road.run, clock


class Road:
    """The steps across the processes, on the photograph at path shrunk by factor; the
    weights' threads in each process (workers) and the progress (say) are the command
    line's. Process 0 ends with run, the Segmentation for the pictures."""

    def __init__(self, path, settings, factor, workers, say):
        self.path, self.settings, self.factor = path, settings, factor
        self.workers, self.say = workers, say
        self.world = MPI.COMM_WORLD
        self.run = None

    def find_edges(self):
        settings, world = self.settings, self.world
        self.shape = self._checked_shape()
        n = self.shape[0] * self.shape[1]
        entries = pattern_entries(self.shape, settings.radius)
        columns = settings.eigenvectors + multilevel.guard(settings.eigenvectors)
        estimate = check_memory(world, n, entries, columns)
        self.original = read_picture(self.path)
        self.image = shrink(self.original, self.factor)
        self.magnitude, self.phase = edges(
            self.image, settings.smoothing, settings.edge_low, settings.edge_high
        )
        if not self.phase.any():
            raise ValueError(f"{self.path} has no edges to segment by")
        self.sigma = weight_sigma(self.image, settings.smoothing, settings.sigma_noise)
        original, shape, factor = self.original, self.shape, self.factor
        colour = ", colour" if original.ndim == 3 else ""
        shrunk = (
            f"shrunk by {factor} to {shape[0]} x {shape[1]}, " if factor > 1 else "taken whole, "
        )
        processes = f"{world.size} process{'es' if world.size > 1 else ''}"
        return (
            f"read {self.path} ({original.shape[0]} x {original.shape[1]}{colour}), {shrunk}edges; "
            f"{processes}, about {estimate / 2**20:.0f} MiB each expected",
        )

    def _checked_shape(self):
        """The shrunk image's shape from the photograph's header alone (before the pixels),
        refused on every process, not by process 0 alone at the end, when it is too small."""
        from PIL import Image

        with Image.open(self.path) as picture:
            width, height = picture.size
        shape = (height // self.factor, width // self.factor)
        n = shape[0] * shape[1]
        if n == 0:
            raise ValueError(f"an image of {height} x {width} cannot shrink by {self.factor}")
        k, eigenvectors = self.settings.clusters, self.settings.eigenvectors
        if k > n or eigenvectors >= n:
            raise ValueError(
                f"{k} clusters and {eigenvectors} eigenvectors need more than "
                f"{max(k - 1, eigenvectors)} pixels, got {n}"
            )
        return shape

    def weigh(self):
        times = PhaseTimes()
        radius = self.settings.radius
        self.w = transposed_weights(
            PETSc.COMM_WORLD, self.magnitude, self.phase, radius, self.sigma, self.workers, times
        )
        entries = self.w.getInfo(PETSc.Mat.InfoType.GLOBAL_SUM)["nz_used"]
        n = self.magnitude.size
        return (
            f"weights of the disc pattern of radius {radius:g} into a distributed {n} x {n} "
            f"matrix, {int(entries)} entries, sigma {self.sigma:.4g}",
            dataclasses.asdict(times),
        )

    def symmetrise(self):
        floor = self.settings.weight_floor
        self.w = raise_to(symmetric(self.w), floor)
        self.degrees = degrees_of(self.w)
        return (
            "symmetric weights (W + W^T) / 2"
            + (f", raised to {floor:g}" if floor > 0 else "")
            + " and degrees",
        )

    def embed(self):
        count = self.settings.eigenvectors
        self.found = distributed_embedding(self.w, self.degrees, self.shape, count, self.say)
        self.w = None
        degrees = self.degrees.getArray(readonly=True).copy()
        self.degrees.destroy()
        self.degrees = degrees
        work = self.found.work
        return (
            f"{count} leading eigenvectors of (W, D), multilevel: level 1 of "
            f"{work['coarse']} nodes ({work['coarse entries']} entries) by MatPtAP, it and "
            f"{work['levels'] - 2} coarser levels on process 0, {work['products']} products of W "
            "with a vector on level 0",
            self.found.seconds,
        )

    def find_segments(self):
        settings, world, k = self.settings, self.world, self.settings.clusters
        clock = time.perf_counter()
        found, self.found = self.found, None
        mine = distributed_group(world, found, self.degrees, k, settings.seed)
        embedding = gather_array(world, found.vectors[:, : min(5, found.vectors.shape[1])])
        values, rows = found.values, found.rows
        del found
        self.degrees = None
        seconds = {"k-means": -clock + (clock := time.perf_counter())}
        labels = all_labels(world, mine, self.magnitude.size)
        del mine
        sums = merge_sums(world, rows, labels, k, settings.min_area)
        seconds["merge sums"] = -clock + (clock := time.perf_counter())
        pieces = kept = count = None
        if world.rank == 0:
            pieces, kept, count = merged_pieces(sums, labels, k, settings, self.shape)
        del labels
        # Specks join a neighbour by their rows of W, fetched from their owners.
        specks = speck_rows(world, rows, pieces, count, settings.min_area)
        picks, _ = pictures.chosen_pixels(self.shape, settings.radius)
        shown = gather_rows(world, rows, [row * self.shape[1] + column for row, column in picks])
        del rows
        final = None
        if world.rank == 0:
            specks.eliminate_zeros()
            pieces, final = absorb_specks(pieces, specks, settings.min_area)
            segments = enlarge(pieces, self.factor, self.original.shape[:2])
            self.run = Segmentation(
                self.original,
                self.image,
                self.magnitude,
                self.phase,
                shown,
                values,
                embedding,
                segments,
                final,
            )
        seconds["segments"] = time.perf_counter() - clock
        told = (
            f"{kept} after merging those tied across their border nearly as within, "
            f"{count} connected pieces, {final} of {settings.min_area} pixels or more"
        )
        return (
            f"k-means into {k} clusters (fitted on process 0 to level 1's nodes), "
            + (told if world.rank == 0 else ""),
            seconds,
        )
