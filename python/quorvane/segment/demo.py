"""Segments a photograph with quorvane weights and a normalised cut, and draws each step.

    python3 -m quorvane.segment.demo IMAGE [OUTDIR]

Reads a grey or colour photograph, shrinks it by block means to at most 120000 pixels,
takes its edges (in colour, the strongest channel's), weighs every pair of pixels within 4
of each other with quorvane, embeds the pixels with the 32 leading eigenvectors of the
normalised cut by the multilevel method (quorvane.segment.multilevel), splits them into 48
k-means clusters, merges neighbouring clusters tied across their border about as well as
within, makes every connected piece a segment and lets specks join a neighbour. Prints each
step with its time (and the eigenvectors' progress) and, last, the number of segments;
writes input.png, edges.png, weights.png, weights-where.png, eigenvectors.png and
segmentation.png into OUTDIR (default: quorvane-demo).

Needs matplotlib and Pillow besides numpy and scipy: pip install "quorvane[demo]", or
Debian's python3-matplotlib, python3-pil.
"""

import argparse
import sys
from pathlib import Path

from . import photographs, steps
from .clock import Clock
from .memory import check_memory
from .settings import Segmentation, Settings

MISSING = (
    "quorvane.demo: {error}. It needs matplotlib and Pillow: "
    'pip install "quorvane[demo]", or apt-get install python3-matplotlib python3-pil'
)


def segment(path, settings, shrink=None, say=print):
    """Runs every step on the photograph at path, reporting each through say; returns the
    quorvane.segment.Segmentation and the Clock (to go on timing the pictures)."""
    clock = Clock(say)
    original = photographs.read_picture(path)
    factor = shrink or photographs.shrink_factor(original.shape, settings.pixel_budget)
    image = photographs.shrink(original, factor)
    check_memory(image.shape[:2], settings)
    colour = ", colour" if original.ndim == 3 else ""
    clock.step(
        f"read {path} ({original.shape[0]} x {original.shape[1]}{colour}), "
        f"shrunk by {factor} to {image.shape[0]} x {image.shape[1]}"
    )
    road = steps.Road(image, settings, say=lambda text: say(f"         {text}"))
    try:
        steps.run(road, clock.step)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    segments = photographs.enlarge(road.segments, factor, original.shape[:2])
    found = (road.magnitude, road.phase, road.w, road.values, road.embedding)
    return Segmentation(original, image, *found, segments, road.count), clock


def positive(kind):
    def parse(text):
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"shall be positive, got {text}")
        return value

    return parse


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m quorvane.segment.demo",
        description="Normalised-cut segmentation of a photograph with quorvane weights; "
        "prints each step with its time and writes pictures of the steps.",
    )
    p.add_argument("image", help="a grey or colour photograph (any format Pillow reads)")
    p.add_argument(
        "outdir",
        nargs="?",
        default="quorvane-demo",
        help="where the pictures go (default: %(default)s)",
    )
    p.add_argument(
        "--shrink",
        type=positive(int),
        metavar="N",
        help="block size of the shrinking (default: the smallest that leaves at most 120000 "
        "pixels; 1 keeps the photograph as it is)",
    )
    p.add_argument(
        "--radius", type=positive(float), metavar="R", help="radius of the disc pattern (default 4)"
    )
    p.add_argument(
        "--eigenvectors", type=positive(int), metavar="K", help="leading eigenvectors (default 32)"
    )
    p.add_argument(
        "--clusters", type=positive(int), metavar="C", help="k-means clusters (default 48)"
    )
    return p


def chosen_settings(args):
    """The demo's Settings with the command line's choices."""
    return Settings().chosen(
        radius=args.radius, eigenvectors=args.eigenvectors, clusters=args.clusters
    )


def loaded_or_told(missing, load):
    """What load() imports for a command, or None after printing missing (a message with
    {error}) to stderr when a package is not there."""
    try:
        return load()
    except ImportError as error:
        print(missing.format(error=error), file=sys.stderr)
        return None


def _packages():
    from . import pictures

    import PIL.Image  # noqa: F401  (reading the photograph)

    return pictures


def main(argv=None):
    args = parser().parse_args(argv)
    pictures = loaded_or_told(MISSING, _packages)
    if pictures is None:
        return 1
    settings = chosen_settings(args)
    try:
        run, clock = segment(args.image, settings, args.shrink)
        pictures.write_all(args.outdir, Path(args.image).name, run, settings.radius)
    except (OSError, ValueError, MemoryError) as error:
        print(f"quorvane.demo: {error}", file=sys.stderr)
        return 1
    return finished(clock, f"pictures written to {args.outdir}", run.count)


def finished(clock, written, count, say=print):
    """A command's last lines: the pictures' step (written), the total and the number of
    segments; its exit status, 0."""
    clock.step(written)
    clock.total()
    say(f"{count} segments")
    return 0


if __name__ == "__main__":
    sys.exit(main())
