"""The leading generalised eigenvectors of (W, D) by aggregation over a hierarchy of graphs.

W is the symmetric weight matrix of the pixels (n x n, every pixel paired with itself),
D the diagonal of its row sums, the degrees. The normalised cut embeds the pixels with the
leading eigenvectors of W x = lambda D x; their span, not the single vectors, is what the
clustering consumes, so the method computes the span of the `count` leading ones.

Levels. Level 0 is the pixel graph (W_0 = W, d_0 = d, each node at its pixel's (row,
column)). Level l + 1 is made from level l by aggregation:

1. Seeds: the nodes of level l whose position lies on the lattice of step s_l (row and
   column both multiples of s_l), s_0 = LATTICE = 3 and s_{l+1} = 2 s_l.
2. Links, each node's own decision from its own row of W_l and its partners' positions:
   a seed links to itself. Any other node i finds its strongest coupling to another node,
   top_i = max_{j != i} W_l[i, j], and the seeds j with W_l[i, j] >= keep * top_i
   (keep = KEEP, 0.5); it links to the nearest of them (Euclidean distance of positions;
   ties to the stronger coupling, then to the lower node number). A node with no such seed
   (cut off from all seeds by edges) links to its strongest partner (the lower node number
   of equals). At level 0 that is one integer per pixel from its row of W.
3. The aggregates are the connected pieces of the graph of the links (each node has one
   link, so a piece holds at most one seed), numbered in the order of their lowest node;
   they are the nodes of level l + 1, each at the position of its seed (or, without one,
   of its lowest node). P_l is the n_l x n_{l+1} matrix with P[i, a] = 1 when node i is in
   aggregate a, and
   W_{l+1} = P_l^T W_l P_l,  d_{l+1} = P_l^T d_l  (the row sums of W_{l+1}).

Coarsening stops when a level has at most COARSEST nodes, or when a step leaves more than
STALL of them (the graph stopped shrinking).

Coarsest level: the dense generalised problem, D_L^-1/2 W_L D_L^-1/2 y = lambda y with
x = D_L^-1/2 y, solved exactly by LAPACK (scipy.linalg.eigh) for the count + guard(count)
largest (the guard vectors, a quarter more, are carried up and dropped at the end).

Going up, for l = L - 1 ... 0: X_l = P_l X_{l+1}, then `sweeps` times
    X <- (X + D_l^-1 W_l X) / 2          (one product of W_l with the block)
and once Rayleigh-Ritz of (W_l, D_l) on span(X): the k x k problem
    (X^T W_l X) c = theta (X^T D_l X) c, X <- X C, in descending order of theta
(directions that X^T D_l X shows nearly dependent, below 1e-12 of its largest
eigenvalue, are dropped first), so that X is D_l-orthonormal and its columns are Ritz
vectors. The shift by the identity
maps the spectrum of D^-1 W from [-1, 1] to [0, 1], so the sweeps damp the components of
small and negative eigenvalues (the piecewise-constant interpolation's jags) fastest.
Levels 0 and 1 get SWEEPS_FINE sweeps, the coarser ones SWEEPS_COARSE (cheap there).

Fine-level work, all explicit: one pass over the rows of W for the aggregation (an
integer per pixel), W P and P^T (W P) for W_1, P^T d, P X_1, per sweep one product W X,
and once the k x k matrices X^T (W X) and X^T (D X). Everything below level 1 runs on W_1, d_1
and the positions of level 1 alone.
"""

import time
from dataclasses import dataclass, field

import numpy as np
import scipy.linalg
import scipy.sparse
from scipy.sparse.csgraph import connected_components

LATTICE = 3
KEEP = 0.5
COARSEST = 800
STALL = 0.7
SWEEPS_FINE = 4
SWEEPS_COARSE = 12


def guard(count):
    """Ritz vectors carried beside the count wanted ones (the last wanted converge no
    slower than the first ones left out)."""
    return count // 4


@dataclass
class Level:
    """A graph of the hierarchy: symmetric weights (CSR), degrees, node positions (n x 2)
    and the lattice step of its seeds."""

    weights: scipy.sparse.csr_matrix
    degrees: np.ndarray
    positions: np.ndarray
    step: int
    # The aggregate (node of the next level) of each node, once coarsened.
    aggregates: np.ndarray = field(default=None)


def pixel_positions(shape):
    """(row, column) of every pixel in C order, as an n x 2 int64 array."""
    rows, columns = np.divmod(np.arange(shape[0] * shape[1], dtype=np.int64), shape[1])
    return np.stack([rows, columns], axis=1)


def links(weights, positions, step, keep=KEEP):
    """The link of every node (step 2 of the module's description): itself for a seed,
    the seed it joins, or, cut off from every seed, its strongest partner."""
    return rows_links(weights, positions, step, keep, first=0)


def seeds(positions, step):
    """Which nodes are seeds: those on the lattice of the given step."""
    return (positions[:, 0] % step == 0) & (positions[:, 1] % step == 0)


def rows_links(weights, positions, step, keep=KEEP, first=0, seed=None):
    """links() for the rows first ... first + weights.shape[0] - 1 of the graph: weights
    is a CSR matrix of those rows (columns: all nodes), positions those of all nodes.
    seed, seeds(positions, step) when not given, saves a caller that goes through the
    rows a slab at a time making it over all nodes for each."""
    weights = weights.tocsr()
    m = weights.shape[0]
    own = np.arange(first, first + m, dtype=np.int64)
    if seed is None:
        seed = seeds(positions, step)
    counts = np.diff(weights.indptr)
    row = np.repeat(np.arange(m, dtype=np.int64), counts)
    col = weights.indices
    other = np.where(col != own[row], weights.data, 0.0)
    top = np.zeros(m)
    filled = counts > 0
    top[filled] = np.maximum.reduceat(other, weights.indptr[:-1][filled])
    result = own.copy()
    candidate = np.flatnonzero(seed[col] & (other >= keep * top[row]) & (other > 0))
    crow, ccol, value = row[candidate], col[candidate].astype(np.int64), other[candidate]
    distance = ((positions[ccol] - positions[own[crow]]) ** 2).sum(axis=1)
    # Nearest first, then the stronger coupling, then the lower node number.
    rows, columns = _first_per_row(crow, distance, ccol, -value)
    result[rows] = columns
    # Cut off from the seeds: the strongest partner (the lower node number of equals).
    lost = np.ones(m, dtype=bool)
    lost[rows] = False
    lost &= ~seed[own] & (top > 0)
    if lost.any():
        strongest = np.flatnonzero(lost[row] & (other == top[row]))
        rows, columns = _first_per_row(
            row[strongest], np.zeros(strongest.size), col[strongest].astype(np.int64)
        )
        result[rows] = columns
    result[seed[own]] = own[seed[own]]
    return result


def _first_per_row(row, primary, column, secondary=None):
    """Of entries (row, column), each row's column that sorts first by primary, then by
    secondary (when given), then by column: (rows, columns)."""
    keys = (column,) + (() if secondary is None else (secondary,)) + (primary, row)
    order = np.lexsort(keys)
    row, column = row[order], column[order]
    first = np.ones(row.size, dtype=bool)
    first[1:] = row[1:] != row[:-1]
    return row[first], column[first]


def aggregation(link):
    """The aggregates of the nodes' links: the connected pieces of the graph of the links
    (each holds at most one seed), numbered in the order of their lowest node; the
    aggregate of every node, the count, and each aggregate's representative (its seed,
    or else its lowest node)."""
    n = link.size
    graph = scipy.sparse.coo_matrix((np.ones(n), (np.arange(n), link)), shape=(n, n))
    count, aggregate = connected_components(graph, directed=False)
    representative = np.full(count, n, dtype=np.int64)
    np.minimum.at(representative, aggregate, np.arange(n))
    selfs = np.flatnonzero(link == np.arange(n))
    representative[aggregate[selfs]] = selfs
    return aggregate.astype(np.int64), count, representative


def prolongation(aggregate, count):
    """P: n x count, P[i, aggregate[i]] = 1, as CSR."""
    n = aggregate.size
    return scipy.sparse.csr_matrix((np.ones(n), (np.arange(n), aggregate)), shape=(n, count))


def coarsen(weights, degrees, aggregate, count):
    """W_c = P^T W P and d_c = P^T d of the aggregates (CSR, float64)."""
    p = prolongation(aggregate, count)
    coarse = (p.T @ (weights @ p)).tocsr()
    coarse.sum_duplicates()
    return coarse, np.bincount(aggregate, weights=degrees, minlength=count)


def hierarchy(weights, degrees, positions, coarsest=COARSEST, keep=KEEP, say=None, step=LATTICE):
    """The levels from the given graph, whose seeds lie on the lattice of the given step
    (LATTICE for pixels, 2 LATTICE for level 1 ...), down to the coarsest (a list of Level)."""
    levels = [Level(weights.tocsr(), degrees, positions, step)]
    while levels[-1].weights.shape[0] > coarsest:
        level = levels[-1]
        link = links(level.weights, level.positions, level.step, keep)
        aggregate, count, representative = aggregation(link)
        if count > STALL * level.weights.shape[0]:
            break
        level.aggregates = aggregate
        coarse, coarse_degrees = coarsen(level.weights, level.degrees, aggregate, count)
        levels.append(
            Level(coarse, coarse_degrees, level.positions[representative], 2 * level.step)
        )
        if say:
            # The given graph's own depth in the hierarchy is log2(step / LATTICE).
            number = len(levels) - 2 + (step // LATTICE).bit_length()
            say(f"level {number}: {count} nodes, {coarse.nnz} entries")
    return levels


def coarsest_eigenvectors(weights, degrees, count):
    """The count largest eigenvalues of (W, D), descending, and D-orthonormal eigenvectors,
    by a dense symmetric eigensolve."""
    n = weights.shape[0]
    scale = 1.0 / np.sqrt(degrees)
    dense = weights.toarray() * scale[:, None] * scale[None, :]
    dense = (dense + dense.T) * 0.5
    values, vectors = scipy.linalg.eigh(dense, subset_by_index=[n - count, n - 1], driver="evr")
    return values[::-1], vectors[:, ::-1] * scale[:, None]


def rayleigh_ritz(weights, degrees, x, wx=None):
    """Ritz values (descending) and D-orthonormal Ritz vectors of (W, D) on span(x)."""
    if wx is None:
        wx = weights @ x
    a = x.T @ wx
    b = x.T @ (degrees[:, None] * x)
    a, b = (a + a.T) * 0.5, (b + b.T) * 0.5
    # Drop directions that are (nearly) dependent before the generalised problem.
    bvalues, bvectors = np.linalg.eigh(b)
    keep = bvalues > bvalues[-1] * 1e-12
    basis = bvectors[:, keep] / np.sqrt(bvalues[keep])
    values, c = np.linalg.eigh(basis.T @ a @ basis)
    c = basis @ c[:, ::-1]
    return values[::-1], x @ c


def refine(weights, degrees, x, sweeps, say=None):
    """sweeps of the shifted block iteration, then Rayleigh-Ritz (see the module's
    description); returns the Ritz values and vectors. say(text), when given, hears after
    each sweep how many are done and an estimate of the time left."""
    start = time.perf_counter()
    for done in range(1, sweeps + 1):
        x = 0.5 * (x + (weights @ x) / degrees[:, None])
        if say:
            spent = time.perf_counter() - start
            left = spent / done * (sweeps - done)
            say(f"sweep {done} of {sweeps} over {weights.shape[0]} nodes, about {left:.1f} s left")
    return rayleigh_ritz(weights, degrees, x)


def leading_subspace(
    weights,
    degrees,
    positions,
    count,
    sweeps_fine=SWEEPS_FINE,
    sweeps_coarse=SWEEPS_COARSE,
    coarsest=COARSEST,
    extra=None,
    say=None,
    depth=0,
    trim=True,
):
    """The count leading Ritz values (descending) and D-orthonormal Ritz vectors of
    (W, D) by the multilevel method, carrying extra (default guard(count)) more vectors
    through the levels, and the levels. say(text), when given, hears the progress.

    The graph is level `depth` of a hierarchy (0: the pixels; 1: a driver that made level 1
    itself, as one that spreads the pixels over processes does), which sets its seeds'
    lattice step and its sweeps. Without trim, all count + extra vectors are returned, for
    the finer levels that the caller refines itself."""
    n = weights.shape[0]
    if count >= n:
        raise ValueError(f"{count} eigenvectors need more than {count} pixels, got {n}")
    start = time.perf_counter()
    levels = hierarchy(weights, degrees, positions, coarsest, say=say, step=LATTICE * 2**depth)
    last = levels[-1]
    k = min(count + (guard(count) if extra is None else extra), last.weights.shape[0] - 1)
    if k < count:
        raise ValueError(
            f"{count} eigenvectors need more than {count} nodes on the coarsest level, got {k + 1}"
        )
    values, x = coarsest_eigenvectors(last.weights, last.degrees, k)
    if say:
        say(
            f"coarsest level {len(levels) - 1 + depth}: {last.weights.shape[0]} nodes solved "
            "exactly "
            f"({time.perf_counter() - start:.2f} s so far)"
        )
    for below in range(len(levels) - 2, -1, -1):
        level = levels[below]
        x = x[level.aggregates]
        sweeps = sweeps_fine if below + depth <= 1 else sweeps_coarse
        # Only the sweeps over large levels take long enough to be worth telling.
        values, x = refine(
            level.weights, level.degrees, x, sweeps, say if level.weights.nnz > 20_000_000 else None
        )
        if say:
            spent = time.perf_counter() - start
            say(f"level {below + depth}: {sweeps} sweeps and Rayleigh-Ritz, {spent:.2f} s so far")
    if not trim:
        return values, x, levels
    return values[:count], x[:, :count], levels
