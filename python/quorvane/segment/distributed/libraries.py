"""MPI (mpi4py) for the run across processes, initialised on import. The modules that call it
import it from here.

Open MPI is asked to yield the core while it waits, unless the environment says otherwise:
the run shares its machine with other work more often than not, and a process that spins in
a wait takes turns on a core from the one it waits for.
"""

import os

os.environ.setdefault("OMPI_MCA_mpi_yield_when_idle", "1")

from mpi4py import MPI  # noqa: E402

__all__ = ["MPI"]
