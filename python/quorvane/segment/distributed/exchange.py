"""What travels between the processes beyond MPI's own collectives: the chunks' region sums
added up in one order on every process, and a barrier that waits asleep. Every function is
collective."""

import time

from ..regions import added_up, chunk_sums


def shared_region_sums(comm, labels, weights, chunks, count, among=None):
    """regions.region_sums over the whole weight matrix, on every process, from each
    process's share (weights) and its chunks: the chunks' sums gathered and added up in the
    chunks' order, the bits one process gets from the whole matrix."""
    mine = [chunk_sums(labels, weights, chunk, count, among) for chunk in chunks]
    return added_up([part for theirs in comm.allgather(mine) for part in theirs], count)


def wait_for_all(comm, poll=0.005):
    """A barrier that waits asleep. MPI's own waits spin, and on a machine with more work
    than cores the processes that wait for process 0 (while it draws the pictures) would
    take their turns on a core from it."""
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
