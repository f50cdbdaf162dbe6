function labels = quorvane_demo(outdir, image_file, options)
%QUORVANE_DEMO  Normalised-cut segmentation of a photograph with QUORVANE weights.
%   QUORVANE_DEMO(OUTDIR) segments data/coins.png of the sources and writes PNG pictures
%   into OUTDIR (created when missing): the input, the edge magnitude and phase, the
%   weights of a few pixels to their neighbours, the leading eigenvectors and the
%   segmentation drawn over the image. It prints each step and its time. No graphics
%   window is opened. QUORVANE (the module) and QUORVANE_PATTERN must be on the path,
%   e.g. addpath('build'); "make demo" runs it with OUTDIR = build/demo.
%
%   QUORVANE_DEMO(OUTDIR, IMAGE_FILE) segments another grey or colour image, and
%   QUORVANE_DEMO(OUTDIR, IMAGE_FILE, OPTIONS) with other settings (a struct of fields
%   of settings() below, e.g. struct('pixel_budget', 30000)). LABELS = QUORVANE_DEMO(...)
%   returns the segment of every pixel of the image.
%
%   Steps, as in the Python demo (python3 -m quorvane.demo): the image is shrunk by
%   block means by the smallest whole factor that brings it within the pixel budget,
%   smoothed, and turned into an edge magnitude (gradient length) and an edge phase
%   (sign of the Laplacian, which changes across every edge). QUORVANE gives the weights
%   over a disc pattern of radius 6, with sigma a twelfth of the largest magnitude (half
%   the module's default, for sharper cuts at the fainter coin rims). The normalised
%   cut embeds the pixels with the leading generalised eigenvectors of (W, D), found by
%   a multilevel method: the pixel graph is aggregated level by level (W_c = P' W P)
%   down to a thousand or so nodes, whose eigenproblem is solved densely, and the
%   vectors are carried back up and refined on each finer graph by a few sweeps with
%   a Rayleigh-Ritz projection; each step prints its time. k-means splits the embedding
%   into more clusters than objects, neighbouring clusters that no edge separates (mean
%   weight across their border near 1) are merged again, and every connected piece
%   becomes a segment: each coin apart from the background.
%
%   A photograph whose run would not fit the memory available is refused before it is
%   read, with the figures. While the demo runs, Octave saves no octave-workspace file
%   if it is killed or crashes.
%
%   See also QUORVANE, QUORVANE_PATTERN, EIG.

  here = fileparts(mfilename('fullpath'));
  if nargin < 2 || isempty(image_file)
    image_file = fullfile(here, '..', 'data', 'coins.png');
  end
  s = settings();
  if nargin >= 3
    for name = fieldnames(options)'
      if ~isfield(s, name{1})
        error('quorvane_demo: no setting %s', name{1});
      end
      s.(name{1}) = options.(name{1});
    end
  end
  % Killed or crashed, Octave would save the workspace (gigabytes of weights) to a file in
  % the current folder; not for this run.
  dumps = {crash_dumps_octave_core(false), sighup_dumps_octave_core(false), ...
           sigquit_dumps_octave_core(false), sigterm_dumps_octave_core(false)};
  restore = onCleanup(@() restore_dumps(dumps));
  total = tic();

  step = tic();
  info = imfinfo(image_file)(1);
  factor = shrink_factor([info.Height, info.Width], s.pixel_budget);
  check_memory(image_file, info, factor, s);
  original = read_grey(image_file);
  img = shrink(original, factor);
  [nr, nc] = size(img);
  np = nr * nc;
  report(step, sprintf('read %s (%d x %d), shrunk by %d to %d x %d', image_file, ...
                       size(original, 1), size(original, 2), factor, nr, nc));

  step = tic();
  [magnitude, phase] = edges(img, s.smoothing);
  if ~(max(magnitude(:)) > 0)
    error('quorvane_demo: the image has no edges to segment by');
  end
  report(step, 'edge magnitude (gradient) and phase (sign of the Laplacian)');

  step = tic();
  [IR, JC] = quorvane_pattern(nr, nc, s.radius);
  report(step, sprintf('disc pattern of radius %d: %d pairs', s.radius, numel(IR)));

  step = tic();
  sigma = s.sigma_share * max(magnitude(:));
  W = quorvane(magnitude, phase, IR, JC, sigma);
  clear IR JC;
  report(step, sprintf('weights from quorvane: %d x %d sparse, sigma %.4g', np, np, sigma));

  step = tic();
  W = (W + W') / 2;                         % the line walk may differ by direction
  d = full(sum(W, 2));
  [rows, cols] = ndgrid(0:nr - 1, 0:nc - 1);
  say = @(what) report(step, ['  ' what]);
  [values, embedding] = leading_subspace(W, d, [rows(:), cols(:)], s.eigenvectors, s, say);
  report(step, sprintf('normalised cut: %d leading eigenvectors of (W, D), multilevel', ...
                       s.eigenvectors));

  step = tic();
  unit = embedding ./ max(sqrt(sum(embedding .^ 2, 2)), realmin);
  found = kmeans_plain(unit, s.clusters, 100);
  [i, j, w] = find(W);
  [found, merged] = merge_unseparated(found, i, j, w, s.merge_above);
  clear i j w;
  [labels, count] = connected_pieces(reshape(found, nr, nc));
  report(step, sprintf(['k-means into %d clusters, %d after merging unseparated ones, ' ...
                        '%d connected segments'], s.clusters, merged, count));

  step = tic();
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  write_pictures(outdir, original, img, factor, magnitude, phase, W, embedding, labels, s.radius);
  report(step, sprintf('pictures written to %s', outdir));
  report(total, 'total');
  labels = enlarge(labels, factor, size(original));
end

% The choices of a run (those of the Python demo, quorvane.segmentation.Settings).
function s = settings()
  s = struct();
  s.pixel_budget = 65536;  % largest pixel count of the shrunk image
  s.smoothing = 1;         % Gaussian standard deviation before differentiation
  s.radius = 6;            % pattern radius, in pixels of the shrunk image
  s.sigma_share = 1 / 12;  % sigma as a share of the largest magnitude
  s.eigenvectors = 32;     % of the normalised cut
  s.clusters = 48;         % k-means clusters, more than the objects
  s.merge_above = 0.8;     % neighbouring segments with a mean weight above this merge
  % The multilevel eigensolve (see leading_subspace).
  s.lattice = 3;
  s.keep = 0.5;
  s.coarsest = 1500;
  s.stall = 0.7;
  s.sweeps_fine = 4;
  s.sweeps_coarse = 12;
  s.guard = 8;             % vectors carried beyond those wanted
  % Peak memory of a run per colour sample of the photograph, per pixel pair of the
  % pattern and per pixel of the shrunk image (measured on coins.png, with room to spare),
  % for the refusal up front; the memory available ([]: MemAvailable of /proc/meminfo).
  s.bytes_per_sample = 24;
  s.bytes_per_pair = 100;
  s.bytes_per_pixel = 2000;
  s.available_memory = [];
end

function restore_dumps(dumps)
  crash_dumps_octave_core(dumps{1});
  sighup_dumps_octave_core(dumps{2});
  sigquit_dumps_octave_core(dumps{3});
  sigterm_dumps_octave_core(dumps{4});
end

% Refuses, before the photograph is read, one whose run would not fit the memory that is
% available now (or s.available_memory bytes when set): reading it, and the pixel pairs of
% its shrunk image (the weights and what the eigensolve makes of them).
function check_memory(image_file, info, factor, s)
  nr = floor(info.Height / factor);
  nc = floor(info.Width / factor);
  [dr, dc] = ndgrid(-floor(s.radius):floor(s.radius));
  pairs = nr * nc * sum(dr(:) .^ 2 + dc(:) .^ 2 <= s.radius ^ 2);   % at most
  samples = info.Height * info.Width * 3;                           % colour at most
  need = samples * s.bytes_per_sample + pairs * s.bytes_per_pair + nr * nc * s.bytes_per_pixel;
  available = s.available_memory;
  if isempty(available)
    available = available_bytes();
  end
  if need > available
    error(['quorvane_demo: %s (%d x %d pixels, shrunk by %d to %d x %d with %d pixel ' ...
           'pairs) needs about %.2f GB of memory, but %.2f GB is available; shrink it ' ...
           'more (a smaller pixel_budget)'], image_file, info.Height, info.Width, factor, ...
          nr, nc, pairs, need / 1e9, available / 1e9);
  end
end

% MemAvailable of /proc/meminfo, or Inf where there is none.
function bytes = available_bytes()
  bytes = Inf;
  [fid, ~] = fopen('/proc/meminfo', 'r');
  if fid < 0
    return;
  end
  text = fread(fid, Inf, 'char=>char')';
  fclose(fid);
  found = regexp(text, 'MemAvailable:\s*(\d+) kB', 'tokens', 'once');
  if ~isempty(found)
    bytes = 1024 * str2double(found{1});
  end
end

% The photograph as grey values in [0, 1] (colour as its mean).
function grey = read_grey(image_file)
  [grey, map] = imread(image_file);
  if ~isempty(map)
    grey = 255 * ind2rgb(grey, map);
  end
  grey = double(grey);
  if ndims(grey) == 3
    grey = mean(grey(:, :, 1:min(3, end)), 3);
  end
  grey = grey / max(max(grey(:)), 1);
end

% The smallest whole factor that brings an image of this size within the budget.
function factor = shrink_factor(sz, budget)
  factor = 1;
  while floor(sz(1) / factor) * floor(sz(2) / factor) > budget
    factor += 1;
  end
end

% Means of factor x factor blocks (rows and columns left over at the end are dropped).
function small = shrink(img, factor)
  m = factor * floor(size(img) / factor);
  if any(m == 0)
    error('quorvane_demo: an image of %d x %d cannot shrink by %d', size(img, 1), size(img, 2), factor);
  end
  small = img(1:m(1), 1:m(2));
  small = reshape(mean(reshape(small, factor, []), 1), m(1) / factor, m(2));
  small = reshape(mean(reshape(small', factor, []), 1), m(2) / factor, m(1) / factor)';
end

% Labels of the shrunk image back at the size of the original: each block takes its label,
% and rows and columns that shrinking dropped take those of the last block.
function big = enlarge(labels, factor, sz)
  big = kron(labels, ones(factor));
  big = big([1:end, end * ones(1, sz(1) - end)], [1:end, end * ones(1, sz(2) - end)]);
end

function [magnitude, phase] = edges(img, smoothing)
  x = -ceil(3 * smoothing):ceil(3 * smoothing);
  g = exp(-x .^ 2 / (2 * smoothing ^ 2));
  g = g / sum(g);
  smooth = conv2(g, g, padarray_replicate(img, numel(x)), 'same');
  smooth = smooth(numel(x) + 1:end - numel(x), numel(x) + 1:end - numel(x));
  [gx, gy] = gradient(smooth);
  magnitude = hypot(gx, gy);
  phase = double(del2(smooth) > 0);
end

function report(start, what)
  fprintf('%7.2f s  %s\n', toc(start), what);
end

function padded = padarray_replicate(img, n)
  r = [ones(1, n), 1:size(img, 1), size(img, 1) * ones(1, n)];
  c = [ones(1, n), 1:size(img, 2), size(img, 2) * ones(1, n)];
  padded = img(r, c);
end

% Lloyd's k-means with k-means++ seeding from a fixed random state (repeatable), until the
% centres move by less than scikit-learn's tolerance (1e-4 of the mean variance of the
% columns, in squared distance) or after ITERATIONS steps.
function labels = kmeans_plain(X, k, iterations)
  n = size(X, 1);
  stream = rand('state');
  rand('state', 42);
  centres = X(1 + floor(rand() * n), :);
  nearest = sum((X - centres) .^ 2, 2);
  for c = 2:k
    chosen = find(cumsum(nearest) >= rand() * sum(nearest), 1);
    centres(c, :) = X(chosen, :);
    nearest = min(nearest, sum((X - centres(c, :)) .^ 2, 2));
  end
  rand('state', stream);
  tolerance = 1e-4 * mean(var(X, 1));
  for it = 1:iterations
    [~, labels] = min(sum(centres .^ 2, 2)' - 2 * (X * centres'), [], 2);
    counts = accumarray(labels, 1, [k 1]);
    sums = zeros(k, size(X, 2));
    for c = 1:size(X, 2)
      sums(:, c) = accumarray(labels, X(:, c), [k 1]);
    end
    kept = counts > 0;                      % an emptied cluster keeps its centre
    before = centres;
    centres(kept, :) = sums(kept, :) ./ counts(kept);
    if sum((centres(:) - before(:)) .^ 2) <= tolerance
      break;
    end
  end
  [~, labels] = min(sum(centres .^ 2, 2)' - 2 * (X * centres'), [], 2);
end

% Merges neighbouring segments whose pairs across the border have a mean weight above
% LIMIT (no edge between them) and numbers the result 1..count.
function [labels, count] = merge_unseparated(labels, i, j, w, limit)
  k = max(labels);
  a = labels(i);
  b = labels(j);
  across = a ~= b;
  weight = sparse(a(across), b(across), w(across), k, k);
  pairs = sparse(a(across), b(across), 1, k, k);
  [p, q] = find(pairs);
  mean_weight = full(weight(sub2ind([k k], p, q))) ./ full(pairs(sub2ind([k k], p, q)));
  join = mean_weight > limit;
  [root, count] = components(k, p(join), q(join));
  labels = root(labels);
end

% Splits every segment of the label image into its 4-connected pieces, numbered 1..count.
function [pieces, count] = connected_pieces(labels)
  [nr, nc] = size(labels);
  id = reshape(1:nr * nc, nr, nc);
  down = labels(1:end - 1, :) == labels(2:end, :);
  right = labels(:, 1:end - 1) == labels(:, 2:end);
  above = id(1:end - 1, :);
  below = id(2:end, :);
  left = id(:, 1:end - 1);
  beside = id(:, 2:end);
  [root, count] = components(nr * nc, [above(down); left(right)], [below(down); beside(right)]);
  pieces = reshape(root, nr, nc);
end

% Connected components of the graph of n nodes with edges p(e)-q(e), as component
% numbers 1..count for the nodes: minimum-label propagation with pointer jumping.
function [root, count] = components(n, p, q)
  root = (1:n)';
  changed = true;
  while changed
    before = root;
    low = min(root(p), root(q));
    root = accumarray([p(:); q(:); (1:n)'], [low; low; root], [n 1], @min);
    root = root(root);
    changed = ~isequal(root, before);
  end
  [~, ~, root] = unique(root);
  count = max(root);
end

% ---- The leading generalised eigenvectors of (W, D) over a hierarchy of aggregated graphs.
%
% Level 1 is the pixel graph (W, degrees d, each node at its pixel's row and column). Level
% l + 1 aggregates level l: the seeds are the nodes whose row and column are multiples of
% the level's lattice step (3 at level 1, doubling each level); every other node joins the
% nearest seed among those it couples to with at least KEEP times its strongest coupling to
% any other node (ties: the stronger coupling, then the lower node number), or stays alone
% when it couples to none. With P(i, a) = 1 for node i in aggregate a, W_c = P' W P and
% d_c = P' d. Coarsening stops at COARSEST nodes or when a step keeps more than STALL of
% them. The coarsest problem is solved densely; going up, the vectors are carried by P and
% refined by sweeps X <- (X + D^-1 W X) / 2 with a Rayleigh-Ritz projection at the end of
% each level, which leaves X D-orthonormal.

function [values, X, levels] = leading_subspace(W, d, positions, count, s, say)
  levels = hierarchy(W, d, positions, s, say);
  last = levels{end};
  k = min(count + s.guard, size(last.W, 1) - 1);
  [values, X] = coarsest_eigenvectors(last.W, last.d, k);
  say(sprintf('coarsest level %d: %d nodes solved exactly', numel(levels), size(last.W, 1)));
  for depth = numel(levels) - 1:-1:1
    level = levels{depth};
    X = X(level.aggregates, :);
    if depth <= 2
      sweeps = s.sweeps_fine;
    else
      sweeps = s.sweeps_coarse;
    end
    [values, X] = refine(level.W, level.d, X, sweeps);
    say(sprintf('level %d: %d nodes, %d sweeps', depth, size(level.W, 1), sweeps));
  end
  values = values(1:min(count, end));
  X = X(:, 1:min(count, end));
end

function levels = hierarchy(W, d, positions, s, say)
  levels = {struct('W', W, 'd', d, 'positions', positions, 'step', s.lattice, 'aggregates', [])};
  while size(levels{end}.W, 1) > s.coarsest
    level = levels{end};
    n = size(level.W, 1);
    root = roots(level.W, level.positions, level.step, s.keep);
    [kept, ~, aggregate] = unique(root);
    count = numel(kept);
    if count > s.stall * n
      break;
    end
    levels{end}.aggregates = aggregate;
    P = sparse(1:n, aggregate, 1, n, count);
    Wc = P' * level.W * P;
    Wc = (Wc + Wc') / 2;
    dc = accumarray(aggregate(:), level.d(:), [count 1]);
    levels{end + 1} = struct('W', Wc, 'd', dc, 'positions', level.positions(kept, :), ...
                             'step', 2 * level.step, 'aggregates', []);  %#ok<AGROW>
    say(sprintf('level %d: %d nodes, %d entries', numel(levels), count, nnz(Wc)));
  end
end

% The seed every node joins (its own number for seeds and for nodes coupled to none).
function root = roots(W, positions, step, keep)
  n = size(W, 1);
  seed = mod(positions(:, 1), step) == 0 & mod(positions(:, 2), step) == 0;
  offdiagonal = W - spdiags(full(diag(W)), 0, n, n);
  top = full(max(offdiagonal, [], 1))';      % W is symmetric: columns are rows
  clear offdiagonal;
  seeds = find(seed);
  % W is symmetric: column j of W(:, seeds) holds every node's coupling to seed seeds(j).
  [node, partner, value] = find(W(:, seeds));
  partner = seeds(partner);
  chosen = node ~= partner & ~seed(node) & value >= keep * top(node) & value > 0;
  node = node(chosen);
  partner = partner(chosen);
  value = value(chosen);
  distance = sum((positions(partner, :) - positions(node, :)) .^ 2, 2);
  [~, order] = sortrows([node, distance, -value, partner]);
  node = node(order);
  first = [true; node(2:end) ~= node(1:end - 1)];
  root = (1:n)';
  partner = partner(order);
  root(node(first)) = partner(first);
end

% The count largest eigenvalues of (W, D), descending, and D-orthonormal eigenvectors, by
% ARPACK (eigs) on D^-1/2 W D^-1/2 to full precision from a fixed start. (Octave's eig would
% compute all n eigenvectors, at n^3 cost: 30 s at 1953 nodes, against 0.4 s, for the same
% subspace to 4e-8 and the same values to 1e-14.)
function [values, X] = coarsest_eigenvectors(W, d, count)
  n = size(W, 1);
  scale = 1 ./ sqrt(d(:));
  S = spdiags(scale, 0, n, n);
  A = S * W * S;
  options = struct('tol', 1e-12, 'maxit', 1000, 'disp', 0, 'v0', sqrt(d(:) / sum(d)), ...
                   'p', min(n, 2 * count + 16));
  [V, L] = eigs((A + A') / 2, count, 'la', options);
  [values, order] = sort(diag(L), 'descend');
  X = V(:, order) .* scale;
end

function [values, X] = refine(W, d, X, sweeps)
  for sweep = 1:sweeps
    X = 0.5 * (X + times_w(W, X) ./ d);
  end
  [values, X] = rayleigh_ritz(W, d, X);
end

% W * X for the symmetric W as (X' * W)': Octave multiplies a full matrix by a sparse one
% five times as fast as the other way round.
function Y = times_w(W, X)
  Y = (X' * W)';
end

% Ritz values (descending) and D-orthonormal Ritz vectors of (W, D) on the span of X.
function [values, X] = rayleigh_ritz(W, d, X)
  A = X' * times_w(W, X);
  B = X' * (d .* X);
  A = (A + A') / 2;
  B = (B + B') / 2;
  [Bv, Bl] = eig(B);
  bl = diag(Bl);
  keep = bl > max(bl) * 1e-12;
  basis = Bv(:, keep) ./ sqrt(bl(keep))';
  [C, L] = eig(basis' * A * basis);
  [values, order] = sort(diag(L), 'descend');
  X = X * (basis * C(:, order));
end

function write_pictures(outdir, original, img, factor, magnitude, phase, W, embedding, labels, radius)
  [nr, nc] = size(img);
  imwrite(uint8(255 * original), fullfile(outdir, 'input.png'));

  shown = sqrt(magnitude / max(magnitude(:)));   % square root shows the weak edges too
  imwrite(uint8(255 * kron([shown, ones(nr, 2), phase], ones(2))), fullfile(outdir, 'edges.png'));

  % Weights of chosen pixels to their partners: a crop around each pixel, enlarged, with
  % each partner coloured from dark red (weight 0) to yellow (weight 1) over the image
  % and the pixel itself in blue. The places, as fractions of the image size, are (in
  % coins.png) the middle of a coin, a coin just inside its rim, a narrow gap between
  % two coins, open background and the face on a coin.
  places = [0.152 0.875; 0.550 0.906; 0.503 0.906; 0.298 0.339; 0.642 0.557];
  picks = round(bsxfun(@times, places, [nr nc]));
  half = radius + 3;
  zoom = 8;
  tiles = {};
  for t = 1:size(picks, 1)
    r = min(max(picks(t, 1), half + 1), nr - half);
    c = min(max(picks(t, 2), half + 1), nc - half);
    weights = reshape(full(W(:, (c - 1) * nr + r)), nr, nc);
    rr = r - half:r + half;
    cc = c - half:c + half;
    base = img(rr, cc);
    v = weights(rr, cc);
    inside = false(size(v));
    [dr, dc] = ndgrid(-half:half, -half:half);
    inside(dr .^ 2 + dc .^ 2 <= radius ^ 2) = true;
    glow = 0.3 + 0.7 * v;
    tile = cat(3, base, base, base);
    tile(:, :, 1) = tile(:, :, 1) .* (1 - 0.6 * inside) + 0.6 * inside .* glow;
    tile(:, :, 2) = tile(:, :, 2) .* (1 - 0.6 * inside) + 0.6 * inside .* glow .* v;
    tile(:, :, 3) = tile(:, :, 3) .* (1 - 0.6 * inside);
    tile(half + 1, half + 1, :) = reshape([0 0.4 1], 1, 1, 3);
    tile = kron_rgb(tile, zoom);
    tiles{end + 1} = cat(2, tile, ones(size(tile, 1), 6, 3));  %#ok<AGROW>
  end
  imwrite(uint8(255 * cat(2, tiles{:})), fullfile(outdir, 'weights.png'));

  % Where the chosen pixels lie, marked on the shrunk image.
  marked = repmat(img, [1 1 3]);
  for t = 1:size(picks, 1)
    r = min(max(picks(t, 1), half + 1), nr - half);
    c = min(max(picks(t, 2), half + 1), nc - half);
    marked(r - half:r + half, [c - half, c + half], 1) = 1;
    marked([r - half, r + half], c - half:c + half, 1) = 1;
  end
  imwrite(uint8(255 * kron_rgb(marked, 2)), fullfile(outdir, 'weights-where.png'));

  % The second to fifth eigenvectors side by side.
  strips = [];
  for k = 2:5
    v = reshape(embedding(:, k), nr, nc);
    v = (v - min(v(:))) / max(max(v(:)) - min(v(:)), eps);
    strips = [strips, v, ones(nr, 2)];  %#ok<AGROW>
  end
  imwrite(uint8(255 * strips(:, 1:end - 2)), fullfile(outdir, 'eigenvectors.png'));

  % The segmentation over the full-size image: a colour per segment, borders in red.
  big = enlarge(labels, factor, size(original));
  count = max(big(:));
  state = rand('state');
  rand('state', 7);
  colours = 0.25 + 0.75 * rand(count, 3);
  rand('state', state);
  border = big ~= big([2:end, end], :) | big ~= big(:, [2:end, end]);
  picture = zeros([size(original), 3]);
  for ch = 1:3
    layer = 0.55 * original + 0.45 * reshape(colours(big, ch), size(big));
    layer(border) = ch == 1;
    picture(:, :, ch) = layer;
  end
  imwrite(uint8(255 * picture), fullfile(outdir, 'segmentation.png'));
end

function big = kron_rgb(tile, zoom)
  big = zeros(size(tile, 1) * zoom, size(tile, 2) * zoom, 3);
  for ch = 1:3
    big(:, :, ch) = kron(tile(:, :, ch), ones(zoom));
  end
end
