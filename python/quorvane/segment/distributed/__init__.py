"""Normalised-cut segmentation of a photograph across MPI processes, with PETSc.

    mpirun -n P python3 -m quorvane.segment.distributed IMAGE [OUTDIR]

The steps of quorvane.segment.segment (python3 -m quorvane.segment.demo), with the weight
matrix, the finest level of the multilevel eigensolve and the grouping's sums spread over
the processes (any P >= 1; without mpirun it runs as one process). The photograph is taken
whole unless --shrink says otherwise. Every process reads it and computes its edges (the
same everywhere), then the disc-pattern columns of the pixels it owns, their weights with
quorvane.weights, and its rows of one distributed PETSc matrix; no process ever holds the
whole matrix. The symmetric weights W and the degrees D stay distributed. The multilevel
eigensolve (quorvane.segment.multilevel) decides every pixel's link from its own row where it
lies; process 0 makes the aggregates from the links alone, the aggregation's P is a
distributed matrix and W_1 = P^T W P comes from PETSc's MatPtAP. Level 1 and the coarser
ones are solved on process 0 by the multilevel module's own code; the vectors come back up
through P and are refined on the pixels by distributed block products, the k x k
Rayleigh-Ritz matrices added up over the processes. k-means is fitted on process 0 to the
level-1 nodes' mean rows, and every process labels its own pixels; the merge's sums are
added up over the processes' rows; process 0 finds the segments and draws the pictures.

A run that would not fit the memory of a machine is refused before it starts, with the
figures (see memory.check_memory); long steps report their progress from process 0.

The modules, one job each: shares (how pixels and pattern columns are shared out), weights
(W over PETSc), products (W's rows and block products), exchange (gathering and
scattering), eigen (the distributed multilevel eigenvectors), grouping (k-means and the
merge's sums), memory (estimates and refusals), report (the clock and progress), road (the
steps), cli (the command line); libraries initialises MPI and PETSc. Only the modules that
call MPI or PETSc import them: this package, cli, shares, exchange, memory and report import
without them.

Needs mpi4py and petsc4py (Debian: python3-mpi4py, python3-petsc4py, openmpi-bin, and
libpetsc-real-dev, whose alternative makes petsc4py importable), besides the demo's packages.
"""
