"""What a run across processes tells as it goes: the demo's clock with a barrier before each
step's time and every process's peak memory and CPU seconds beside it. Imports without MPI
(the clock's collectives are the communicator's own)."""

import resource
import time

from ..clock import Clock
from .exchange import wait_for_all


def peak_memory():
    """This process's peak resident memory so far, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class ProcessesClock(Clock):
    """The Clock across the processes of comm: each step ends when the last process ends
    it, and every process's peak resident memory at the end of each and its CPU seconds in
    each are noted (on a busy machine the wall clock alone hides how the work is shared);
    process 0 prints them and keeps each step's figures in rows."""

    def __init__(self, comm, say):
        self.comm = comm
        wait_for_all(self.comm)
        super().__init__(say)
        self.cpu_start = self.cpu = time.process_time()
        self.rows = []

    def step(self, what, parts=None):
        """Ends a step. parts (a dict) splits it into parts timed on each process: their
        largest over the processes is printed beside the step."""
        wait_for_all(self.comm)
        super().step(what, parts)

    def detail(self, what, seconds, parts):
        from mpi4py import MPI

        peaks = self.comm.gather(peak_memory(), root=0)
        cpu = time.process_time()
        cpus = self.comm.gather(cpu - self.cpu, root=0)
        self.cpu = cpu
        slowest = {name: self.comm.allreduce(part, op=MPI.MAX) for name, part in parts.items()}
        if self.comm.rank != 0:
            return ""
        self.rows.append((what, seconds, slowest, peaks, cpus))
        highest = max(peaks) / 2**20
        parts = super().detail(what, seconds, slowest)
        return f"{parts}  [peak memory per process up to {highest:.0f} MiB]"

    def total(self):
        wait_for_all(self.comm)
        peaks = self.comm.gather(peak_memory(), root=0)
        cpus = self.comm.gather(time.process_time() - self.cpu_start, root=0)
        if self.comm.rank == 0:
            super().total()
            self.say(
                "peak resident memory per process: "
                + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks)
                + "; CPU time per process: "
                + ", ".join(f"{c:.1f} s" for c in cpus)
            )
