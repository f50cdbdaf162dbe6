% The leading generalised eigenvectors of (W, D) over a hierarchy of aggregated graphs
% (quorvane.multilevel of the Python package).
%
% Level 1 is the pixel graph (W, degrees d, each node at its pixel's row and column). Level
% l + 1 aggregates level l. The seeds are the nodes whose row and column are multiples of
% the level's lattice step (3 at level 1, doubling each level). Every other node links to
% the nearest seed among those it couples to with at least KEEP times its strongest
% coupling to any other node (ties: the stronger coupling, then the lower node number),
% or, cut off from every seed, to its strongest partner. The aggregates are the connected
% pieces of the links; with P(i, a) = 1 for node i in aggregate a, W_c = P' W P and
% d_c = P' d, each aggregate at the position of its seed (or of its lowest node).
% Coarsening stops at COARSEST nodes or when a step keeps more than STALL of them. The
% coarsest problem is solved to full precision; going up, the vectors are carried by P
% and refined by sweeps X <- (X + D^-1 W X) / 2 and a Rayleigh-Ritz projection, which
% leaves X D-orthonormal. Nodes are numbered column-major, as Octave numbers pixels (the
% Python package numbers them row by row, which only tells ties apart otherwise).

function [values, X, levels] = leading_subspace(W, d, positions, count, s, say)
  started = tic();
  levels = hierarchy(W, d, positions, s, say);
  last = levels{end};
  k = min(count + floor(count / 4), size(last.W, 1) - 1);   % a quarter more carried along
  if k < count
    error('quorvane_demo: %d eigenvectors need more than %d nodes on the coarsest level, got %d', ...
          count, count, k + 1);
  end
  [values, X] = coarsest_eigenvectors(last.W, last.d, k);
  Xt = X';
  say(sprintf('coarsest level %d: %d nodes solved to full precision (%.2f s so far)', ...
              numel(levels) - 1, size(last.W, 1), toc(started)));
  for depth = numel(levels) - 1:-1:1
    level = levels{depth};
    Xt = Xt(:, level.aggregates);
    if depth <= 2
      sweeps = s.sweeps_fine;
    else
      sweeps = s.sweeps_coarse;
    end
    % Only the sweeps over large levels take long enough to be worth telling.
    [values, Xt] = refine(level.W, level.d, Xt, sweeps, say, nnz(level.W) > 20e6);
    say(sprintf('level %d: %d sweeps and Rayleigh-Ritz, %.2f s so far', depth - 1, sweeps, ...
                toc(started)));
  end
  values = values(1:count);
  X = Xt(1:count, :)';
end

function levels = hierarchy(W, d, positions, s, say)
  levels = {struct('W', W, 'd', d, 'positions', positions, 'step', s.lattice, 'aggregates', [])};
  while size(levels{end}.W, 1) > s.coarsest
    level = levels{end};
    n = size(level.W, 1);
    link = links(level.W, level.positions, level.step, s.keep);
    [aggregate, count, representative] = aggregation(link);
    if count > s.stall * n
      break;
    end
    levels{end}.aggregates = aggregate;
    P = sparse(1:n, aggregate, 1, n, count);
    Wc = P' * level.W * P;
    Wc = (Wc + Wc') / 2;
    dc = accumarray(aggregate, level.d(:), [count 1]);
    levels{end + 1} = struct('W', Wc, 'd', dc, 'positions', level.positions(representative, :), ...
                             'step', 2 * level.step, 'aggregates', []);  %#ok<AGROW>
    say(sprintf('level %d: %d nodes, %d entries', numel(levels) - 1, count, nnz(Wc)));
  end
end

% The link of every node: itself for a seed, the seed it joins, or, cut off from every
% seed, its strongest partner (the lowest node of equals).
function link = links(W, positions, step, keep)
  n = size(W, 1);
  seed = mod(positions(:, 1), step) == 0 & mod(positions(:, 2), step) == 0;
  % W is symmetric: the columns are the rows. max gives the first of equal maxima.
  off = W - spdiags(full(diag(W)), 0, n, n);
  [top, strongest] = max(off, [], 1);
  top = full(top(:));
  link = (1:n)';
  cut_off = top > 0;
  link(cut_off) = strongest(cut_off);
  seeds = find(seed);
  [node, partner, value] = find(off(:, seeds));
  clear off;
  partner = seeds(partner);
  chosen = value >= keep * top(node) & value > 0;
  node = node(chosen);
  partner = partner(chosen);
  value = value(chosen);
  distance = sum((positions(partner, :) - positions(node, :)) .^ 2, 2);
  [who, whom] = first_per_node(node, distance, partner, -value);
  link(who) = whom;
  link(seed) = find(seed);
end

% Of entries (node, partner), each node's partner that sorts first by primary, then by
% secondary (when given), then by partner.
function [who, whom] = first_per_node(node, primary, partner, secondary)
  if nargin < 4
    secondary = zeros(size(node));
  end
  [~, order] = sortrows([node, primary, secondary, partner]);
  node = node(order);
  partner = partner(order);
  first = [true; node(2:end) ~= node(1:end - 1)];
  who = node(first);
  whom = partner(first);
end

% The aggregates of the links, numbered in the order of their lowest node, their count,
% and each aggregate's representative: its seed (the node linked to itself), or else its
% lowest node.
function [aggregate, count, representative] = aggregation(link)
  n = numel(link);
  [aggregate, count] = components(n, (1:n)', link(:));
  representative = accumarray(aggregate, (1:n)', [count 1], @min);
  selfs = find(link(:) == (1:n)');
  representative(aggregate(selfs)) = selfs;
end

% The count largest eigenvalues of (W, D), descending, and D-orthonormal eigenvectors, by
% a dense symmetric eigensolve. (Not by eigs: pieces of the graph that edges cut off
% entirely give the eigenvalue 1 once each, and a Krylov method finds one vector of such
% an eigenspace, not all of them.)
function [values, X] = coarsest_eigenvectors(W, d, count)
  scale = 1 ./ sqrt(d(:));
  A = full(W) .* (scale * scale');
  [V, L] = eig((A + A') / 2);
  [values, order] = sort(diag(L), 'descend');
  values = values(1:count);
  X = V(:, order(1:count)) .* scale;
end

% SWEEPS of the shifted block iteration, then Rayleigh-Ritz; with TELL, say() hears after
% each sweep how many are done and about how long the rest takes. The block is held
% transposed, one row per vector (Xt = X'): Octave multiplies a full matrix by a sparse
% one five times as fast as the other way round, and W is symmetric, so W X = (Xt W)'.
function [values, Xt] = refine(W, d, Xt, sweeps, say, tell)
  started = tic();
  for done = 1:sweeps
    Xt = 0.5 * (Xt + (Xt * W) ./ d');
    if tell
      say(sprintf('sweep %d of %d over %d nodes, about %.1f s left', done, sweeps, ...
                  size(W, 1), toc(started) / done * (sweeps - done)));
    end
  end
  [values, Xt] = rayleigh_ritz(W, d, Xt);
end

% Ritz values (descending) and D-orthonormal Ritz vectors of (W, D) on the span of the
% rows of Xt, as rows.
function [values, Xt] = rayleigh_ritz(W, d, Xt)
  A = (Xt * W) * Xt';
  Z = Xt .* sqrt(d');
  B = Z * Z';
  clear Z;
  A = (A + A') / 2;
  B = (B + B') / 2;
  [Bv, Bl] = eig(B);
  bl = diag(Bl);
  keep = bl > max(bl) * 1e-12;             % drop (nearly) dependent directions
  basis = Bv(:, keep) ./ sqrt(bl(keep))';
  [C, L] = eig(basis' * A * basis);
  [values, order] = sort(diag(L), 'descend');
  Xt = (basis * C(:, order))' * Xt;
end
