"""Sparse pixel-affinity weights for spectral segmentation, from edge magnitude and phase.

For every pixel pair of a compressed-column pattern, the weight is exp(-m**2 / (8 sigma**2)),
where m is the strongest edge crossed on the digital straight line between the two pixels:
the largest sum of the magnitudes of two consecutive pixels whose phase differs (0 when the
phase never changes). Pixels are numbered in numpy's C order: for an image of shape (H, W),
pixel p is at row p // W and column p % W.

    indices, indptr = quorvane.disc_pattern(image.shape, radius=5)
    W = quorvane.weights(magnitude, phase, indices, indptr)   # scipy.sparse.csc_matrix
"""

import operator
import warnings

import numpy as np
import scipy.sparse

from . import _quorvane

__all__ = ["weights", "disc_pattern"]
__version__ = "0.1.0"

# Index arrays of the result are int32 up to this many entries (and pixels), int64 beyond:
# scikit-learn and ARPACK paths reject int64 indices, so the narrow type is used when it fits.
_INT32_LIMIT = 2**31 - 1
_UINT32_MAX = 2**32 - 1
_MAX_PIXELS = 2**31 - 1


def _image(name, array):
    """A C-contiguous float64 view or copy of a real numeric 2-D array (no copy when it
    already is one). The shape is checked before any conversion."""
    array = np.asarray(array)
    if array.dtype.kind == "c":
        raise TypeError(f"{name} shall be real, got {array.dtype}")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} shall be a real numeric array, got {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} shall be a 2-D array, got {array.ndim}-D")
    return array


def _pattern_part(name, array):
    """A C-contiguous uint32 array of an integer 1-D array whose values all fit uint32 (no
    copy when it already is one: the compiled side copies what it reads)."""
    array = np.asarray(array)
    if array.ndim != 1:
        raise ValueError(f"{name} shall be a 1-D array, got shape {array.shape}")
    if array.size == 0:
        return np.empty(0, dtype=np.uint32)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} shall be an integer array, got {array.dtype}")
    if array.dtype == np.uint32:
        return np.ascontiguousarray(array)
    low, high = array.min(), array.max()
    if low < 0 or high > _UINT32_MAX:
        bad = low if low < 0 else high
        raise ValueError(
            f"{name} values shall fit an unsigned 32-bit integer (0 to {_UINT32_MAX}), got {bad}"
        )
    return array.astype(np.uint32, order="C")


def _sigma(sigma):
    if sigma is None:
        return None
    value = np.asarray(sigma)
    if value.dtype.kind == "c":
        raise TypeError(f"sigma shall be real, got {value.dtype}")
    if value.dtype.kind not in "biuf" or value.ndim != 0:
        raise TypeError(f"sigma shall be a real number or None, got {sigma!r}")
    return float(value)


def _workers(workers):
    """The thread count for the compiled side: a positive integer, or -1 for every processor
    this process may use. Booleans and floats are not counts."""
    try:
        if isinstance(workers, (bool, np.bool_)):
            raise TypeError
        count = operator.index(workers)
    except TypeError:
        raise ValueError(f"workers shall be a positive integer or -1, got {workers!r}") from None
    if count < 1 and count != -1:
        raise ValueError(f"workers shall be a positive integer or -1, got {count}")
    # More threads than image rows would find nothing to do (and the count must fit a C int).
    return min(count, _MAX_PIXELS)


def _csc(n, data, indices, indptr):
    """An n x n csc_matrix over the given arrays themselves. The constructor would narrow
    int64 index arrays whose values fit int32 (a copy, and a pass over them); setting the
    arrays keeps them as they are."""
    matrix = scipy.sparse.csc_matrix((n, n), dtype=np.float64)
    matrix.data, matrix.indices, matrix.indptr = data, indices, indptr
    matrix.check_format(full_check=False)
    return matrix


def weights(magnitude, phase, indices, indptr, sigma=None, *, workers=1):
    """Weight matrix of the pattern (indices, indptr) over an image's edges.

    Parameters
    ----------
    magnitude, phase : 2-D real arrays of the same shape (H, W)
        Edge magnitude and edge phase. Other real dtypes are converted to float64 (no copy
        when already C-contiguous float64); complex input is a TypeError.
    indices, indptr : 1-D integer arrays
        The pixel-pair pattern in compressed-column form over the H * W pixels in C order:
        the entries of column j are k = indptr[j] ... indptr[j + 1] - 1, pairing pixel j (the
        start of the walk) with pixel indices[k] (its end). indptr has H * W + 1 elements,
        never decreases, and every value must fit an unsigned 32-bit integer.
    sigma : float or None
        The scale. None takes max(0, magnitudes) / 6 over every pixel. Only sigma**2 enters;
        sigma = 0 gives 0 across an edge and NaN where no edge is crossed.
    workers : int
        Threads that share the computation, each over its own part of the image (so no more
        than H of them, and fewer for small patterns); -1 for every processor this process
        may use (len(os.sched_getaffinity(0))). The result is the same whatever the count.

    Returns
    -------
    scipy.sparse.csc_matrix, shape (H * W, H * W), float64
        Exactly the pattern's entries in the pattern's order (unsorted and duplicate rows
        kept, explicit zeros and NaNs stored), diagonal entries 1. Index arrays are int32
        when the entry count fits, int64 otherwise.

    Raises
    ------
    TypeError for complex or non-numeric images and non-integer index arrays; ValueError for
    wrong shapes, any malformed pattern and a workers value that is not a positive integer
    or -1.
    """
    workers = _workers(workers)
    magnitude = _image("magnitude", magnitude)
    phase = _image("phase", phase)
    if magnitude.shape != phase.shape:
        raise ValueError(
            "magnitude and phase shall have the same shape, "
            f"got {magnitude.shape} and {phase.shape}"
        )
    if magnitude.size == 0:
        raise ValueError("magnitude and phase shall not be empty")
    if magnitude.size > _MAX_PIXELS:
        raise ValueError("magnitude and phase shall have fewer than 2^31 pixels")
    n = magnitude.size
    indices = _pattern_part("indices", indices)
    indptr = _pattern_part("indptr", indptr)
    if indptr.size != n + 1:
        raise ValueError(
            f"indptr shall have {n + 1} elements (one more than the pixel count), got {indptr.size}"
        )
    sigma = _sigma(sigma)
    magnitude = np.ascontiguousarray(magnitude, dtype=np.float64)
    phase = np.ascontiguousarray(phase, dtype=np.float64)
    data, rows, starts = _quorvane.weights(
        magnitude, phase, indices, indptr, sigma, _INT32_LIMIT, workers
    )
    return _csc(n, data, rows, starts)


def disc_pattern(shape, radius, *, columns=None):
    """The disc pattern over an image of the given shape (H, W): for each pixel, every pixel
    at Euclidean distance at most radius (itself included), sorted within each column.

    Returns (indices, indptr) as uint32 arrays, in C-order pixel numbering, ready for
    weights(). With columns (a range of step 1, or a pair (start, stop)), only the columns
    of pixels start ... stop - 1: indices holds their rows (pixel numbers of the whole
    image) and indptr has stop - start + 1 elements from 0, exactly the whole pattern's
    columns with their starts shifted; so a part can be made when the whole pattern could
    not. Raises ValueError for an empty or too large shape, a negative or NaN radius, a
    range outside the pixels, or a pattern of 2^32 entries or more.
    """
    shape = tuple(shape)
    if len(shape) != 2:
        raise ValueError(f"shape shall be (H, W), got {shape}")
    rows, cols = (operator.index(size) for size in shape)
    first, last = _pixel_range(columns, rows * cols)
    return _quorvane.disc_pattern(rows, cols, float(radius), first, last)


def _pixel_range(columns, pixels):
    if columns is None:
        return 0, pixels
    if isinstance(columns, range):
        if columns.step != 1:
            raise ValueError(f"columns shall be a range of step 1, got {columns}")
        first, last = columns.start, max(columns.start, columns.stop)
    else:
        try:
            first, last = (operator.index(bound) for bound in columns)
        except (TypeError, ValueError):
            raise ValueError(
                f"columns shall be a range or a pair (start, stop), got {columns!r}"
            ) from None
    if not 0 <= first <= last <= pixels:
        raise ValueError(
            f"columns shall be a range of pixels within 0 ... {pixels}, got {first} ... {last}"
        )
    return first, last


def disk_pattern(shape, radius):
    """Former name of disc_pattern (deprecated)."""
    warnings.warn(
        "quorvane.disk_pattern is deprecated; use quorvane.disc_pattern",
        DeprecationWarning,
        stacklevel=2,
    )
    return disc_pattern(shape, radius)
