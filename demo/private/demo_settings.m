% The choices of a run: those of the Python demo (quorvane.segmentation.Settings and the
% constants of quorvane.multilevel), each field of OPTIONS (when given) in place of the
% setting of its name.
function s = demo_settings(options)
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
  % pattern and per pixel of the shrunk image, for the refusal up front (set from measured
  % peaks, see docs/segmentation.md); the memory available ([]: MemAvailable of
  % /proc/meminfo).
  s.bytes_per_sample = 24;
  s.bytes_per_pair = 80;
  s.bytes_per_pixel = 1500;
  s.available_memory = [];
  if nargin >= 1
    for name = fieldnames(options)'
      if ~isfield(s, name{1})
        error('quorvane_demo: no setting %s', name{1});
      end
      s.(name{1}) = options.(name{1});
    end
  end
end
