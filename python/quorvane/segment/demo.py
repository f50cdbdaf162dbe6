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

import sys
from pathlib import Path

from . import command_line, photographs, steps
from .clock import Clock
from .memory import check_memory
from .settings import Segmentation

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


def parser():
    return command_line.parser(
        "python3 -m quorvane.segment.demo",
        "Segmentation of a photograph over quorvane weights; prints each step with its time and "
        "writes pictures of the steps.",
        "quorvane-demo",
    )


def _packages():
    from . import pictures

    import PIL.Image  # noqa: F401  (reading the photograph)

    pictures.check_matplotlib()
    return pictures


def main(argv=None):
    args = parser().parse_args(argv)
    pictures = command_line.loaded_or_told(MISSING, _packages)
    if pictures is None:
        return 1
    settings = command_line.chosen_settings(args)
    try:
        run, clock = segment_photograph(args.image, settings, args.shrink)
        pictures.write_all(args.outdir, Path(args.image).name, run, settings.radius)
    except (OSError, ValueError, MemoryError) as error:
        print(f"quorvane.demo: {error}", file=sys.stderr)
        return 1
    return command_line.finished(clock, f"pictures written to {args.outdir}", run.count)


if __name__ == "__main__":
    sys.exit(main())
