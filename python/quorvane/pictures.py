"""Former name of quorvane.segment.pictures, kept for one release, after a FutureWarning."""

import warnings

warnings.warn(
    "quorvane.pictures is deprecated; use quorvane.segment.pictures", FutureWarning, stacklevel=2
)

from .segment.pictures import *  # noqa: E402,F401,F403
