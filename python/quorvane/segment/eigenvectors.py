"""The symmetric weights of the pixels, their degrees and the leading eigenvectors of (W, D):
by ARPACK for the full solve, by quorvane.segment.multilevel for the demo's."""

import numpy as np
import scipy.sparse
from scipy.sparse.linalg import eigsh

from . import multilevel
from .settings import Settings


def symmetric(weights):
    """The weights as a symmetric CSR matrix: NaN (sigma 0 and no edge crossed) is taken as
    1, and the two walks of a pair, which may round the line differently, are averaged."""
    weights = weights.tocsr(copy=True)
    weights.data[np.isnan(weights.data)] = 1.0
    return ((weights + weights.T) * 0.5).tocsr()


def degrees_of(w):
    """Row sums of the symmetric weights; a pixel with none is a ValueError."""
    degrees = np.asarray(w.sum(axis=1)).ravel()
    if not (degrees > 0).all():
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    return degrees


def normalised_affinity(w):
    """D^-1/2 W D^-1/2 of symmetric weights W (see symmetric()) with degrees D (row sums),
    and D.

    Every pixel's degree is at least its own weight 1 in a pattern that pairs it with
    itself; a pixel with no weight at all would divide by zero and is a ValueError."""
    degrees = degrees_of(w)
    scale = scipy.sparse.diags(1.0 / np.sqrt(degrees))
    affinity = (scale @ w @ scale).tocsr()
    return ((affinity + affinity.T) * 0.5).tocsr(), degrees


def start_vector(n, seed=Settings.seed):
    """The eigensolve's start vector: uniform in [-1, 1) from numpy's default generator."""
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n)


def leading_eigenvectors(
    affinity, degrees, count=Settings.eigenvectors, tolerance=Settings.tolerance, seed=Settings.seed
):
    """The count largest eigenvalues of the normalised affinity, in descending order, and
    the pixel embedding D^-1/2 V (the generalised eigenvectors of (D - W, D)), one column
    per eigenvalue, by ARPACK's Lanczos (scipy's eigsh) from a fixed start vector."""
    n = affinity.shape[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    values, vectors = eigsh(affinity, k=count, which="LA", tol=tolerance, v0=start_vector(n, seed))
    order = np.argsort(values)[::-1]
    return values[order], vectors[:, order] / np.sqrt(degrees)[:, None]


def leading_eigenvectors_multilevel(w, shape, count=Settings.eigenvectors, say=None):
    """The count leading eigenvalues of (W, D) (descending), the embedding (D-orthonormal
    Ritz vectors, one column each) and the levels, by quorvane.multilevel over the pixel
    graph of an image of this shape."""
    n = w.shape[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    return multilevel.leading_subspace(
        w, degrees_of(w), multilevel.pixel_positions(shape), count, say=say
    )
