"""What a run across processes needs of each machine's memory, and its refusal before any
pixel is read when some machine has not that much available. Imports without MPI."""

from ..memory import available_memory, memory_estimate, pattern_entries

# A process's weights have 32-bit column starts.
SHARE_ENTRIES = 2**32 - 1


def check_memory(world, shape, settings, available=available_memory):
    """ValueError on every process when a process's share of the pattern is beyond its
    weights' indices, or when the processes of some machine would need more memory than it
    has available: each machine adds up its own processes' estimates and compares them with
    its MemAvailable, and all processes learn every machine's verdict. Returns this
    process's estimate."""
    from .libraries import MPI

    entries = pattern_entries(shape, settings.radius)
    if -(-entries // world.size) > SHARE_ENTRIES:
        raise ValueError(
            f"{entries} pattern entries need at least {-(-entries // SHARE_ENTRIES)} processes: "
            f"a process's weights hold at most {SHARE_ENTRIES} entries"
        )
    mine = memory_estimate(shape, settings, world.size)
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
            f"{shape[0]} x {shape[1]} pixels at radius {settings.radius:g} need about "
            f"{mine / 2**30:.1f} GiB per process, {need / 2**30:.1f} GiB for the {local} "
            f"processes of one machine, which has {have / 2**30:.1f} GiB available "
            "(MemAvailable); shrink the photograph (--shrink N), or spread the processes over "
            "more machines"
        )
    return mine
