"""The boundary strength of a picture, in units of its own noise measured where it is used,
computed by the compiled core (quorvane._quorvane).

A picture (grey H x W or colour H x W x 3, values as photographs.picture_values gives them)
is taken as opponent channels: brightness and, in colour, red against green and yellow
against blue, linear in the picture's values so that a blurred border lies at the same
place in every channel. Each channel's Gaussian gradient is measured at three scales
(s, 2 s, 4 s) and divided by its noise unit there: the gradient that the picture's own
noise gives where the picture is flattest, whatever made that noise (sensor, demosaicing,
JPEG, resampling). The strength of a pixel is the mean over the scales of its gradient's
length in those units; the crests are the strength on its ridges alone (non-maximum
suppression across the local orientation), zero elsewhere.
"""

import numpy as np

from .. import _quorvane
from .settings import Settings


def boundary_strength(picture, scale=Settings.scale, workers=Settings.workers):
    """(strength, orientation) of the picture's values, both H x W float64: the strength in
    noise units and the direction of its gradient (radians)."""
    values = np.ascontiguousarray(picture, dtype=np.float64)
    return _quorvane.boundary_strength(values, scale, workers)


def crests(strength, orientation, workers=Settings.workers):
    """The strength on its ridges across the orientation, zero elsewhere."""
    return _quorvane.crests(
        np.ascontiguousarray(strength, dtype=np.float64),
        np.ascontiguousarray(orientation, dtype=np.float64),
        workers,
    )
