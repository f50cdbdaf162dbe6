"""Former name of quorvane.segment.multilevel, kept for one release, after a FutureWarning."""

import warnings

warnings.warn(
    "quorvane.multilevel is deprecated; use quorvane.segment.multilevel",
    FutureWarning,
    stacklevel=2,
)

from .segment.multilevel import *  # noqa: E402,F401,F403
