"""The weight matrix over the processes, as a PETSc MPIAIJ matrix: each process computes the
pattern columns of the rows it owns with quorvane.weights and inserts them into its own rows,
so that nothing travels between processes; then the symmetric weights and their degrees."""

import dataclasses
import time

import numpy as np

import quorvane

from .libraries import PETSc
from .shares import CHUNK_ENTRIES, column_chunks, inside_counts, pixel_range


@dataclasses.dataclass
class PhaseTimes:
    """Seconds this process spent in each part of the weight matrix's construction."""

    pattern: float = 0.0
    weights: float = 0.0
    assembly: float = 0.0


def transposed_weights(
    comm, magnitude, phase, radius, sigma, workers=1, times=None, entries=CHUNK_ENTRIES
):
    """The transposed weight matrix of the disc pattern of the given radius, as a PETSc
    MPIAIJ matrix over comm: its row j is column j of quorvane.weights(magnitude, phase,
    *disc_pattern(shape, radius), sigma), the same bits in every stored entry (NaN kept).

    Each process computes only the pattern columns of the rows it owns, in slices of about
    `entries` entries, and inserts them into its own rows, preallocated from the pattern's
    counts: nothing travels between processes. times (a PhaseTimes) collects this process's
    seconds for the pattern, the weights and the insertion."""
    times = times if times is not None else PhaseTimes()
    shape = magnitude.shape
    start, stop = pixel_range(magnitude.size, comm)
    chunks = column_chunks(shape, radius, start, stop, entries)
    matrix = _preallocated(comm, shape, radius, chunks, (start, stop), times)
    # The whole image's column starts, one slice filled at a time.
    starts = np.zeros(magnitude.size + 1, dtype=np.uint32)
    for a, b in chunks:
        clock = time.perf_counter()
        indices, indptr = quorvane.disc_pattern(shape, radius, columns=(a, b))
        starts[: a + 1] = 0
        starts[a + 1 : b + 1] = indptr[1:]
        starts[b + 1 :] = indptr[-1]
        del indptr
        now = time.perf_counter()
        times.pattern += now - clock
        part = quorvane.weights(magnitude, phase, indices, starts, sigma, workers=workers)
        del indices
        clock = time.perf_counter()
        times.weights += clock - now
        _insert(matrix, part, a, b)
        del part
        times.assembly += time.perf_counter() - clock
    clock = time.perf_counter()
    matrix.assemble()
    times.assembly += time.perf_counter() - clock
    return matrix


def _preallocated(comm, shape, radius, chunks, own, times):
    """This process's rows own = (start, stop) of the n x n matrix, preallocated from the
    counts of the pattern columns (made in the given slices) inside and outside them."""
    n = shape[0] * shape[1]
    start, stop = own
    clock = time.perf_counter()
    within = np.empty(stop - start, dtype=PETSc.IntType)
    outside = np.empty(stop - start, dtype=PETSc.IntType)
    for a, b in chunks:
        indices, indptr = quorvane.disc_pattern(shape, radius, columns=(a, b))
        within[a - start : b - start], outside[a - start : b - start] = inside_counts(
            indices, indptr, start, stop
        )
        del indices, indptr
    times.pattern += time.perf_counter() - clock

    clock = time.perf_counter()
    matrix = PETSc.Mat().create(comm=comm)
    matrix.setSizes(((stop - start, n), (stop - start, n)))
    matrix.setType(PETSc.Mat.Type.AIJ)
    matrix.setPreallocationNNZ((within, outside))
    # Every row is set by its owner, and exactly where the counts said.
    matrix.setOption(PETSc.Mat.Option.NO_OFF_PROC_ENTRIES, True)
    matrix.setOption(PETSc.Mat.Option.NEW_NONZERO_ALLOCATION_ERR, True)
    del within, outside
    times.assembly += time.perf_counter() - clock
    return matrix


def _insert(matrix, part, a, b):
    """Columns a ... b - 1 of a csc weight matrix (part) into rows a ... b - 1 of matrix."""
    rows = part.indptr[a : b + 1]
    matrix.setValuesIJV(
        rows - rows[0],
        part.indices.astype(PETSc.IntType, copy=False),
        part.data,
        rowmap=np.arange(a, b, dtype=PETSc.IntType),
    )


def symmetric(matrix, same_pattern=True):
    """(W + W^T) / 2 of the weight matrix W or its transpose, in place, with NaN (sigma 0
    and no edge crossed) taken as 1, as quorvane.segment.symmetric does; returns it.

    same_pattern says that the matrix's entries are where its transpose's are (true of
    every disc pattern), which lets the sum add the two arrays entry by entry."""
    if np.isnan(matrix.norm(PETSc.NormType.FROBENIUS)):
        indptr, indices, data = matrix.getValuesCSR()
        data[np.isnan(data)] = 1.0
        matrix.setValuesCSR(indptr, indices, data)
        del indptr, indices, data
        matrix.assemble()
    transposed = matrix.transpose(PETSc.Mat())  # a new matrix: transpose() alone works in place
    structure = PETSc.Mat.Structure.SAME if same_pattern else PETSc.Mat.Structure.DIFFERENT
    matrix.axpy(1.0, transposed, structure)
    transposed.destroy()
    matrix.scale(0.5)
    return matrix


def raise_to(matrix, floor):
    """Every stored weight below floor raised to it, in place (nothing to do for a floor of
    0 or below: weights are never negative)."""
    if floor > 0:
        indptr, indices, data = matrix.getValuesCSR()
        matrix.setValuesCSR(indptr, indices, np.maximum(data, floor))
        del indptr, indices, data
        matrix.assemble()
    return matrix


def degrees_of(w):
    """The row sums D of the symmetric weights, distributed as its rows. Every pixel needs
    a positive weight to some pixel (its own, at least): ValueError otherwise."""
    ones, degrees = w.createVecs()
    ones.set(1.0)
    w.mult(ones, degrees)
    ones.destroy()
    smallest = degrees.min()[1]
    if not smallest > 0:
        raise ValueError("every pixel needs a positive weight to some pixel (its own, at least)")
    return degrees
