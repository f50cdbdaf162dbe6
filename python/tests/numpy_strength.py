"""The boundary strength and its crests written in numpy, operation for operation as the
compiled core computes them: the tests' second opinion on core/segment/boundary_strength.cpp.

The boundary strength of a picture, in units of its own noise measured where it is used.

A picture (grey H x W or colour H x W x 3, values as photographs.picture_values gives them)
is taken as opponent channels: brightness and, in colour, red against green and yellow
against blue, linear in the picture's values so that a blurred border lies at the same
place in every channel. Each channel's Gaussian gradient is measured at three scales
(s, 2 s, 4 s) and divided by its noise unit there: the gradient that the picture's own
noise gives where the picture is flattest (noise_units), whatever made that noise (sensor,
demosaicing, JPEG, resampling). The strength of a pixel is the mean over the scales of its
gradient's length in those units; the crests are the strength on its ridges alone
(non-maximum suppression across the local orientation), zero elsewhere.
"""

import math

import numpy as np
from scipy import ndimage


# Noise is measured over windows of this many pixels a side, in the share of them that are
# flattest: those hold noise and no edge even in a busy picture.
WINDOW = 16
FLATTEST = 0.1
# A unit is at least this share of the picture's brightness range, as a step at the scale
# of the filter: a drawing without noise, or a photograph far cleaner than anyone can see,
# is measured against what can be seen.
VISIBLE = 0.01
# Colour channels are taken no less noisy than brightness: cameras and JPEG smooth colour,
# which leaves its flattest windows far smoother than its edges' surroundings.
SCALES = (1.0, 2.0, 4.0)


def opponent_channels(picture):
    """H x W x C channels of a picture: its values for grey (C = 1); for colour (C = 3) the
    brightness (R + G + B) / 3, red against green (R - G) / 2 and yellow against blue
    (R + G - 2 B) / 4."""
    if picture.ndim == 2:
        return picture[:, :, None]
    r, g, b = picture[:, :, 0], picture[:, :, 1], picture[:, :, 2]
    return np.stack([(r + g + b) / 3, (r - g) / 2, (r + g - 2 * b) / 4], axis=-1)


def gaussian_gradient(channel, scale):
    """(d/drow, d/dcolumn) of the channel smoothed by a Gaussian of standard deviation scale."""
    return (
        ndimage.gaussian_filter(channel, scale, order=(1, 0), mode="nearest"),
        ndimage.gaussian_filter(channel, scale, order=(0, 1), mode="nearest"),
    )


def flattest_spread(rows, columns, window=WINDOW, share=FLATTEST):
    """The root mean square of one gradient component over the flattest share of the
    window x window tiles (smaller tiles in a picture under 8 windows a side)."""
    h, w = rows.shape
    # A small picture gets smaller windows: some of them must miss its edges.
    window = max(4, min(window, min(h, w) // 8))
    th, tw = min(window, h), min(window, w)
    hh, ww = h // th * th, w // tw * tw
    energy = (rows[:hh, :ww] ** 2 + columns[:hh, :ww] ** 2) * 0.5
    tiles = energy.reshape(hh // th, th, ww // tw, tw).mean(axis=(1, 3))
    return math.sqrt(float(np.quantile(tiles, share)))


def median_spread(rows, columns):
    """The spread of one gradient component as its median magnitude shows it (the standard
    deviation of normal noise of that median): 0 where most of the picture is flat, as in
    a drawing, whose edges reach into every window."""
    both = np.abs(np.concatenate([rows.ravel(), columns.ravel()]))
    return float(np.median(both)) / 0.6745


def noise_units(gradients, brightness_range, scale, finest=None):
    """The unit of each channel's gradient at this scale (see the module's description):
    gradients is a list of (d/drow, d/dcolumn) per channel, brightness first. Smoothing
    never makes noise steeper, so no unit exceeds the finest scale's (finest, when given):
    at coarse scales edges reach into every window of a busy picture."""
    units = np.array([min(flattest_spread(*g), median_spread(*g)) for g in gradients])
    if finest is not None:
        units = np.minimum(units, finest)
    units[1:] = np.maximum(units[1:], units[0])
    visible = VISIBLE * brightness_range / (math.sqrt(2 * math.pi) * scale)
    return np.maximum(units, max(visible, np.finfo(float).tiny))


def boundary_strength(picture, scale=1.0):
    """(strength, orientation) of a picture: strength as the module's description says,
    orientation the angle of the dominant gradient direction at every pixel (radians, of
    the channels' structure tensor over the scales)."""
    channels = opponent_channels(picture)
    low, high = np.percentile(channels[:, :, 0], [0.5, 99.5])
    shape = channels.shape[:2]
    strength = np.zeros(shape)
    tensor = [np.zeros(shape), np.zeros(shape), np.zeros(shape)]
    finest = None
    for s in SCALES:
        s = s * scale
        gradients = [gaussian_gradient(channels[:, :, c], s) for c in range(channels.shape[2])]
        units = noise_units(gradients, high - low, s, finest)
        finest = units if finest is None else finest
        squares = np.zeros(shape)
        for (rows, columns), unit in zip(gradients, units):
            rows, columns = rows / unit, columns / unit
            squares += rows * rows + columns * columns
            tensor[0] += rows * rows
            tensor[1] += columns * columns
            tensor[2] += rows * columns
        strength += np.sqrt(squares)
    strength /= len(SCALES)
    orientation = 0.5 * np.arctan2(2 * tensor[2], tensor[1] - tensor[0])
    return strength, orientation


def crests(strength, orientation):
    """The strength where it is a ridge, no less than both neighbours across the local
    orientation (quantised to the four directions of the pixel grid), and 0 elsewhere."""
    h, w = strength.shape
    padded = np.pad(strength, 1, mode="edge")
    direction = np.round(np.mod(orientation, np.pi) / (np.pi / 4)).astype(int) % 4
    ridge = np.zeros((h, w), dtype=bool)
    for k, (dy, dx) in enumerate(((0, 1), (1, 1), (1, 0), (1, -1))):
        ahead = padded[1 + dy : h + 1 + dy, 1 + dx : w + 1 + dx]
        behind = padded[1 - dy : h + 1 - dy, 1 - dx : w + 1 - dx]
        ridge |= (direction == k) & (strength >= ahead) & (strength >= behind)
    return np.where(ridge, strength, 0.0)
