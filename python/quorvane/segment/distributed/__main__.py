"""mpirun -n P python3 -m quorvane.segment.distributed IMAGE [OUTDIR] (see cli)."""

import sys

from .cli import main

sys.exit(main())
