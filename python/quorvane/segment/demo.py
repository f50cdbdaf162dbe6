"""Segments a photograph over quorvane weights, and draws each step.

    python3 -m quorvane.segment.demo IMAGE [OUTDIR]

Reads a grey or colour photograph, shrinks it by block means to at most 120000 pixels,
measures its boundary strength in units of its own noise, floods the strength's catchment
basins, weighs every pair of pixels within 3 of each other with quorvane across the basins'
borders, merges neighbouring regions while the pairs across their border weigh at least a
half on average (borders under the contrast setting), and makes every connected piece of
at least the smallest size a segment. Prints each step with its time and, last, the
number of segments; writes input.png, strength.png, weights.png, weights-where.png,
regions.png and segmentation.png into OUTDIR (default: quorvane-demo).

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


def segment_photograph(path, settings, shrink=None, say=print):
    """Runs every step on the photograph at path, reporting each through say; returns the
    quorvane.segment.Segmentation and the Clock (to go on timing the pictures)."""
    clock = Clock(say)
    size = photographs.picture_size(path)
    factor = shrink or photographs.shrink_factor(size, settings.pixel_budget)
    check_memory((size[0] // factor, size[1] // factor), settings)
    original = photographs.read_picture(path)
    image = photographs.shrink(original, factor)
    colour = ", colour" if original.ndim == 3 else ""
    clock.step(
        f"read {path} ({original.shape[0]} x {original.shape[1]}{colour}), "
        f"shrunk by {factor} to {image.shape[0]} x {image.shape[1]}"
    )
    try:
        road = steps.run(steps.Road(image, settings), clock.step)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    segments = photographs.enlarge(road.segments, factor, original.shape[:2])
    found = (road.strength, road.crests, road.basins, road.weights, road.regions[road.basins])
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
        description="Segmentation of a photograph over quorvane weights; "
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
        "--scale",
        type=positive(float),
        metavar="S",
        help="finest scale of the edge filters in pixels (default 1; more for blurred pictures)",
    )
    p.add_argument(
        "--contrast",
        type=positive(float),
        metavar="C",
        help="edge strength, in noise units, that keeps two regions apart (default 9.4; "
        "lower finds fainter regions)",
    )
    p.add_argument(
        "--smallest",
        type=positive(int),
        metavar="N",
        help="smallest segment in pixels (default 8)",
    )
    p.add_argument(
        "--radius", type=positive(float), metavar="R", help="radius of the disc pattern (default 3)"
    )
    return p


def chosen_settings(args):
    """The demo's Settings with the command line's choices."""
    return Settings().chosen(
        scale=args.scale, contrast=args.contrast, smallest=args.smallest, radius=args.radius
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
        run, clock = segment_photograph(args.image, settings, args.shrink)
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
