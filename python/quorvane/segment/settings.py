"""The choices of a segmentation run, and what a run produced."""

from dataclasses import dataclass, replace

import numpy as np
import scipy.sparse

from .. import _quorvane

# A weight of one half: two regions whose pairs across their border weigh this much on
# average are as much apart as together. The contrast setting is the edge that gives it
# (the weights' sigma).
HALF = 0.5


@dataclass(frozen=True)
class Settings:
    """The choices of a segmentation run, with the values the demo uses. Strengths are in
    units of the picture's own noise (see edge_detection): what its sensor noise, grain and
    compression give where the picture is flattest."""

    # Finest scale of the edge filters, in pixels: edges are measured at scale, 2 scale and
    # 4 scale. Larger for pictures that are blurred or enlarged.
    scale: float = 1.0
    # Two neighbouring regions stay apart when the edge between them is at least this
    # strong on average; weaker borders are merged away. Lower finds fainter regions.
    contrast: float = 9.4
    # Segments of fewer pixels join the neighbour they are most tied to.
    smallest: int = 8
    # Radius of the disc pattern of the weights: every pixel is paired with those this close.
    radius: float = 3.0
    # Largest pixel count of the shrunk image (the demo's shrinking; the work grows with it).
    pixel_budget: int = 120000
    # Threads of quorvane.weights (-1: every usable core).
    workers: int = -1

    def chosen(self, **options):
        """These settings with the options given (a command line's scale, contrast, ...);
        options that are None keep their value."""
        return replace(
            self, **{name: value for name, value in options.items() if value is not None}
        )

    @property
    def sigma(self):
        """sigma of the weights: an edge of strength contrast weighs HALF."""
        return _quorvane.weight_sigma(self.contrast)


@dataclass
class Segmentation:
    """What a run produced, for the pictures: the photograph and its shrunk picture (values
    in [0, 1]), the shrunk picture's boundary strength and its thinned crests, the basins,
    the weights, the merged region of every pixel of the shrunk picture, and the segment of
    every pixel of the photograph (0 .. count-1)."""

    original: np.ndarray
    image: np.ndarray
    strength: np.ndarray
    crests: np.ndarray
    basins: np.ndarray
    weights: scipy.sparse.spmatrix
    regions: np.ndarray
    segments: np.ndarray
    count: int
