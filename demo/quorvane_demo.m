function labels = quorvane_demo(outdir, image_file)
%QUORVANE_DEMO  Normalised-cut segmentation of a photograph with QUORVANE weights.
%   QUORVANE_DEMO(OUTDIR) segments data/coins.png of the sources and writes PNG pictures
%   into OUTDIR (created when missing): the input, the edge magnitude and phase, the
%   weights of a few pixels to their neighbours, the leading eigenvectors and the
%   segmentation drawn over the image. It prints each step and its time. No graphics
%   window is opened. QUORVANE (the module) and QUORVANE_PATTERN must be on the path,
%   e.g. addpath('build'); "make demo" runs it with OUTDIR = build/demo.
%
%   QUORVANE_DEMO(OUTDIR, IMAGE_FILE) segments another grey or colour image.
%   LABELS = QUORVANE_DEMO(...) returns the segment of every pixel of the image.
%
%   Steps: the image is halved (a normalised cut over 29 000 rather than 116 000
%   pixels keeps the run to seconds), smoothed, and turned into an edge magnitude
%   (gradient length) and an edge phase (sign of the Laplacian, which changes across
%   every edge). QUORVANE gives the weights over a disc pattern of radius 6, with sigma
%   a twelfth of the largest magnitude (half the module's default, for sharper cuts at
%   the fainter coin rims). The normalised cut embeds the pixels with the leading
%   eigenvectors of D^-1/2 W D^-1/2; k-means splits the embedding into more clusters
%   than objects, neighbouring clusters that no edge separates (mean weight across
%   their border near 1) are merged again, and every connected piece becomes a segment:
%   each coin apart from the background.
%
%   See also QUORVANE, QUORVANE_PATTERN, EIGS.

  here = fileparts(mfilename('fullpath'));
  if nargin < 2
    image_file = fullfile(here, '..', 'data', 'coins.png');
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  radius = 6;          % pattern radius, in pixels of the halved image
  smoothing = 1;       % Gaussian standard deviation before differentiation
  eigenvectors = 16;   % of the normalised cut
  clusters = 36;       % k-means clusters, more than the objects
  merge_above = 0.8;   % neighbouring segments with a mean weight above this merge
  total = tic();

  step = tic();
  original = double(imread(image_file));
  if ndims(original) == 3
    original = mean(original(:, :, 1:3), 3);
  end
  original = original / max(max(original(:)), 1);
  img = halve(original);
  [nr, nc] = size(img);
  np = nr * nc;
  report(step, sprintf('read %s (%d x %d), halved to %d x %d', image_file, ...
                       size(original, 1), size(original, 2), nr, nc));

  step = tic();
  x = -ceil(3 * smoothing):ceil(3 * smoothing);
  g = exp(-x .^ 2 / (2 * smoothing ^ 2));
  g = g / sum(g);
  smooth = conv2(g, g, padarray_replicate(img, numel(x)), 'same');
  smooth = smooth(numel(x) + 1:end - numel(x), numel(x) + 1:end - numel(x));
  [gx, gy] = gradient(smooth);
  magnitude = hypot(gx, gy);
  phase = double(del2(smooth) > 0);
  if ~(max(magnitude(:)) > 0)
    error('quorvane_demo: the image has no edges to segment by');
  end
  report(step, 'edge magnitude (gradient) and phase (sign of the Laplacian)');

  step = tic();
  [IR, JC] = quorvane_pattern(nr, nc, radius);
  report(step, sprintf('disc pattern of radius %d: %d pairs', radius, numel(IR)));

  step = tic();
  sigma = max(magnitude(:)) / 12;
  W = quorvane(magnitude, phase, IR, JC, sigma);
  report(step, sprintf('weights from quorvane: %d x %d sparse, sigma %.4g', np, np, sigma));

  step = tic();
  % A zero sigma would leave NaN where no edge is crossed: those pairs belong together.
  [i, j, w] = find(W);
  w(isnan(w)) = 1;
  W = sparse(i, j, w, np, np);
  W = (W + W') / 2;                         % the line walk may differ by direction
  d = full(sum(W, 2));
  scale = spdiags(1 ./ sqrt(d), 0, np, np);
  A = scale * W * scale;
  A = (A + A') / 2;
  % A fixed start vector makes the run repeatable.
  options = struct('tol', 1e-4, 'maxit', 500, 'disp', 0, 'v0', sqrt(d / sum(d)));
  [V, L] = eigs(A, eigenvectors, 'la', options);
  [~, order] = sort(diag(L), 'descend');
  V = V(:, order);
  embedding = scale * V;                    % generalised eigenvectors of (D - W, D)
  report(step, sprintf('normalised cut: %d leading eigenvectors through eigs', eigenvectors));

  step = tic();
  rows = bsxfun(@rdivide, embedding, sqrt(sum(embedding .^ 2, 2)));
  found = kmeans_plain(rows, clusters, 100);
  [found, merged] = merge_unseparated(found, i, j, w, merge_above);
  [labels, count] = connected_pieces(reshape(found, nr, nc));
  report(step, sprintf(['k-means into %d clusters, %d after merging unseparated ones, ' ...
                        '%d connected segments'], clusters, merged, count));

  step = tic();
  write_pictures(outdir, original, img, magnitude, phase, W, embedding, labels, radius);
  report(step, sprintf('pictures written to %s', outdir));
  report(total, 'total');
  labels = double_size(labels, size(original));
end

function report(start, what)
  fprintf('%7.2f s  %s\n', toc(start), what);
end

% Mean of each 2 x 2 block (a last odd row or column is dropped).
function half = halve(img)
  m = 2 * floor(size(img) / 2);
  a = img(1:m(1), 1:m(2));
  half = (a(1:2:end, 1:2:end) + a(2:2:end, 1:2:end) + a(1:2:end, 2:2:end) + ...
          a(2:2:end, 2:2:end)) / 4;
end

% Labels of the halved image back at the size of the original (nearest neighbour).
function big = double_size(labels, sz)
  big = kron(labels, ones(2));
  big = big([1:end, end * ones(1, sz(1) - end)], [1:end, end * ones(1, sz(2) - end)]);
end

function padded = padarray_replicate(img, n)
  r = [ones(1, n), 1:size(img, 1), size(img, 1) * ones(1, n)];
  c = [ones(1, n), 1:size(img, 2), size(img, 2) * ones(1, n)];
  padded = img(r, c);
end

% Lloyd's k-means with k-means++ seeding from a fixed random state (repeatable).
function labels = kmeans_plain(X, k, iterations)
  n = size(X, 1);
  stream = rand('state');
  rand('state', 42);
  centres = X(1 + floor(rand() * n), :);
  nearest = sum(bsxfun(@minus, X, centres) .^ 2, 2);
  for c = 2:k
    chosen = find(cumsum(nearest) >= rand() * sum(nearest), 1);
    centres(c, :) = X(chosen, :);
    nearest = min(nearest, sum(bsxfun(@minus, X, centres(c, :)) .^ 2, 2));
  end
  rand('state', stream);
  labels = zeros(n, 1);
  for it = 1:iterations
    distance = bsxfun(@plus, sum(centres .^ 2, 2)', -2 * X * centres');
    [~, next] = min(distance, [], 2);
    if isequal(next, labels)
      break;
    end
    labels = next;
    member = sparse(1:n, labels, 1, n, k);
    counts = full(sum(member, 1))';
    kept = counts > 0;                      % an emptied cluster keeps its centre
    centres(kept, :) = bsxfun(@rdivide, full(member(:, kept)' * X), counts(kept));
  end
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

function write_pictures(outdir, original, img, magnitude, phase, W, embedding, labels, radius)
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

  % Where the chosen pixels lie, marked on the halved image.
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
  big = double_size(labels, size(original));
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
