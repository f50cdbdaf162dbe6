"""Segmentation of a photograph over quorvane weights, one step per function.

The steps work on plain numpy and scipy.sparse arrays so that any driver (the command line
python3 -m quorvane.segment.demo, or python3 -m quorvane.segment.distributed, which spreads
the weights over processes) can put them together and time them. Pixels are numbered in
numpy's C order throughout, as in quorvane.weights. A picture is any numpy array of real
values, grey (H x W), colour (H x W x 3) or with alpha (H x W x 4).

    labels = segment(picture)                      # or segment(picture, Settings(...))

does it all; step by step:

    values = picture_values(picture)               # float64, [0, 1] for an image's values
    strength, orientation = boundary_strength(values)
    labels, count = basins(strength)               # catchment basins of the strength
    pattern = quorvane.disc_pattern(strength.shape, 3)
    w = quorvane.weights(crests(strength, orientation), labels.astype(float), *pattern,
                         Settings().sigma)
    regions, merged, rounds = merge_regions(labels, count, w)
    segments, count = find_segments(regions[labels], values, w)

Every step runs in the compiled core (quorvane._quorvane); segment() takes them in one call.
The modules: settings (Settings, Segmentation), photographs (reading, values, shrinking),
edge_detection and regions (the steps, over the compiled core), memory (the estimate and
refusal), steps (the order of the steps), clock, command_line (the commands' options), and
the drivers demo and distributed; pictures draws a run. Reading needs Pillow besides numpy
and scipy, pictures matplotlib.
"""

from .edge_detection import boundary_strength, crests
from .memory import available_memory, check_memory, memory_estimate
from .photographs import (
    enlarge,
    grey_of,
    picture_values,
    read_grey,
    read_picture,
    shrink,
    shrink_factor,
)
from .regions import (
    basins,
    connected_segments,
    find_segments,
    merge_regions,
    settle_borders,
    whole_segments,
)
from .settings import Segmentation, Settings
from .steps import segment

__all__ = [
    "Segmentation",
    "Settings",
    "available_memory",
    "basins",
    "boundary_strength",
    "check_memory",
    "connected_segments",
    "crests",
    "enlarge",
    "find_segments",
    "grey_of",
    "memory_estimate",
    "merge_regions",
    "picture_values",
    "read_grey",
    "read_picture",
    "segment",
    "settle_borders",
    "shrink",
    "shrink_factor",
    "whole_segments",
]
