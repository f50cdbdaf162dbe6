"""Normalised-cut segmentation of a photograph over quorvane weights, one step per function.

The steps work on plain numpy and scipy.sparse arrays so that any driver (the command line
python3 -m quorvane.segment.demo, or python3 -m quorvane.segment.distributed, which spreads
the work over processes) can put them together and time them. Pixels are numbered in
numpy's C order throughout, as in quorvane.weights. A picture is grey (H x W) or colour
(H x W x 3), values in [0, 1].

    picture = read_picture("photo.png")
    small = shrink(picture, shrink_factor(picture.shape))
    magnitude, phase = edges(small)
    sigma = weight_sigma(small)
    pattern = quorvane.disc_pattern(magnitude.shape, 5)
    w = symmetric(quorvane.weights(magnitude, phase, *pattern, sigma))
    values, embedding, levels = leading_eigenvectors_multilevel(w, magnitude.shape, 32)
    clusters = group(embedding, levels, 48)
    merged, kept = merge_similar(clusters, w, 0.4, 40, 4 * w.nnz / w.shape[0])
    segments, count = connected_segments(merged.reshape(magnitude.shape))
    segments, count = absorb_specks(segments, w, 40)

or all of it: segment(picture, Settings()) (quorvane.segment.steps).

The modules: settings (Settings, Segmentation), photographs (reading, shrinking), edge_detection,
eigenvectors (symmetric weights, degrees, leading eigenvectors), multilevel (the multilevel
eigensolver), grouping (k-means), merging (clusters to segments), memory (the estimate
and refusal), steps (the order of the steps), clock, and the drivers demo and distributed;
pictures draws a run. Reading needs Pillow besides numpy and scipy, cluster() alone
scikit-learn, pictures matplotlib.
"""

from .edge_detection import edge_unit, edges, noise_level, weight_sigma
from .grouping import cluster, group, kmeans, sums_by, unit_rows
from .memory import available_memory, check_memory, memory_estimate
from .merging import (
    absorb_specks,
    border_sums,
    coherence_sums,
    connected_segments,
    merge_bordering,
    merge_coherent,
    merge_similar,
    merge_unseparated,
)
from .photographs import enlarge, grey_of, read_grey, read_picture, shrink, shrink_factor
from .settings import Segmentation, Settings
from .eigenvectors import (
    degrees_of,
    leading_eigenvectors,
    leading_eigenvectors_multilevel,
    normalised_affinity,
    start_vector,
    symmetric,
)
from .steps import segment

__all__ = [
    "Segmentation",
    "Settings",
    "absorb_specks",
    "available_memory",
    "border_sums",
    "check_memory",
    "cluster",
    "coherence_sums",
    "connected_segments",
    "degrees_of",
    "edge_unit",
    "edges",
    "enlarge",
    "grey_of",
    "group",
    "kmeans",
    "leading_eigenvectors",
    "leading_eigenvectors_multilevel",
    "memory_estimate",
    "merge_bordering",
    "merge_coherent",
    "merge_similar",
    "merge_unseparated",
    "noise_level",
    "normalised_affinity",
    "read_grey",
    "read_picture",
    "segment",
    "shrink",
    "shrink_factor",
    "start_vector",
    "sums_by",
    "symmetric",
    "unit_rows",
    "weight_sigma",
]
