"""What travels between the processes beyond MPI's own collectives: the chunks' region sums,
gathered in the chunks' order on every process, and a barrier that waits asleep. Every
function is collective."""

import time

from ... import _quorvane


def shared_ties(comm, weights, chunks, workers=-1):
    """The ties_of of quorvane._quorvane's merge_summed_regions and find_summed_segments
    over the weights all of the processes hold: each process sums its own chunks of its
    share (weights, CSC over every pixel) and all of them gather every chunk's sums in the
    chunks' order, which the core adds up as one process adds up its own."""

    def ties_of(labels, count, among):
        mine = _quorvane.chunk_ties(
            labels, count, weights.data, weights.indices, weights.indptr, chunks, among, workers
        )
        return [part for theirs in comm.allgather(mine) for part in theirs]

    return ties_of


def wait_for_all(comm, poll=0.005):
    """A barrier that waits asleep. MPI's own waits spin, and on a machine with more work
    than cores the processes that wait for process 0 (while it draws the pictures) would
    take their turns on a core from it."""
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
