function labels = quorvane_demo(outdir, image_file, options)
%QUORVANE_DEMO  Segments a photograph with QUORVANE_SEGMENT and draws its segments.
%   LABELS = QUORVANE_DEMO(OUTDIR) segments data/coins.png of the sources, prints what
%   it did with the time of each step and writes two pictures into OUTDIR (created when
%   missing): input.png, the photograph, and segmentation.png, the segments' borders in
%   red over it. No graphics window is opened. QUORVANE_SEGMENT must be on the path,
%   e.g. addpath('build'); "make demo" runs it with OUTDIR = build/demo.
%
%   LABELS = QUORVANE_DEMO(OUTDIR, IMAGE_FILE) segments another grey or colour image
%   that IMREAD reads (a palette resolved to its colours, 16-bit values kept), and
%   LABELS = QUORVANE_DEMO(OUTDIR, IMAGE_FILE, OPTIONS) with other settings: a struct of
%   QUORVANE_SEGMENT's options (scale, contrast, smallest, radius), passed to it as they
%   are, and pixel_budget, the most pixels the photograph is segmented at (default
%   120000). LABELS is the segment of every pixel of the photograph, 1 .. the count.
%
%   The road is the Python demo's (python3 -m quorvane.segment.demo IMAGE), compiled
%   once in the core:
%   1. the photograph is shrunk by block means with the smallest whole factor that
%      leaves at most pixel_budget pixels (coins.png stays whole, a 512 x 512 one is
%      shrunk by 2), its values read by their range as QUORVANE_SEGMENT reads them;
%   2. one call of QUORVANE_SEGMENT: the boundary strength in units of the picture's
%      own noise, its catchment basins, QUORVANE's weights across them, the basins
%      merged by average linkage, whole segments of at least smallest pixels;
%   3. the labels are enlarged back to the photograph, each block taking its pixel's
%      label (rows and columns the shrinking dropped take the last block's).
%   For coins.png that gives the Python demo's 103 segments: the 24 coins on one
%   background and pieces of the coins' relief.
%
%   A file that is missing, a folder or not an image, a picture QUORVANE_SEGMENT
%   refuses and a wrong option end the run with one line naming the fault, identifier
%   quorvane_demo:noFile, :notImage, :badImage, :badOption, :tooLarge, :outOfMemory or
%   :cannotWrite; nothing is written then.
%
%   See also QUORVANE_SEGMENT, IMREAD.

  try
    if nargin < 2 || isempty(image_file)
      image_file = default_photograph();
    end
    if nargin < 3
      options = struct();
    end
    labels = segment_and_draw(outdir, image_file, options);
  catch err
    % The demo's own refusals end the run in their one line, without the helpers' frames.
    if strncmp(err.identifier, 'quorvane_demo:', 14)
      rethrow(struct('message', err.message, 'identifier', err.identifier));
    end
    rethrow(err);
  end
end

function labels = segment_and_draw(outdir, image_file, options)
  [choices, budget] = settings_of(options);
  total = tic();
  step = tic();
  picture = read_photograph(image_file);
  sz = [size(picture, 1), size(picture, 2)];
  factor = shrink_factor(sz, budget);
  small = shrink(picture, factor);
  report(step, sprintf('read %s (%d x %d%s), shrunk by %d to %d x %d', image_file, sz(1), ...
                       sz(2), colour_note(picture), factor, size(small, 1), size(small, 2)));

  step = tic();
  try
    [labels, count] = quorvane_segment(small, choices);
  catch err
    if ~strncmp(err.identifier, 'quorvane_segment:', 17)
      rethrow(err);   % not its refusal: quorvane_segment not on the path, say
    end
    kind = regexprep(err.identifier, '^quorvane_segment:', '');
    reason = regexprep(err.message, '^quorvane_segment: ', '');
    if ~strcmp(kind, 'badOption')
      reason = [image_file ': ' reason];
    end
    error(['quorvane_demo:' kind], 'quorvane_demo: %s', reason);
  end
  report(step, sprintf('%d segments from quorvane_segment%s', count, options_note(choices)));

  step = tic();
  labels = enlarge(labels, factor, sz);
  write_pictures(outdir, picture, labels);
  report(step, sprintf('pictures written to %s', outdir));
  report(total, 'total');
  fprintf('%d segments\n', count);
end

% data/coins.png of the sources, relative to the current folder when it lies below it, as
% the Python demo's line names what it was given.
function file = default_photograph()
  file = fullfile(fileparts(fileparts(mfilename('fullpath'))), 'data', 'coins.png');
  here = [pwd() filesep];
  if strncmp(file, here, numel(here))
    file = file(numel(here) + 1:end);
  end
end

% QUORVANE_SEGMENT's options of OPTIONS, and the demo's own pixel budget.
function [choices, budget] = settings_of(options)
  if ~isstruct(options) || numel(options) ~= 1
    error('quorvane_demo:badOption', 'quorvane_demo: OPTIONS shall be one struct, got %s', ...
          class(options));
  end
  choices = options;
  budget = 120000;
  names = fieldnames(options);
  known = {'scale', 'contrast', 'smallest', 'radius', 'pixel_budget'};
  for k = 1:numel(names)
    if ~any(strcmp(names{k}, known))
      error('quorvane_demo:badOption', ['quorvane_demo: unknown option ''%s'': the ' ...
            'options are scale, contrast, smallest, radius and pixel_budget'], names{k});
    end
  end
  if isfield(options, 'pixel_budget')
    budget = options.pixel_budget;
    if ~isnumeric(budget) || ~isscalar(budget) || ~isreal(budget) || ~(budget >= 4) || ...
       budget ~= floor(budget) || ~isfinite(budget)
      error('quorvane_demo:badOption', ['quorvane_demo: option ''pixel_budget'' shall be ' ...
            'a whole number of at least 4 pixels']);
    end
    choices = rmfield(choices, 'pixel_budget');
  end
end

% The smallest whole factor that brings an image of this size within the budget.
function factor = shrink_factor(sz, budget)
  factor = 1;
  while floor(sz(1) / factor) * floor(sz(2) / factor) > budget
    factor = factor + 1;
  end
end

function note = colour_note(picture)
  note = '';
  if size(picture, 3) >= 3 && ~(isequal(picture(:, :, 1), picture(:, :, 2)) && ...
                                isequal(picture(:, :, 2), picture(:, :, 3)))
    note = ', colour';
  end
end

function note = options_note(choices)
  names = fieldnames(choices);
  parts = cell(1, numel(names));
  for k = 1:numel(names)
    parts{k} = sprintf('%s %g', names{k}, choices.(names{k}));
  end
  note = '';
  if ~isempty(parts)
    note = [' (' strjoin(parts, ', ') ')'];
  end
end
