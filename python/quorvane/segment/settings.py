"""The choices of a segmentation run, and what a run produced."""

from dataclasses import dataclass, replace

import numpy as np
import scipy.sparse


@dataclass(frozen=True)
class Settings:
    """The choices of a segmentation run, with the values the demo uses."""

    # Largest pixel count of the shrunk image: the work grows with it.
    pixel_budget: int = 120000
    # Gaussian standard deviation of the edge filters, in pixels of the shrunk image.
    smoothing: float = 1.0
    # Radius of the disc pattern: every pixel is paired with those this close.
    radius: float = 4.0
    # Hysteresis of the edges, in units of the gradient that sensor noise alone gives (see
    # edge_unit()): the phase changes only along edges above edge_high, and in the pixels
    # above edge_low connected to them.
    edge_low: float = 3.0
    edge_high: float = 6.0
    # sigma of the weights in the same unit: an edge at edge_high gives exp(-(6/2)^2/2),
    # about 0.01, to pairs across it.
    sigma_noise: float = 2.0
    # Leading eigenvectors of (W, D) that embed the pixels: more than the objects of a
    # photograph like coins.png (24 coins, a background and a few specks).
    eigenvectors: int = 32
    # ARPACK's relative accuracy in leading_eigenvectors() (the full solve, not the demo's).
    tolerance: float = 1e-12
    # Seed of the k-means (and of leading_eigenvectors()' start vector): runs repeat.
    seed: int = 0
    # k-means clusters: well more than the objects, so that none is forced to share one.
    clusters: int = 48
    # Neighbouring clusters whose pairs across their border have a mean weight above this
    # are not separated by any edge, and merge.
    merge_above: float = 0.4
    # Weights below this are raised to it: pixels cut off all round (slivers on an edge,
    # specks) then tie weakly to their surroundings, and each sheds its own eigenvalue 1
    # (the normalised cut of a small piece costs in proportion to its small volume).
    weight_floor: float = 0.0
    # Clusters merge only along a border of at least this many pixels' pattern entries
    # (a border of a few pixels is a leak through a gap in an edge).
    min_border: float = 4.0
    # Segments of fewer pixels join the neighbour they are most strongly tied to.
    min_area: int = 40

    def chosen(self, **options):
        """These settings with the options given (a command line's radius, eigenvectors,
        clusters, ...); options that are None keep their value."""
        return replace(
            self, **{name: value for name, value in options.items() if value is not None}
        )


@dataclass
class Segmentation:
    """What a run produced, for the pictures: the photograph and its shrunk image (grey, in
    [0, 1]), the shrunk image's edges, its symmetric weights, the leading eigenvalues and
    the embedding, and the segment of every pixel of the photograph (0 .. count-1)."""

    original: np.ndarray
    image: np.ndarray
    magnitude: np.ndarray
    phase: np.ndarray
    weights: scipy.sparse.csr_matrix
    values: np.ndarray
    embedding: np.ndarray
    segments: np.ndarray
    count: int
