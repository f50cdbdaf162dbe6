"""Former name of quorvane.segment, kept for one release: its steps, after a FutureWarning."""

import warnings

warnings.warn(
    "quorvane.segmentation is deprecated; use quorvane.segment", FutureWarning, stacklevel=2
)

from .segment import *  # noqa: E402,F401,F403
