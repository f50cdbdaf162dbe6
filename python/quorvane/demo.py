"""Segments a photograph with quorvane weights and a normalised cut, and draws each step.

    python3 -m quorvane.demo IMAGE [OUTDIR]

Reads a grey or colour photograph, shrinks it by block means to at most 65536 pixels,
takes its edge magnitude and phase, weighs every pair of pixels within 6 of each other with
quorvane, embeds the pixels with the 32 leading eigenvectors of the normalised affinity,
splits them into 48 k-means clusters, merges neighbouring clusters that no edge separates
and makes every connected piece a segment. Prints each step with its time and, last, the
number of segments; writes input.png, edges.png, weights.png, weights-where.png,
eigenvectors.png and segmentation.png into OUTDIR (default: quorvane-demo).

Needs scikit-learn, matplotlib and Pillow besides numpy and scipy:
pip install "quorvane[demo]", or Debian's python3-sklearn, python3-matplotlib, python3-pil.
"""

import argparse
import sys
import time
from pathlib import Path

from . import disc_pattern, weights

MISSING = (
    "quorvane.demo: {error}. It needs scikit-learn, matplotlib and Pillow: "
    'pip install "quorvane[demo]", or apt-get install python3-sklearn python3-matplotlib python3-pil'
)


class Clock:
    """Prints each step's time since the previous step, and the total at the end."""

    def __init__(self, say):
        self.say = say
        self.start = self.last = time.perf_counter()

    def step(self, what):
        now = time.perf_counter()
        self.say(f"{now - self.last:7.2f} s  {what}")
        self.last = now

    def total(self):
        self.say(f"{time.perf_counter() - self.start:7.2f} s  total")


def segment(path, settings, shrink=None, say=print):
    """Runs every step on the photograph at path, reporting each through say; returns the
    quorvane.segmentation.Segmentation and the Clock (to go on timing the pictures)."""
    from . import segmentation as seg

    clock = Clock(say)
    original = seg.read_grey(path)
    factor = shrink or seg.shrink_factor(original.shape, settings.pixel_budget)
    image = seg.shrink(original, factor)
    n = image.size
    clock.step(f"read {path} ({original.shape[0]} x {original.shape[1]}), "
               f"shrunk by {factor} to {image.shape[0]} x {image.shape[1]}")

    magnitude, phase = seg.edges(image, settings.smoothing)
    sigma = settings.sigma_share * magnitude.max()
    if not sigma > 0:
        raise ValueError(f"{path} has no edges to segment by")
    clock.step(f"edge magnitude (gradient) and phase (sign of the Laplacian), smoothing {settings.smoothing:g}")

    indices, indptr = disc_pattern(image.shape, settings.radius)
    clock.step(f"disc pattern of radius {settings.radius:g}: {indices.size} pairs")

    w = seg.symmetric(weights(magnitude, phase, indices, indptr, sigma))
    clock.step(f"weights from quorvane: {n} x {n} sparse, sigma {sigma:.4g}")

    affinity, degrees = seg.normalised_affinity(w)
    values, embedding = seg.leading_eigenvectors(
        affinity, degrees, settings.eigenvectors, settings.tolerance, settings.seed)
    clock.step(f"normalised cut: {settings.eigenvectors} leading eigenvectors of D^-1/2 W D^-1/2 "
               f"by eigsh, tolerance {settings.tolerance:g}")

    clusters = seg.cluster(embedding, settings.clusters, settings.seed)
    merged, kept = seg.merge_unseparated(clusters, w, settings.merge_above)
    pieces, count = seg.connected_segments(merged.reshape(image.shape))
    clock.step(f"k-means into {settings.clusters} clusters, {kept} after merging unseparated ones, "
               f"{count} connected segments")
    segments = seg.enlarge(pieces, factor, original.shape)
    return seg.Segmentation(original, image, magnitude, phase, w, values, embedding, segments, count), clock


def positive(kind):
    def parse(text):
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"shall be positive, got {text}")
        return value

    return parse


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m quorvane.demo",
        description="Normalised-cut segmentation of a photograph with quorvane weights; "
        "prints each step with its time and writes pictures of the steps.",
    )
    p.add_argument("image", help="a grey or colour photograph (any format Pillow reads)")
    p.add_argument("outdir", nargs="?", default="quorvane-demo", help="where the pictures go (default: %(default)s)")
    p.add_argument(
        "--shrink",
        type=positive(int),
        metavar="N",
        help="block size of the shrinking (default: the smallest that leaves at most 65536 pixels; "
        "1 keeps the photograph as it is)",
    )
    p.add_argument("--radius", type=positive(float), metavar="R", help="radius of the disc pattern (default 6)")
    p.add_argument("--eigenvectors", type=positive(int), metavar="K", help="leading eigenvectors (default 32)")
    p.add_argument("--clusters", type=positive(int), metavar="C", help="k-means clusters (default 48)")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        from . import pictures, segmentation
    except ImportError as error:
        print(MISSING.format(error=error), file=sys.stderr)
        return 1
    settings = segmentation.Settings().chosen(
        radius=args.radius, eigenvectors=args.eigenvectors, clusters=args.clusters
    )
    try:
        run, clock = segment(args.image, settings, args.shrink)
        pictures.write_all(args.outdir, Path(args.image).name, run, settings.radius)
    except (OSError, ValueError) as error:
        print(f"quorvane.demo: {error}", file=sys.stderr)
        return 1
    clock.step(f"pictures written to {args.outdir}")
    clock.total()
    print(f"{run.count} segments")
    return 0


if __name__ == "__main__":
    sys.exit(main())
