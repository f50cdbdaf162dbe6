"""Edge magnitude and phase of a grey or colour picture, and the scale of the weights, in units
of the gradient that the picture's sensor noise alone gives."""

import math

import numpy as np
from scipy import ndimage

from .settings import Settings


def _channels(picture):
    return picture[:, :, None] if picture.ndim == 2 else picture


def noise_level(picture):
    """Standard deviation of the sensor noise, estimated robustly from the differences of
    neighbouring pixels (their median absolute value; edges are too few to move it): the
    median over the channels."""
    channels = _channels(picture)
    levels = []
    for c in range(channels.shape[2]):
        channel = channels[:, :, c]
        steps = np.concatenate([np.diff(channel, axis=0).ravel(), np.diff(channel, axis=1).ravel()])
        levels.append(np.median(np.abs(steps)) / (0.6745 * math.sqrt(2)) if steps.size else 0.0)
    return float(np.median(levels))


def edge_unit(picture, smoothing=Settings.smoothing):
    """The standard deviation of one component of the Gaussian gradient (standard
    deviation smoothing) of the picture's noise alone: noise_level() / (sqrt(8 pi) s^2).
    A picture without noise (a drawing) takes the noise of 8-bit rounding, 1 / (255 sqrt 12)."""
    noise = max(noise_level(picture), 1 / (255 * math.sqrt(12)))
    return noise / (math.sqrt(8 * math.pi) * smoothing**2)


def edges(picture, smoothing=Settings.smoothing, low=Settings.edge_low, high=Settings.edge_high):
    """Edge magnitude and phase of a grey or colour picture.

    Magnitude: the Gaussian gradient magnitude of each channel, the largest of them at
    every pixel (a colour edge counts as much as a brightness edge of the same step).
    Phase: on edges only, the signs of every channel's Laplacian of Gaussian (which change
    across an edge of that channel, at its strongest pixel), coded as one number 1 ..
    3^channels (in grey: 1 or 3); 0 off edges. Edges are the pixels whose magnitude
    exceeds `high` edge units (see edge_unit()), with the pixels above `low` connected to
    them (8-connected hysteresis, as Canny's). So sensor noise and slow shading change no
    phase, pairs of pixels that no edge separates get weight 1, a weak edge holds where it
    continues a strong one, and an edge between two colours of one brightness changes the
    phase as well as one between two brightnesses."""
    channels = _channels(picture)
    magnitude = np.zeros(channels.shape[:2])
    phase = np.ones(channels.shape[:2])
    for c in range(channels.shape[2]):
        np.maximum(
            magnitude,
            ndimage.gaussian_gradient_magnitude(channels[:, :, c], smoothing, mode="nearest"),
            out=magnitude,
        )
        phase += (
            3**c
            * (ndimage.gaussian_laplace(channels[:, :, c], smoothing, mode="nearest") > 0)
            * 2
        )
    unit = edge_unit(picture, smoothing)
    pieces, count = ndimage.label(magnitude > low * unit, structure=np.ones((3, 3)))
    strong = np.zeros(count + 1, dtype=bool)
    strong[pieces[magnitude > high * unit]] = True
    strong[0] = False
    phase[~strong[pieces]] = 0.0
    return magnitude, phase


def weight_sigma(picture, smoothing=Settings.smoothing, share=Settings.sigma_noise):
    """sigma of the weights: share edge units (see edge_unit())."""
    return share * edge_unit(picture, smoothing)
