"""What travels between the processes beyond MPI's own collectives: the chunks' region sums,
gathered in the chunks' order on every process, and a barrier that waits asleep. Every
function is collective."""

import time

from ... import _quorvane


def shared_ties(comm, weights, chunks, first, total, workers=-1):
    """The ties_of of quorvane._quorvane's merge_summed_regions and find_summed_segments
    over the weights all of the processes hold: each process sums its own run of chunks of
    its share (weights, CSC over every pixel; chunks, the first's number and the number of
    all, as shares.chunks_of gives them), adds them up as far as its run allows, and all of
    them gather those partial sums, which the core finishes adding up as one process adds up
    its own chunks."""

    def ties_of(labels, count, among):
        w = weights
        mine = _quorvane.chunk_ties(
            labels, count, w.data, w.indices, w.indptr, chunks, among, workers, (first, total)
        )
        return total, [node for theirs in comm.allgather(mine) for node in theirs]

    return ties_of


def wait_for_all(comm, poll=0.005):
    """A barrier that waits asleep. MPI's own waits spin, and on a machine with more work
    than cores the processes that wait for process 0 (while it draws the pictures) would
    take their turns on a core from it."""
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
