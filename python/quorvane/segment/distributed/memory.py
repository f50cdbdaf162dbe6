"""What a run across processes needs of each machine's memory, and its refusal before any
pixel is read when some machine has not that much available. Imports without MPI."""

import numpy as np

from ..memory import available_memory
from .shares import CHUNK_ENTRIES


def pattern_entries(shape, radius):
    """The number of pixel pairs of the disc pattern of an image of this shape: for every
    offset within radius, the pixels whose partner at that offset lies in the image."""
    h, w = shape
    reach = int(min(np.floor(radius), max(h, w)))
    offsets = np.arange(-reach, reach + 1)
    dy, dx = np.meshgrid(offsets, offsets, indexing="ij")
    inside = dy * dy + dx * dx <= radius * radius
    overlap = np.clip(h - np.abs(dy), 0, None) * np.clip(w - np.abs(dx), 0, None)
    return int(np.sum(overlap[inside], dtype=np.int64))


# Resident memory of an interpreter with numpy, scipy, PETSc and MPI loaded.
BASE_BYTES = 160 << 20


def memory_estimate(pixels, entries, processes, eigenvectors, rank):
    """Bytes process `rank` of `processes` needs for an image of this many pixels and
    pattern entries: its share of W twice (12 bytes an entry; making W symmetric holds its
    transpose beside it), or once with a slice in flight; about 150 bytes a pixel of the
    whole image (the image, its edges, quorvane's edge tables, the pixels' positions and
    links); four blocks of `eigenvectors` columns (the guard included) of its own pixels
    during the refinement; and on process 0 W_1 and the coarser levels, the level-1 sums,
    all pixels' labels and segments."""
    share = entries / processes
    rows = pixels / processes
    matrix = max(24 * share, 12 * share + 16 * min(share, CHUNK_ENTRIES))
    vectors = 4 * 8 * eigenvectors * rows
    first = 120 * pixels if rank == 0 else 0
    return int(BASE_BYTES + matrix + 150 * pixels + vectors + first)


def check_memory(world, pixels, entries, eigenvectors, available=available_memory):
    """ValueError on every process when the processes of some machine would need more
    memory than it has available: each machine adds up its own processes' estimates and
    compares them with its MemAvailable, and all processes learn every machine's verdict.
    Returns this process's estimate."""
    from .libraries import MPI, PETSc

    limit = np.iinfo(PETSc.IntType).max
    if -(-entries // world.size) > limit:
        raise ValueError(
            f"{entries} pattern entries need at least {-(-entries // limit)} processes: "
            f"PETSc's indices (as built here) hold at most {limit} entries a process"
        )
    mine = memory_estimate(pixels, entries, world.size, eigenvectors, world.rank)
    machine = world.Split_type(MPI.COMM_TYPE_SHARED)
    need = machine.allreduce(mine)
    have = available() if machine.rank == 0 else None
    have = machine.bcast(have, root=0)
    local = machine.size
    machine.Free()
    short = (need, have, local) if have is not None and need > have else None
    shorts = [s for s in world.allgather(short) if s is not None]
    if shorts:
        need, have, local = shorts[0]
        raise ValueError(
            f"{pixels} pixels and {entries} pattern entries need about {mine / 2**30:.1f} GiB "
            f"per process, {need / 2**30:.1f} GiB for the {local} processes of one machine, which "
            f"has {have / 2**30:.1f} GiB available (MemAvailable); shrink the photograph "
            "(--shrink N), or spread the processes over more machines"
        )
    return mine
