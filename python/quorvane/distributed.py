"""Former name of the distributed command line, kept for one release: python3 -m
quorvane.distributed runs python3 -m quorvane.segment.distributed, after a FutureWarning."""

import sys
import warnings

warnings.warn(
    "quorvane.distributed is deprecated; use python3 -m quorvane.segment.distributed",
    FutureWarning,
    stacklevel=2,
)

from .segment.distributed.cli import main, parser  # noqa: E402,F401

if __name__ == "__main__":
    sys.exit(main())
