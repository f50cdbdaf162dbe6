"""What travels between the processes beyond MPI's own collectives: the boundary strength
measured in bands and gathered whole, the chunks' region sums, gathered in the chunks' order
on every process, and a barrier that waits asleep. Every function is collective."""

import time

import numpy as np

from ... import _quorvane
from .libraries import MPI


def shared_strength(comm, picture, scale, workers=-1):
    """(strength, crests) of the picture (H x W each, as steps.Road.measure finds them) on
    every process: each process measures its band of rows, the bands' noise units made
    alike as they go, and all gather the bands."""
    h, w = picture.shape[:2]
    bands = _quorvane.strength_bands(h, w, comm.size)
    first, last = bands[comm.rank]

    def add_counts(counts):
        comm.Allreduce(MPI.IN_PLACE, counts, op=MPI.SUM)
        return counts

    def join_tiles(tiles):
        return np.concatenate(comm.allgather(tiles))

    band = _quorvane.band_strength(picture, scale, first, last, add_counts, join_tiles, workers)
    sizes = [(b - a) * w for a, b in bands]
    wholes = []
    for part in band:
        whole = np.empty((h, w))
        comm.Allgatherv(part, [whole, sizes])
        wholes.append(whole)
    return tuple(wholes)


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
        # The sums travel as one buffer of bytes, not pickled: no copies beside them.
        heads = comm.allgather([(level, index, ties.size) for level, index, ties in mine])
        # added_ties of none: the ties' dtype also for a process that holds no chunk.
        sums = np.concatenate([_quorvane.added_ties([], 1)] + [ties for _, _, ties in mine])
        mine = None
        sizes = [sum(size for *_, size in theirs) * sums.itemsize for theirs in heads]
        gathered = np.empty(sum(sizes) // sums.itemsize, dtype=sums.dtype)
        comm.Allgatherv(sums.view(np.uint8), [gathered.view(np.uint8), sizes, MPI.BYTE])
        sums = None
        nodes, at = [], 0
        for level, index, size in (head for theirs in heads for head in theirs):
            nodes.append((level, index, gathered[at : at + size]))
            at += size
        return total, nodes

    return ties_of


def wait_for_all(comm, poll=0.005):
    """A barrier that waits asleep. MPI's own waits spin, and on a machine with more work
    than cores the processes that wait for process 0 (while it draws the pictures) would
    take their turns on a core from it."""
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
