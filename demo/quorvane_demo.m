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
%   of demo/private/demo_settings.m, e.g. struct('pixel_budget', 30000)). LABELS = QUORVANE_DEMO(...)
%   returns the segment of every pixel of the image.
%
%   This demo keeps the spectral road that the Python demo took before it changed to
%   catchment basins and their merging (python3 -m quorvane.segment.demo,
%   docs/segmentation.md), until one implementation in the core serves both hosts. Its
%   steps, the former Python ones, with their settings:
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
%      graph by a few sweeps and a Rayleigh-Ritz projection (see demo/private/leading_subspace.m).
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

  if nargin < 2 || isempty(image_file)
    image_file = fullfile(fileparts(mfilename('fullpath')), '..', 'data', 'coins.png');
  end
  if nargin >= 3
    s = demo_settings(options);
  else
    s = demo_settings();
  end
  % Killed or crashed, Octave would save the workspace (gigabytes of weights) to a file in
  % the current folder; not for this run.
  dumps = {crash_dumps_octave_core(false), sighup_dumps_octave_core(false), ...
           sigquit_dumps_octave_core(false), sigterm_dumps_octave_core(false)};
  restore = onCleanup(@() restore_dumps(dumps));
  total = tic();

  [original, img, factor] = read_step(image_file, s);
  [magnitude, phase, sigma] = edge_step(img, image_file, s);
  W = weight_step(magnitude, phase, sigma, s);
  [embedding, levels] = embedding_step(W, size(img, 1), size(img, 2), s);
  step = tic();
  clusters = group(embedding, levels, s.clusters, s.seed);
  clear levels;
  [labels, final] = segment_step(step, clusters, W, size(img, 1), size(img, 2), s);

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

function restore_dumps(dumps)
  crash_dumps_octave_core(dumps{1});
  sighup_dumps_octave_core(dumps{2});
  sigquit_dumps_octave_core(dumps{3});
  sigterm_dumps_octave_core(dumps{4});
end

% Step 1: the photograph and its shrunk image, refused when it has too few pixels for the
% eigenvectors or the clusters.
function [original, img, factor] = read_step(image_file, s)
  step = tic();
  [original, img, factor] = read_photograph(image_file, s);
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
end

% Step 2: edge magnitude and phase, and the weights' sigma in noise units.
function [magnitude, phase, sigma] = edge_step(img, image_file, s)
  step = tic();
  [magnitude, phase] = edges(img, s.smoothing, s.edge_low, s.edge_high);
  if ~any(phase(:))
    error('quorvane_demo: %s has no edges to segment by', image_file);
  end
  sigma = s.sigma_noise * edge_unit(img, s.smoothing);
  report(step, sprintf(['edges: gradient magnitude%s, phase: sign of the Laplacian on edges ' ...
                        'above %g noise units, smoothing %g'], ...
                       {'', ' (strongest channel)'}{1 + (size(img, 3) == 3)}, s.edge_high, ...
                       s.smoothing));
end

% The weights of the disc pattern, made symmetric.
function W = weight_step(magnitude, phase, sigma, s)
  step = tic();
  [IR, JC] = quorvane_pattern(size(magnitude, 1), size(magnitude, 2), s.radius);
  W = quorvane(magnitude, phase, IR, JC, sigma);
  clear IR JC;
  W = (W + W') / 2;                         % the line walk may differ by direction
  if s.weight_floor > 0
    W = spfun(@(w) max(w, s.weight_floor), W);
  end
  report(step, sprintf('weights from quorvane: disc pattern of radius %g, %d entries, sigma %.4g', ...
                       s.radius, nnz(W), sigma));
end

% Step 3: the leading generalised eigenvectors of (W, D) and the levels that gave them.
function [embedding, levels] = embedding_step(W, nr, nc, s)
  step = tic();
  d = full(sum(W, 2));
  [rows, cols] = ndgrid(0:nr - 1, 0:nc - 1);
  say = @(what) report(step, ['  ' what]);
  [~, embedding, levels] = leading_subspace(W, d, [rows(:), cols(:)], s.eigenvectors, s, say);
  sizes = cellfun(@(level) size(level.W, 1), levels);
  report(step, sprintf('%d leading eigenvectors of (W, D) over %d levels (%s nodes)', ...
                       s.eigenvectors, numel(levels), strjoin(arrayfun(@num2str, sizes, ...
                                                                       'UniformOutput', false), ' > ')));
end

% Step 4, after the k-means clusters (begun at STEP): the clusters merged, split into
% connected pieces, specks absorbed.
function [labels, final] = segment_step(step, clusters, W, nr, nc, s)
  np = nr * nc;
  [merged, kept] = merge_similar(clusters, W, s.merge_above, s.min_area, s.min_border * nnz(W) / np);
  [pieces, count] = connected_pieces(reshape(merged, nr, nc));
  [labels, final] = join_small_segments(pieces, W, s.min_area);
  report(step, sprintf(['k-means into %d clusters, %d after merging those tied across their ' ...
                        'border nearly as within, %d connected pieces, %d of %d pixels or ' ...
                        'more'], s.clusters, kept, count, final, s.min_area));
end
