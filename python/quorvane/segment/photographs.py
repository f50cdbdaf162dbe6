"""Photographs read as float64 values in [0, 1], shrunk by block means and labels enlarged back.

Pillow is imported when a photograph is read, so that the rest of the steps need only numpy
and scipy.
"""

import numpy as np

from .settings import Settings


def read_grey(path):
    """The photograph at path as a 2-D float64 array of grey values in [0, 1].

    Colour is turned to luma (ITU-R 601, as Pillow's "L" mode); alpha is dropped; of an
    animation or a multi-page file only the first frame counts. Images of 16-bit, 32-bit
    integer or float values are divided by their largest value when it exceeds 1.
    """
    from PIL import Image

    with Image.open(path) as picture:
        if picture.mode in ("I", "F") or picture.mode.startswith("I;16"):
            grey = np.asarray(picture, dtype=np.float64)
            if not np.isfinite(grey).all():
                raise ValueError(f"{path}: the image holds values that are not finite")
            return grey / max(grey.max(), 1.0)
        return np.asarray(picture.convert("L"), dtype=np.float64) / 255


def read_picture(path):
    """The photograph at path as float64 values in [0, 1]: H x W x 3 (RGB) when it has
    colour, else H x W as read_grey() reads it. Alpha is dropped, a palette resolved; only
    the first frame counts."""
    from PIL import Image

    with Image.open(path) as picture:
        if picture.mode in ("RGB", "RGBA", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV", "RGBX"):
            rgb = np.asarray(picture.convert("RGB"), dtype=np.float64) / 255
            if not (rgb[:, :, 0] == rgb[:, :, 1]).all() or not (rgb[:, :, 1] == rgb[:, :, 2]).all():
                return rgb
    return read_grey(path)


def grey_of(picture):
    """Grey values of a picture: itself when grey, else luma (ITU-R 601)."""
    if picture.ndim == 2:
        return picture
    return picture @ np.array([0.299, 0.587, 0.114])


def shrink_factor(shape, pixel_budget=Settings.pixel_budget):
    """The smallest whole factor that brings an image of this shape within the budget."""
    factor = 1
    while (shape[0] // factor) * (shape[1] // factor) > pixel_budget:
        factor += 1
    return factor


def shrink(image, factor):
    """Means of factor x factor blocks (rows and columns left over at the end are dropped),
    channel by channel for a colour picture."""
    h, w = image.shape[0] // factor, image.shape[1] // factor
    if h == 0 or w == 0:
        raise ValueError(
            f"an image of {image.shape[0]} x {image.shape[1]} cannot shrink by {factor}"
        )
    if factor == 1:
        return image
    blocks = image[: h * factor, : w * factor].reshape(h, factor, w, factor, *image.shape[2:])
    return blocks.mean(axis=(1, 3))


def enlarge(labels, factor, shape):
    """Labels of a shrunk image back at the original shape: each block takes its label, and
    rows and columns that shrinking dropped take those of the last block."""
    big = np.repeat(np.repeat(labels, factor, axis=0), factor, axis=1)
    return np.pad(big, [(0, shape[0] - big.shape[0]), (0, shape[1] - big.shape[1])], mode="edge")
