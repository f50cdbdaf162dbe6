"""The command lines' shared parts: the options of a segmentation run and their settings, the
message for a missing package, and a run's last lines. The demo and the distributed run
build on them."""

import argparse
import sys

from .settings import Settings


def positive(kind):
    def parse(text):
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"shall be positive, got {text}")
        return value

    return parse


def parser(prog, description, outdir):
    """The options of a command that segments one photograph and writes its pictures into
    outdir (the default folder)."""
    p = argparse.ArgumentParser(prog=prog, description=description)
    p.add_argument("image", help="a grey or colour photograph (any format Pillow reads)")
    p.add_argument(
        "outdir",
        nargs="?",
        default=outdir,
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
    """The default Settings with the command line's choices."""
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


def finished(clock, written, count, say=print):
    """A command's last lines: the pictures' step (written), the total and the number of
    segments; its exit status, 0."""
    clock.step(written)
    clock.total()
    say(f"{count} segments")
    return 0
