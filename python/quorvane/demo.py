"""Segments a photograph with quorvane weights and a normalised cut, and draws each step.

    python3 -m quorvane.demo IMAGE [OUTDIR]

Reads a grey or colour photograph, shrinks it by block means to at most 120000 pixels,
takes its edges (in colour, the strongest channel's), weighs every pair of pixels within 4
of each other with quorvane, embeds the pixels with the 32 leading eigenvectors of the
normalised cut by the multilevel method (quorvane.multilevel), splits them into 48 k-means
clusters, merges neighbouring clusters tied across their border about as well as within,
makes every connected piece a segment and lets specks join a neighbour. Prints each step
with its time (and the eigenvectors' progress) and, last, the number of segments; writes
input.png, edges.png, weights.png, weights-where.png, eigenvectors.png and segmentation.png
into OUTDIR (default: quorvane-demo).

Needs matplotlib and Pillow besides numpy and scipy: pip install "quorvane[demo]", or
Debian's python3-matplotlib, python3-pil.
"""

import argparse
import sys
import time
from pathlib import Path

MISSING = (
    "quorvane.demo: {error}. It needs matplotlib and Pillow: "
    'pip install "quorvane[demo]", or apt-get install python3-matplotlib python3-pil'
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
    original = seg.read_picture(path)
    factor = shrink or seg.shrink_factor(original.shape, settings.pixel_budget)
    image = seg.shrink(original, factor)
    seg.check_memory(image.shape[:2], settings)
    clock.step(f"read {path} ({original.shape[0]} x {original.shape[1]}{', colour' if original.ndim == 3 else ''}), "
               f"shrunk by {factor} to {image.shape[0]} x {image.shape[1]}")
    try:
        magnitude, phase, w, values, embedding, pieces, count = seg.segment(
            image, settings, clock.step, say=lambda text: say(f"         {text}"))
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    segments = seg.enlarge(pieces, factor, original.shape[:2])
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
        help="block size of the shrinking (default: the smallest that leaves at most 120000 pixels; "
        "1 keeps the photograph as it is)",
    )
    p.add_argument("--radius", type=positive(float), metavar="R", help="radius of the disc pattern (default 4)")
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
    except (OSError, ValueError, MemoryError) as error:
        print(f"quorvane.demo: {error}", file=sys.stderr)
        return 1
    clock.step(f"pictures written to {args.outdir}")
    clock.total()
    print(f"{run.count} segments")
    return 0


if __name__ == "__main__":
    sys.exit(main())
