"""What a run in one process would hold at its peak, and its refusal before any work when the
machine has not that much available."""

import math

from .settings import Settings


# Per pattern entry: quorvane's result (8 bytes a weight, 4 an index) and the pattern's
# index while it is made; the region sums take their entries a chunk at a time.
ENTRY_BYTES = 16
# Per pixel: the picture's channels, their gradients at one scale, the strength, crests,
# orientation, basins and labels, as float64 and int64 arrays.
PIXEL_BYTES = 400
# The interpreter with numpy, scipy, matplotlib (the pictures) and, across processes, MPI.
# The demo with its pictures peaked at 678 MiB for a 1000 x 1000 colour photograph taken
# whole and at 1898 MiB for 2000 x 1500, under the estimates of 984 and 2631 MiB.
BASE_BYTES = 160 << 20


def pattern_entries(shape, radius):
    """About the number of pairs of the disc pattern of radius over an image of this shape
    (never fewer): the pixels times the disc's pixel count."""
    pixels = shape[0] * shape[1]
    if radius >= shape[0] + shape[1]:
        return pixels * pixels
    reach = int(math.floor(radius))
    disc = sum(2 * math.isqrt(int(radius**2 - dy * dy)) + 1 for dy in range(-reach, reach + 1))
    return pixels * min(disc, pixels)


def memory_estimate(shape, settings=Settings(), processes=1):
    """Bytes a run on an image of this shape holds at its peak, never less, in each of
    `processes` processes that share the weights: its share of the disc pattern's entries
    (pattern_entries) at ENTRY_BYTES each, PIXEL_BYTES per pixel (which every process
    holds) and the interpreter's BASE_BYTES (see their comments)."""
    pixels = shape[0] * shape[1]
    share = -(-pattern_entries(shape, settings.radius) // processes)
    return share * ENTRY_BYTES + pixels * PIXEL_BYTES + BASE_BYTES


def available_memory(path="/proc/meminfo"):
    """MemAvailable of this machine (of the meminfo file at path) in bytes, or None where
    there is no such figure."""
    try:
        with open(path) as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def check_memory(shape, settings=Settings(), available=None):
    """A ValueError, before any work, when memory_estimate() exceeds the memory available
    (MemAvailable unless given), with both figures; else the estimate."""
    need = memory_estimate(shape, settings)
    available = available_memory() if available is None else available
    if available is not None and need > available:
        raise ValueError(
            f"segmenting {shape[0]} x {shape[1]} pixels at radius {settings.radius:g} needs about "
            f"{need / 2**30:.1f} GiB, but only {available / 2**30:.1f} GiB are available "
            "(MemAvailable); shrink the photograph (--shrink) or lower the radius"
        )
    return need
