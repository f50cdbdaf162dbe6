"""Segmentation of a photograph across MPI processes.

    mpirun -n P python3 -m quorvane.segment.distributed IMAGE [OUTDIR]

The steps of quorvane.segment.segment (python3 -m quorvane.segment.demo), with the weights
and the region sums spread over the processes (any P >= 1; without mpirun it runs as one
process), and the same segments as one process finds. The photograph is taken whole unless
--shrink says otherwise. Every process reads it and measures its boundary strength and
basins (the same everywhere); the pattern's columns are shared out in whole chunks of the
region sums (regions.sum_chunks), and every process computes the weights of its own with
quorvane.weights, so that no process holds the whole matrix. The region sums of the merging
and of the whole segments are each process's chunks' sums, gathered and added up in the
chunks' order on every process: the bits one process adds up, so that every process merges
alike. Process 0 gathers the weights the pictures show and draws them.

A run that would not fit the memory of a machine is refused before it starts, with the
figures (see memory.check_memory).

The modules, one job each: shares (how the columns are shared out, a process's share of
the weights, the columns shown), exchange (the sums added up, a barrier that waits asleep),
memory (estimates and refusals), report (the clock), road (the steps: SharedRoad), cli (the
command line); libraries initialises MPI. Only the modules that call MPI import it: this
package, cli, shares, exchange, memory and report import without it.

Needs mpi4py (Debian: python3-mpi4py, openmpi-bin), besides the demo's packages.
"""
