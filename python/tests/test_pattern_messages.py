"""Every refusal of the compiled disc_pattern, word for word: the Python texts of
the core's message table (core/pattern_call_check.h, whose C++ test holds the same
texts), each a ValueError, the first fault of a call in the checking order."""

import math

import pytest

import quorvane
from quorvane import _quorvane

POSITIVE = "shape shall hold two positive sizes"
PIXELS = "shape shall have fewer than 2^31 pixels"
RADIUS = "radius shall be a non-negative number"
COLUMNS = "columns shall be a range of pixels within 0 ... H * W"
ENTRIES = "the pattern would have 2^32 or more entries"

HUGE = (2**16, 2**15)  # 2^31 pixels


@pytest.mark.parametrize(
    "shape, radius, message",
    [
        ((0, 4), 1, POSITIVE),
        ((4, 0), 1, POSITIVE),
        ((-3, 4), 1, POSITIVE),
        ((0, 0), -1, POSITIVE),  # the shape before the radius
        ((4, -1), math.nan, POSITIVE),
        (HUGE, 1, PIXELS),
        ((2**31 - 1, 2), 0, PIXELS),
        ((2**31, 2**31), 0, PIXELS),
        # The pixel count is the shape's, checked before the radius.
        (HUGE, -1, PIXELS),
        ((3, 4), -0.5, RADIUS),
        ((3, 4), -math.inf, RADIUS),
        ((3, 4), math.nan, RADIUS),
        ((32767, 65536), 1, ENTRIES),
        ((2, 2**30 - 1), math.inf, ENTRIES),
    ],
)
def test_the_package_passes_the_refusals_on(shape, radius, message):
    with pytest.raises(ValueError) as raised:
        quorvane.disc_pattern(shape, radius)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "rows, cols, radius, first, last, message",
    [
        (3, 4, 1, -1, 2, COLUMNS),
        (3, 4, 1, 3, 2, COLUMNS),
        (3, 4, 1, 0, 13, COLUMNS),
        (3, 4, -1, 0, 13, RADIUS),  # the radius before the columns
        (2**16, 2**15, 1, -1, 0, PIXELS),
        (0, 4, 1, 0, 13, POSITIVE),
        # A part of a pattern too large to make is counted alone.
        (32767, 65536, 1, 0, 32767 * 65536, ENTRIES),
    ],
)
def test_the_compiled_side_checks_the_columns_last(rows, cols, radius, first, last, message):
    with pytest.raises(ValueError) as raised:
        _quorvane.disc_pattern(rows, cols, radius, first, last)
    assert str(raised.value) == message


def test_the_edges_of_the_ranges_pass():
    indices, indptr = _quorvane.disc_pattern(3, 4, 0.0, 12, 12)
    assert indices.size == 0 and list(indptr) == [0]
    indices, indptr = _quorvane.disc_pattern(1, 2**31 - 1, 0.0, 5, 7)
    assert list(indices) == [5, 6] and list(indptr) == [0, 1, 2]
    indices, indptr = _quorvane.disc_pattern(32767, 65536, 1, 0, 3)
    assert list(indptr) == [0, 3, 7, 11]
