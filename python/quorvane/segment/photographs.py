"""Pictures as the steps take them: numpy arrays a user holds read as float64 values, photographs
read from files, shrunk by block means, and labels enlarged back.

Pillow is imported when a photograph is read, so that the rest of the steps need only numpy
and scipy.
"""

import numpy as np

from .. import _quorvane
from .settings import Settings


def picture_array(picture):
    """The picture's array as the steps take it, H x W or H x W x C (C of 1, 3 or 4), after
    the checks of its type, dtype and shape (see picture_values); bool as 0 and 1."""
    if not isinstance(picture, np.ndarray):
        raise TypeError(
            f"the picture shall be a numpy array (H x W, H x W x 3 or H x W x 4), "
            f"got {type(picture).__name__}"
        )
    if picture.dtype != bool and not (
        np.issubdtype(picture.dtype, np.integer) or np.issubdtype(picture.dtype, np.floating)
    ):
        raise ValueError(f"the picture shall hold real numbers, got dtype {picture.dtype}")
    if not (picture.ndim == 2 or (picture.ndim == 3 and picture.shape[2] in (1, 3, 4))):
        raise ValueError(
            f"the picture shall be H x W, H x W x 3 or H x W x 4, got shape {picture.shape}"
        )
    return picture


def picture_values(picture):
    """The picture as the steps read it: float64, H x W (grey) or H x W x 3 (colour), in
    [0, 1] when its values are those of an image.

    Any real dtype is read as its values: bool as 0 and 1; values within [0, 1] as they
    are, within [0, 255] (8-bit) divided by 255, within [0, 65535] (16-bit) by 65535, others
    by their largest magnitude, so that one photograph held as uint8, uint16, float in
    [0, 1] or float in [0, 255] gives the very same values. H x W x 1 is grey, H x W x 4
    drops its alpha, a colour picture whose channels are all equal is grey. Anything else is
    a ValueError (TypeError for what is not a numpy array) of one line naming the fault."""
    values = np.ascontiguousarray(picture_array(picture), dtype=np.float64)
    return _quorvane.picture_values(values)


def picture_size(path):
    """(rows, columns) of the photograph at path, from its header alone."""
    from PIL import Image

    with Image.open(path) as picture:
        return picture.size[1], picture.size[0]


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
