"""The steps from a picture to its segments, in the order every driver takes them.

run() names the steps and a road takes them: Road here, over a picture in memory in one
process, or the distributed driver's (quorvane.segment.distributed.road), across MPI
processes. Each step of a road keeps what it finds on the road and returns what it did as
the arguments of the clock's step (the line to print and, across processes, the parts timed
on each), or None when the next step tells it.
"""

import numpy as np

import quorvane

from .edge_detection import edges, weight_sigma
from .eigenvectors import leading_eigenvectors_multilevel, symmetric
from .grouping import group
from .merging import absorb_specks, connected_segments, merge_similar
from .settings import Settings


def run(road, step):
    """Takes road's steps in order: the edges, the weights, the symmetric weights, the
    eigenvectors and the segments; step(*done) hears what each did. Returns road."""
    for take in (road.find_edges, road.weigh, road.symmetrise, road.embed, road.find_segments):
        done = take()
        if done is not None:
            step(*done)
    return road


class Road:
    """The steps in one process over a (shrunk) grey or colour picture. What they find
    stays on the road: magnitude, phase, sigma, w (the symmetric weights), values,
    embedding, levels, segments (the shape of the picture's first two axes) and count.
    say(text), when given, hears the eigenvectors' progress."""

    def __init__(self, picture, settings=Settings(), say=None):
        self.picture, self.settings, self.say = picture, settings, say
        self.shape = picture.shape[:2]
        self.pixels = self.shape[0] * self.shape[1]

    def find_edges(self):
        settings, n = self.settings, self.pixels
        if n <= settings.eigenvectors:
            raise ValueError(
                f"{settings.eigenvectors} eigenvectors need more than {settings.eigenvectors} "
                f"pixels, got {n}"
            )
        if n < settings.clusters:
            raise ValueError(
                f"{settings.clusters} clusters need at least {settings.clusters} pixels, got {n}"
            )
        self.magnitude, self.phase = edges(
            self.picture, settings.smoothing, settings.edge_low, settings.edge_high
        )
        if not self.phase.any():
            raise ValueError("the picture has no edges to segment by")
        self.sigma = weight_sigma(self.picture, settings.smoothing, settings.sigma_noise)
        return (
            f"edges: gradient magnitude{' (strongest channel)' if self.picture.ndim == 3 else ''}, "
            f"phase: sign of the Laplacian on edges above {settings.edge_high:g} noise units, "
            f"smoothing {settings.smoothing:g}",
        )

    def weigh(self):
        indices, indptr = quorvane.disc_pattern(self.shape, self.settings.radius)
        self.w = quorvane.weights(self.magnitude, self.phase, indices, indptr, self.sigma)

    def symmetrise(self):
        self.w = symmetric(self.w)
        np.maximum(self.w.data, self.settings.weight_floor, out=self.w.data)
        return (
            f"weights from quorvane: disc pattern of radius {self.settings.radius:g}, "
            f"{self.w.nnz} entries, sigma {self.sigma:.4g}",
        )

    def embed(self):
        count = self.settings.eigenvectors
        self.values, self.embedding, self.levels = leading_eigenvectors_multilevel(
            self.w, self.shape, count, self.say
        )
        nodes = " > ".join(str(level.weights.shape[0]) for level in self.levels)
        return (
            f"{count} leading eigenvectors of (W, D) over {len(self.levels)} levels "
            f"({nodes} nodes)",
        )

    def find_segments(self):
        settings = self.settings
        clusters = group(self.embedding, self.levels, settings.clusters, settings.seed)
        border = settings.min_border * self.w.nnz / self.pixels
        merged, kept = merge_similar(
            clusters, self.w, settings.merge_above, settings.min_area, border
        )
        pieces, count = connected_segments(merged.reshape(self.shape))
        self.segments, self.count = absorb_specks(pieces, self.w, settings.min_area)
        return (
            f"k-means into {settings.clusters} clusters, {kept} after merging those tied across "
            f"their border nearly as within, {count} connected pieces, {self.count} of "
            f"{settings.min_area} pixels or more",
        )


def segment(picture, settings=Settings(), step=None, say=None):
    """Every step from a (shrunk) grey or colour picture to its segments; step(text), when
    given, is called after each with what was done (for timing), say(text) with the
    progress of the eigenvectors. Returns (magnitude, phase, w, values, embedding,
    segments, count), segments the shape of the picture's first two axes."""
    road = run(Road(picture, settings, say), step or (lambda text: None))
    return (
        road.magnitude,
        road.phase,
        road.w,
        road.values,
        road.embedding,
        road.segments,
        road.count,
    )
