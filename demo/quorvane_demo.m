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
%   The steps are those of the Python demo (python3 -m quorvane.demo, the functions of
%   quorvane.segmentation and quorvane.multilevel), with its settings:
%   1. The photograph, in colour when it has colour, is shrunk by block means by the
%      smallest whole factor that leaves at most 120 000 pixels (coins.png stays whole).
%   2. Edges: the Gaussian gradient magnitude of each channel (standard deviation 1),
%      the largest at every pixel; the phase codes the signs of every channel's
%      Laplacian of Gaussian, but only on edges: pixels above 6 units of the gradient
%      that the sensor noise alone gives (estimated from the differences of neighbouring
%      pixels) and the pixels above 3 units connected to them; 0 elsewhere. So noise and
%      shading change no phase, and an edge between two colours of one brightness does.
%      QUORVANE gives the weights over a disc pattern of radius 4, with sigma 2 noise
%      units.
%   3. The normalised cut embeds the pixels with the 32 leading generalised eigenvectors
%      of (W, D), by a multilevel method: the pixel graph is aggregated level by level
%      (W_c = P' W P) down to some hundreds of nodes, whose eigenproblem is solved to
%      full precision, and the vectors are carried back up and refined on each finer
%      graph by a few sweeps and a Rayleigh-Ritz projection (see leading_subspace below).
%   4. k-means into 48 clusters, fitted to the nodes of the first coarse level and then
%      applied to every pixel; neighbouring clusters tied across their border at least
%      0.4 times as well as within the better tied of them merge (along borders of at
%      least 4 pixels' pattern entries, clusters of fewer than 40 pixels left out); every
%      4-connected piece is a segment, and segments of fewer than 40 pixels join the
%      neighbour they are most tied to. So each coin of coins.png is a segment apart from
%      the one background.
%
%   A photograph whose run would not fit the memory available is refused before it is
%   read, with the figures. While the demo runs, Octave saves no octave-workspace file
%   if it is killed or crashes.
%
%   See also QUORVANE, QUORVANE_PATTERN, EIGS.

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
  original = read_picture(image_file);
  img = shrink(original, factor);
  [nr, nc, channels] = size(img);
  np = nr * nc;
  colour = {'', ', colour'}{1 + (channels == 3)};
  report(step, sprintf('read %s (%d x %d%s), shrunk by %d to %d x %d', image_file, ...
                       size(original, 1), size(original, 2), colour, factor, nr, nc));
  if np <= s.eigenvectors
    error('quorvane_demo: %d eigenvectors need more than %d pixels, got %d', ...
          s.eigenvectors, s.eigenvectors, np);
  end
  if np < s.clusters
    error('quorvane_demo: %d clusters need at least %d pixels, got %d', s.clusters, ...
          s.clusters, np);
  end

  step = tic();
  [magnitude, phase] = edges(img, s.smoothing, s.edge_low, s.edge_high);
  if ~any(phase(:))
    error('quorvane_demo: %s has no edges to segment by', image_file);
  end
  sigma = s.sigma_noise * edge_unit(img, s.smoothing);
  report(step, sprintf(['edges: gradient magnitude%s, phase: sign of the Laplacian on edges ' ...
                        'above %g noise units, smoothing %g'], ...
                       {'', ' (strongest channel)'}{1 + (channels == 3)}, s.edge_high, s.smoothing));

  step = tic();
  [IR, JC] = quorvane_pattern(nr, nc, s.radius);
  W = quorvane(magnitude, phase, IR, JC, sigma);
  clear IR JC;
  W = (W + W') / 2;                         % the line walk may differ by direction
  if s.weight_floor > 0
    W = spfun(@(w) max(w, s.weight_floor), W);
  end
  report(step, sprintf('weights from quorvane: disc pattern of radius %g, %d entries, sigma %.4g', ...
                       s.radius, nnz(W), sigma));

  step = tic();
  d = full(sum(W, 2));
  [rows, cols] = ndgrid(0:nr - 1, 0:nc - 1);
  say = @(what) report(step, ['  ' what]);
  [values, embedding, levels] = leading_subspace(W, d, [rows(:), cols(:)], s.eigenvectors, s, say);
  sizes = cellfun(@(level) size(level.W, 1), levels);
  report(step, sprintf('%d leading eigenvectors of (W, D) over %d levels (%s nodes)', ...
                       s.eigenvectors, numel(levels), strjoin(arrayfun(@num2str, sizes, ...
                                                                       'UniformOutput', false), ' > ')));

  step = tic();
  clusters = group(embedding, levels, s.clusters, s.seed);
  clear levels;
  [merged, kept] = merge_similar(clusters, W, s.merge_above, s.min_area, s.min_border * nnz(W) / np);
  [pieces, count] = connected_pieces(reshape(merged, nr, nc));
  [labels, final] = absorb_specks(pieces, W, s.min_area);
  report(step, sprintf(['k-means into %d clusters, %d after merging those tied across their ' ...
                        'border nearly as within, %d connected pieces, %d of %d pixels or ' ...
                        'more'], s.clusters, kept, count, final, s.min_area));

  step = tic();
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  write_pictures(outdir, original, img, factor, magnitude, phase, W, embedding, labels, s.radius);
  report(step, sprintf('pictures written to %s', outdir));
  report(total, 'total');
  printf('%d segments\n', final);
  labels = enlarge(labels, factor, [size(original, 1), size(original, 2)]);
end

% The choices of a run: those of the Python demo (quorvane.segmentation.Settings and the
% constants of quorvane.multilevel).
function s = settings()
  s = struct();
  s.pixel_budget = 120000;  % largest pixel count of the shrunk image
  s.smoothing = 1;          % Gaussian standard deviation of the edge filters
  s.radius = 4;             % pattern radius, in pixels of the shrunk image
  s.edge_low = 3;           % hysteresis of the edges, in noise units of the gradient
  s.edge_high = 6;
  s.sigma_noise = 2;        % sigma of the weights, in the same unit
  s.eigenvectors = 32;      % of the normalised cut
  s.clusters = 48;          % k-means clusters, more than the objects
  % Seed of the k-means seeding: runs repeat. With coins.png, each of the seeds 0..7 gives
  % the 24 coins on one background.
  s.seed = 0;
  s.merge_above = 0.4;      % share of the inner tie that a border's tie must exceed to merge
  s.min_border = 4;         % clusters merge along a border of this many pixels' entries
  s.weight_floor = 0;       % weights below it are raised to it (0: off)
  s.min_area = 40;          % smaller segments join their most tied neighbour
  % The multilevel eigensolve (see leading_subspace).
  s.lattice = 3;
  s.keep = 0.5;
  s.coarsest = 800;
  s.stall = 0.7;
  s.sweeps_fine = 4;
  s.sweeps_coarse = 12;
  % Peak memory of a run per colour sample of the photograph, per pixel pair of the
  % pattern and per pixel of the shrunk image, for the refusal up front (peaks measured
  % with coins.png at radius 2, 4 and 6: 284, 472 and 998 MB; these give 297, 631 and
  % 1223 MB); the memory available ([]: MemAvailable of /proc/meminfo).
  s.bytes_per_sample = 24;
  s.bytes_per_pair = 80;
  s.bytes_per_pixel = 1500;
  s.available_memory = [];
end

function restore_dumps(dumps)
  crash_dumps_octave_core(dumps{1});
  sighup_dumps_octave_core(dumps{2});
  sigquit_dumps_octave_core(dumps{3});
  sigterm_dumps_octave_core(dumps{4});
end

function report(start, what)
  fprintf('%7.2f s  %s\n', toc(start), what);
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

% ---- The picture and its edges.

% The photograph as values in [0, 1]: rows x columns x 3 when it has colour (channels that
% differ somewhere), else rows x columns. A palette is resolved, alpha dropped; 8-bit
% values are divided by 255, wider ones by their largest value when it exceeds 1.
function picture = read_picture(image_file)
  [picture, map] = imread(image_file);
  if ~isempty(map)
    picture = ind2rgb(picture, map);
  elseif isa(picture, 'uint8')
    picture = double(picture) / 255;
  else
    picture = double(picture);
    picture = picture / max(max(picture(:)), 1);
  end
  if size(picture, 3) >= 3
    picture = picture(:, :, 1:3);
    if isequal(picture(:, :, 1), picture(:, :, 2), picture(:, :, 3))
      picture = picture(:, :, 1);
    end
  else
    picture = picture(:, :, 1);
  end
end

% The smallest whole factor that brings an image of this size within the budget.
function factor = shrink_factor(sz, budget)
  factor = 1;
  while floor(sz(1) / factor) * floor(sz(2) / factor) > budget
    factor += 1;
  end
end

% Means of factor x factor blocks, channel by channel (rows and columns left over at the
% end are dropped).
function small = shrink(picture, factor)
  m = factor * floor([size(picture, 1), size(picture, 2)] / factor);
  if any(m == 0)
    error('quorvane_demo: an image of %d x %d cannot shrink by %d', size(picture, 1), ...
          size(picture, 2), factor);
  end
  if factor == 1
    small = picture;
    return;
  end
  channels = size(picture, 3);
  small = zeros(m(1) / factor, m(2) / factor, channels);
  for c = 1:channels
    a = picture(1:m(1), 1:m(2), c);
    a = reshape(mean(reshape(a, factor, []), 1), m(1) / factor, m(2));
    small(:, :, c) = reshape(mean(reshape(a', factor, []), 1), m(2) / factor, m(1) / factor)';
  end
end

% Labels of the shrunk image back at the size of the original: each block takes its label,
% and rows and columns that shrinking dropped take those of the last block.
function big = enlarge(labels, factor, sz)
  big = kron(labels, ones(factor));
  big = big([1:end, end * ones(1, sz(1) - end)], [1:end, end * ones(1, sz(2) - end)]);
end

% The picture filtered along its rows and columns with Gaussian kernels (standard
% deviation s, cut at 4 s as scipy.ndimage cuts them) of the given derivative orders,
% its edges continued by their nearest pixels.
function out = gaussian_filtered(channel, s, order_rows, order_columns)
  r = floor(4 * s + 0.5);
  x = -r:r;
  g = exp(-0.5 * x .^ 2 / s ^ 2);
  g = g / sum(g);
  kernels = {g, -x / s ^ 2 .* g, (x .^ 2 / s ^ 4 - 1 / s ^ 2) .* g};
  [nr, nc] = size(channel);
  padded = channel([ones(1, r), 1:nr, nr * ones(1, r)], [ones(1, r), 1:nc, nc * ones(1, r)]);
  out = conv2(kernels{1 + order_rows}, kernels{1 + order_columns}, padded, 'valid');
end

% Standard deviation of the sensor noise, from the median absolute difference of
% neighbouring pixels (edges are too few to move it); the median over the channels.
function noise = noise_level(picture)
  levels = zeros(1, size(picture, 3));
  for c = 1:size(picture, 3)
    channel = picture(:, :, c);
    steps = [reshape(diff(channel, 1, 1), [], 1); reshape(diff(channel, 1, 2), [], 1)];
    if ~isempty(steps)
      levels(c) = median(abs(steps)) / (0.6745 * sqrt(2));
    end
  end
  noise = median(levels);
end

% The standard deviation of one component of the Gaussian gradient of the noise alone; a
% picture without noise takes the noise of 8-bit rounding.
function unit = edge_unit(picture, smoothing)
  noise = max(noise_level(picture), 1 / (255 * sqrt(12)));
  unit = noise / (sqrt(8 * pi) * smoothing ^ 2);
end

% Edge magnitude (the largest Gaussian gradient magnitude over the channels) and phase:
% on the edges that hysteresis keeps (8-connected pieces above LOW noise units that reach
% above HIGH), the signs of every channel's Laplacian of Gaussian coded as one number
% 1 .. 3^channels (in grey 1 or 3), so that an edge between two colours of one brightness
% changes the phase too; 0 off the edges.
function [magnitude, phase] = edges(picture, smoothing, low, high)
  [nr, nc, channels] = size(picture);
  magnitude = zeros(nr, nc);
  phase = ones(nr, nc);
  for c = 1:channels
    channel = picture(:, :, c);
    m = hypot(gaussian_filtered(channel, smoothing, 1, 0), gaussian_filtered(channel, smoothing, 0, 1));
    magnitude = max(magnitude, m);
    laplace = gaussian_filtered(channel, smoothing, 2, 0) + gaussian_filtered(channel, smoothing, 0, 2);
    phase += 3 ^ (c - 1) * 2 * (laplace > 0);
  end
  unit = edge_unit(picture, smoothing);
  above = magnitude > low * unit;
  id = reshape(1:nr * nc, nr, nc);
  p = [];
  q = [];
  for shift = [1 0; 0 1; 1 1; 1 -1]'      % the 8-connected neighbours, each pair once
    rows = max(1, 1 - shift(1)):min(nr, nr - shift(1));
    cols = max(1, 1 - shift(2)):min(nc, nc - shift(2));
    both = above(rows, cols) & above(rows + shift(1), cols + shift(2));
    a = id(rows, cols);
    b = id(rows + shift(1), cols + shift(2));
    p = [p; a(both)];  %#ok<AGROW>
    q = [q; b(both)];  %#ok<AGROW>
  end
  piece = components(nr * nc, p, q);
  strong = false(max(piece), 1);
  strong(piece(magnitude > high * unit)) = true;
  phase(~(above(:) & strong(piece))) = 0;
end

% Connected components of the graph of n nodes with edges p(e)-q(e): the component of
% every node, numbered 1..count in the order of their lowest node, and count (the blocks
% of the Dulmage-Mendelsohn decomposition of the symmetric adjacency matrix with its
% diagonal, which are its connected components).
function [component, count] = components(n, p, q)
  A = sparse([p(:); q(:); (1:n)'], [q(:); p(:); (1:n)'], 1, n, n);
  [order, ~, starts] = dmperm(A);
  count = numel(starts) - 1;
  block = zeros(n, 1);
  block(order) = repelem((1:count)', diff(starts(:)));
  lowest = accumarray(block, (1:n)', [count 1], @min);
  [~, rank] = sort(lowest);
  renumber = zeros(count, 1);
  renumber(rank) = 1:count;
  component = renumber(block);
end
% ---- The leading generalised eigenvectors of (W, D) over a hierarchy of aggregated graphs
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

% ---- From the embedding to the segments (quorvane.segmentation's group, merge_similar,
% connected_segments and absorb_specks).

% The rows scaled to unit length (zero rows stay zero).
function rows = unit_rows(X)
  length = sqrt(sum(X .^ 2, 2));
  rows = X ./ (length + (length == 0));
end

% Sums of the rows of X per label 1..count.
function sums = sums_by(labels, X, count)
  sums = zeros(count, size(X, 2));
  for c = 1:size(X, 2)
    sums(:, c) = accumarray(labels(:), X(:, c), [count 1]);
  end
end

% k-means clusters of the pixels (1..count) from their embedding: the centres are fitted
% to the first coarse level's nodes (each aggregate's degree-weighted mean row, weighted
% by its degree: far fewer rows than pixels), then every pixel takes the centre nearest
% to its own unit row.
function labels = group(embedding, levels, count, seed)
  rows = unit_rows(embedding);
  fine = levels{1};
  if numel(levels) > 1
    degrees = levels{2}.d;
    fitted = unit_rows(sums_by(fine.aggregates, rows .* fine.d, numel(degrees)) ./ degrees);
    weights = degrees;
  else
    fitted = rows;
    weights = fine.d;
  end
  centres = kmeans_weighted(fitted, weights, count, 25, seed);
  [~, labels] = min(sum(centres .^ 2, 2)' - 2 * (rows * centres'), [], 2);
end

% Weighted k-means: Lloyd's iterations from k-means++ seeding (a fixed random state, so
% runs repeat), a row's weight its share in the seeding and in the centres' means; until
% no row changes its centre or after ITERATIONS.
function centres = kmeans_weighted(X, weights, k, iterations, seed)
  n = size(X, 1);
  k = min(k, n);
  stream = rand('state');
  rand('state', seed);
  pick = @(chances) min(n, find(cumsum(chances) >= rand() * sum(chances), 1));
  centres = X(pick(weights), :);
  nearest = sum((X - centres) .^ 2, 2);
  for c = 2:k
    chances = weights .* nearest;
    if sum(chances) > 0
      centres(c, :) = X(pick(chances), :);
    else
      centres(c, :) = X(1 + floor(rand() * n), :);
    end
    nearest = min(nearest, sum((X - centres(c, :)) .^ 2, 2));
  end
  rand('state', stream);
  labels = [];
  for it = 1:iterations
    [~, next] = min(sum(centres .^ 2, 2)' - 2 * (X * centres'), [], 2);
    if isequal(next, labels)
      break;
    end
    labels = next;
    mass = accumarray(labels, weights, [k 1]);
    sums = sums_by(labels, X .* weights, k);
    filled = mass > 0;
    centres(filled, :) = sums(filled, :) ./ mass(filled);
  end
end

% Merges every two bordering clusters whose mean weight across their border is above
% LIMIT times the larger of their mean weights within (entries of a pixel with itself left
% out; a cluster without inner pairs counts as tied within by 1), along a border of at
% least MIN_NUMBER entries (a shorter one is a leak through a gap in an edge), and so on
% transitively: a border is no edge when pairs across it are tied about as well as pairs
% within. Clusters of fewer than MIN_AREA pixels take no part (slivers along an edge, tied
% to both its sides, would chain them together). Returns the merged labels, 1..count, and
% count.
function [labels, count] = merge_similar(labels, W, limit, min_area, min_number)
  k = max(labels);
  large = accumarray(labels(:), 1, [k 1]) >= min_area;
  % Each pair of pixels once (W is symmetric): the sums over both orders of a pair of
  % clusters are T + T', and the means within are the same.
  [i, j, w] = find(triu(W, 1));
  a = labels(i);
  b = labels(j);
  clear i j;
  same = a == b;
  pairs = accumarray(a(same), 1, [k 1]);
  inner = accumarray(a(same), w(same), [k 1]) ./ max(pairs, 1);
  inner(pairs == 0) = 1;
  across = ~same & large(a) & large(b);
  total = accumarray([a(across), b(across)], w(across), [k k]);
  number = accumarray([a(across), b(across)], 1, [k k]);
  total += total';
  number += number';
  join = number > 0 & number >= min_number & total > limit * max(inner, inner') .* number;
  [p, q] = find(join);
  [root, count] = components(k, p, q);
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

% Segments of fewer than MIN_AREA pixels join the neighbouring segment they share the
% largest weight with (the smallest first, so a speck next to a speck ends in the larger
% region; of equal ties the lower segment); the segments are then numbered 1..count again.
function [segments, count] = absorb_specks(segments, W, min_area)
  labels = segments(:);
  count = max(labels);
  areas = accumarray(labels, 1, [count 1]);
  if min(areas) >= min_area
    return;
  end
  % Only the columns of pixels in small segments are read (W is symmetric).
  small_pixels = find(areas(labels) < min_area);
  [partner, column, value] = find(W(:, small_pixels));
  first = labels(small_pixels(column));
  second = labels(partner);
  across = first ~= second;
  ties = sparse(second(across), first(across), value(across), count, count);
  parent = (1:count)';
  [~, order] = sort(areas);                % sort is stable: equal areas by segment
  for small = order'
    if areas(small) >= min_area
      break;
    end
    if root_of(parent, small) ~= small
      continue;
    end
    [others, ~, tie] = find(ties(:, small));
    if isempty(others)
      continue;
    end
    roots = arrayfun(@(o) root_of(parent, o), others);
    keep = roots ~= small;
    if ~any(keep)
      continue;
    end
    totals = accumarray(roots(keep), tie(keep), [count 1]);
    candidates = unique(roots(keep));
    [~, best] = max(totals(candidates));   % the first of equals: the lower segment
    into = candidates(best);
    parent(small) = into;
    areas(into) += areas(small);
  end
  roots = arrayfun(@(a) root_of(parent, a), (1:count)');
  [~, ~, merged] = unique(roots(labels));
  segments = reshape(merged, size(segments));
  count = max(merged);
end

function r = root_of(parent, a)
  r = a;
  while parent(r) ~= r
    r = parent(r);
  end
end

function write_pictures(outdir, original, img, factor, magnitude, phase, W, embedding, labels, radius)
  [nr, nc] = size(magnitude);
  % The photograph and its segments at most 1024 pixels wide or high (block means): the
  % pictures of a large photograph would otherwise take longer than its segmentation.
  sz = [size(original, 1), size(original, 2)];
  every = ceil(max(sz) / 1024);
  big = enlarge(labels, factor, sz);
  big = big(1:every:every * floor(sz(1) / every), 1:every:every * floor(sz(2) / every));
  channels = size(img, 3);
  original = rgb_of(shrink(original, every));
  imwrite(uint8(255 * original), fullfile(outdir, 'input.png'));
  img = rgb_of(img);

  shown = sqrt(magnitude / max(magnitude(:)));   % square root shows the weak edges too
  % The phase: on the edges each channel's Laplacian sign (the base-3 digits of
  % (phase - 1) / 2) full or off in red, green and blue (in grey: black or white); grey
  % off the edges (phase 0).
  digits = zeros(nr, nc, 3);
  code = (phase - 1) / 2;
  for c = 1:3
    digits(:, :, c) = mod(floor(code / 3 ^ (min(c, channels) - 1)), 3);
  end
  digits(repmat(phase == 0, [1 1 3])) = 0.5;
  shown = cat(2, repmat(shown, [1 1 3]), ones(nr, 2, 3), digits);
  imwrite(uint8(255 * kron_rgb(shown, 2)), fullfile(outdir, 'edges.png'));

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
    tile = img(rr, cc, :);
    v = weights(rr, cc);
    inside = false(size(v));
    [dr, dc] = ndgrid(-half:half, -half:half);
    inside(dr .^ 2 + dc .^ 2 <= radius ^ 2) = true;
    glow = 0.3 + 0.7 * v;
    tile(:, :, 1) = tile(:, :, 1) .* (1 - 0.6 * inside) + 0.6 * inside .* glow;
    tile(:, :, 2) = tile(:, :, 2) .* (1 - 0.6 * inside) + 0.6 * inside .* glow .* v;
    tile(:, :, 3) = tile(:, :, 3) .* (1 - 0.6 * inside);
    tile(half + 1, half + 1, :) = reshape([0 0.4 1], 1, 1, 3);
    tile = kron_rgb(tile, zoom);
    tiles{end + 1} = cat(2, tile, ones(size(tile, 1), 6, 3));  %#ok<AGROW>
  end
  imwrite(uint8(255 * cat(2, tiles{:})), fullfile(outdir, 'weights.png'));

  % Where the chosen pixels lie, marked on the shrunk image.
  marked = img;
  for t = 1:size(picks, 1)
    r = min(max(picks(t, 1), half + 1), nr - half);
    c = min(max(picks(t, 2), half + 1), nc - half);
    marked(r - half:r + half, [c - half, c + half], :) = reshape([1 0 0], 1, 1, 3) .* ones(2 * half + 1, 2);
    marked([r - half, r + half], c - half:c + half, :) = reshape([1 0 0], 1, 1, 3) .* ones(2, 2 * half + 1);
  end
  imwrite(uint8(255 * kron_rgb(marked, 2)), fullfile(outdir, 'weights-where.png'));

  % The second to fifth eigenvectors side by side, each from blue (negative) through white
  % (0) to red (positive), full colour at the magnitude that 99 % of the pixels stay
  % within (specks that edges cut off take far larger values than the coins).
  strips = [];
  for k = 2:min(5, size(embedding, 2))
    t = reshape(embedding(:, k), nr, nc);
    magnitudes = sort(abs(t(:)));
    t = min(max(t / max(magnitudes(ceil(0.99 * end)), realmin), -1), 1);
    strip = cat(3, 1 + min(t, 0), 1 - abs(t), 1 - max(t, 0));
    strips = [strips, strip, ones(nr, 2, 3)];  %#ok<AGROW>
  end
  imwrite(uint8(255 * strips(:, 1:end - 2, :)), fullfile(outdir, 'eigenvectors.png'));

  % The segmentation over the photograph: a colour per segment, borders in red.
  count = max(big(:));
  state = rand('state');
  rand('state', 7);
  colours = 0.25 + 0.75 * rand(count, 3);
  rand('state', state);
  border = big ~= big([2:end, end], :) | big ~= big(:, [2:end, end]);
  picture = zeros(size(original));
  for ch = 1:3
    layer = 0.55 * original(:, :, ch) + 0.45 * reshape(colours(big, ch), size(big));
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

% An H x W x 3 picture of a grey (H x W) or colour one, values clipped to [0, 1].
function rgb = rgb_of(picture)
  rgb = min(max(picture, 0), 1);
  if size(rgb, 3) == 1
    rgb = repmat(rgb, [1 1 3]);
  end
end
