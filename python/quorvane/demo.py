"""Former name of the demo's command line, kept for one release: python3 -m quorvane.demo
runs python3 -m quorvane.segment.demo, after a FutureWarning."""

import sys
import warnings

warnings.warn(
    "quorvane.demo is deprecated; use python3 -m quorvane.segment.demo", FutureWarning, stacklevel=2
)

from .segment.demo import main, parser, segment_photograph  # noqa: E402,F401

segment = segment_photograph  # its name before quorvane.segment.demo named it so

if __name__ == "__main__":
    sys.exit(main())
