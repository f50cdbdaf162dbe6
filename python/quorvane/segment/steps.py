"""The steps from a picture to its segments, in the order every driver takes them.

run() names the steps and a road takes them: Road here, over a picture in memory in one
process, or the distributed driver's (quorvane.segment.distributed.road), across MPI
processes. Each step of a road keeps what it finds on the road and returns what it did as
the arguments of the clock's step (the line to print and, across processes, the parts timed
on each), or None when the next step tells it. The steps run in the compiled core
(quorvane._quorvane); segment() takes them all in one call.
"""

import numpy as np
import scipy.sparse

from .. import _quorvane
from .edge_detection import boundary_strength, crests
from .photographs import picture_values, picture_array
from .regions import basins, find_segments, merge_regions
from .settings import Settings


def run(road, step):
    """Takes road's steps in order: the boundary strength, the basins, the weights, the
    merging and the segments; step(*done) hears what each did. Returns road."""
    for take in (road.measure, road.flood, road.weigh, road.merge, road.find_segments):
        done = take()
        if done is not None:
            step(*done)
    return road


class Road:
    """The steps in one process over a picture (any array photographs.picture_values takes).
    What they find stays on the road: picture (its values), strength, crests, basins and
    their count, weights (quorvane's, over the pixels in C order), regions (the merged
    region of every basin), segments (the picture's shape) and count."""

    def __init__(self, picture, settings=Settings()):
        self.picture, self.settings = picture_values(picture), settings
        self.shape = self.picture.shape[:2]

    def measure(self):
        settings = self.settings
        self.strength, orientation = boundary_strength(
            self.picture, settings.scale, settings.workers
        )
        self.crests = crests(self.strength, orientation, settings.workers)
        return self.measured()

    def measured(self):
        colour = " in colour" if self.picture.ndim == 3 else ""
        return (
            f"boundary strength{colour} at scales {self.settings.scale:g} x 1, 2, 4, in units "
            "of the picture's own noise",
        )

    def flood(self):
        self.basins, self.basin_count = basins(self.strength)

    def weigh(self):
        settings, (h, w) = self.settings, self.shape
        arrays = _quorvane.disc_weights(
            self.crests, self.basins, settings.radius, settings.contrast, 0, h * w, settings.workers
        )
        self.weights = scipy.sparse.csc_matrix(arrays, shape=(h * w, h * w))
        return self.weighed(self.weights.nnz)

    def weighed(self, entries, shared=""):
        settings = self.settings
        return (
            f"{self.basin_count} basins; weights from quorvane across them{shared}: disc "
            f"pattern of radius {settings.radius:g}, {entries} entries, sigma "
            f"{settings.sigma:.3g}",
        )

    def merge(self):
        settings = self.settings
        self.regions, merged, rounds = merge_regions(
            self.basins, self.basin_count, self.weights, settings.smallest, workers=settings.workers
        )
        return self.merged(merged, rounds)

    def merged(self, count, rounds):
        return (
            f"{self.basin_count} basins merged into {count} regions in {rounds} "
            f"rounds (borders under {self.settings.contrast:g} noise units merged)",
        )

    def find_segments(self):
        settings = self.settings
        self.segments, self.count = find_segments(
            self.regions[self.basins],
            self.picture,
            self.weights,
            settings.smallest,
            workers=settings.workers,
        )
        return self.found()

    def found(self):
        return (
            f"{self.count} segments, each one piece of {self.settings.smallest} pixels or more, "
            "borders settled on the picture's values",
        )


def segment(picture, settings=Settings()):
    """The segments of a picture: an int64 array of its first two axes' shape, every pixel's
    segment 0 .. count-1 (numbered in the order of their first pixel in C order). The
    picture is any numpy array of real values, grey (H x W), colour (H x W x 3) or with
    alpha (H x W x 4), read as photographs.picture_values says; every step runs in the
    compiled core, in one call."""
    values = np.ascontiguousarray(picture_array(picture), dtype=np.float64)
    s = settings
    return _quorvane.segment(values, s.scale, s.contrast, s.smallest, s.radius, s.workers)
