function test_demo(outdir)
  % Runs the demo on data/coins.png and checks what its pictures should show: one
  % background segment covering most of the photograph and the 24 coins each a segment
  % of its own, and every picture written. Then: two halves of one grey but different
  % colours are two segments; a photograph without edges, with too few pixels, or one
  % that would not fit the memory, is refused before anything is written; a run killed midway leaves no
  % workspace file behind. Throws on the first failed check.
  if exist(outdir, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(outdir, 's');
  end
  before = crash_dumps_octave_core(true);
  labels = quorvane_demo(outdir);
  check(crash_dumps_octave_core(before), 'the demo did not restore crash_dumps_octave_core');
  check(isequal(size(labels), [303 384]), 'labels do not have the size of the photograph');
  areas = accumarray(labels(:), 1);
  check(max(areas) > 0.5 * numel(labels), 'no background segment covers most of the photograph');
  coins = sum(areas >= 500 & areas <= 10000);   % coins hold 1100 to 3200 pixels
  printf('segments: %d, coin-sized: %d, background: %d pixels\n', numel(areas), coins, max(areas));
  check(coins == 24, sprintf('%d coin-sized segments instead of 24', coins));
  for name = {'input', 'edges', 'weights', 'weights-where', 'eigenvectors', 'segmentation'}
    file = fullfile(outdir, [name{1} '.png']);
    check(exist(file, 'file') == 2, ['missing ' file]);
    picture = imread(file);
    check(numel(picture) > 1000, ['empty picture ' file]);
  end
  check(size(imread(fullfile(outdir, 'segmentation.png')), 3) == 3, 'segmentation is not in colour');

  % Refused up front with the figures: the 116 352 pixels of the whole photograph need
  % more than 0.2 GB.
  refused = [outdir '-refused'];
  try
    quorvane_demo(refused, '', struct('available_memory', 2e8, 'pixel_budget', 2e5));
    check(false, 'a run that does not fit was not refused');
  catch err
    check(!isempty(regexp(err.message, ['^quorvane_demo: .*coins.png \(303 x 384 pixels, ' ...
                                        'shrunk by 1 to 303 x 384 with \d+ pixel pairs\) ' ...
                                        'needs about [\d.]+ GB of memory, but 0.20 GB'], 'once')), ...
          ['refused with "' err.message '"']);
  end
  check(!exist(refused, 'dir'), 'a refused run made its folder');

  check_colour_and_no_edges([outdir '-pictures']);
  check_killed_run_leaves_no_workspace([outdir '-killed']);
end

% Halves of the same mean and the same luma that differ in hue, under noise of a fixed
% seed: the edge between them is a colour edge only.
function check_colour_and_no_edges(folder)
  fresh_folder(folder);
  state = randn('state');
  randn('state', 3);
  halves = zeros(60, 80, 3);
  halves(:, 1:40, :) = repmat(reshape([0.6 0.3 0.3], 1, 1, 3), 60, 40);
  halves(:, 41:80, :) = repmat(reshape([0.2165 0.45 0.5335], 1, 1, 3), 60, 40);
  halves += 0.01 * randn(size(halves));
  randn('state', state);
  file = fullfile(folder, 'halves.png');
  imwrite(uint8(255 * halves), file);
  labels = quorvane_demo(fullfile(folder, 'halves'), file);
  left = labels(:, 1:40);
  right = labels(:, 41:80);
  check(max(labels(:)) == 2 && all(left(:) == left(1)) && all(right(:) == right(1)), ...
        sprintf('%d segments of the two colour halves, not the halves', max(labels(:))));

  file = fullfile(folder, 'flat.png');
  imwrite(uint8(128 * ones(40, 50)), file);
  try
    quorvane_demo(fullfile(folder, 'flat'), file);
    check(false, 'an image without edges was segmented');
  catch err
    check(strcmp(err.message, ['quorvane_demo: ' file ' has no edges to segment by']), ...
          ['refused with "' err.message '"']);
  end
  check(!exist(fullfile(folder, 'flat'), 'dir'), 'a refused run made its folder');

  % Too few pixels for the eigenvectors, or for the clusters.
  for refusal = {{[5 6], '32 eigenvectors need more than 32 pixels, got 30'}, ...
                 {[6 7], '48 clusters need at least 48 pixels, got 42'}}
    file = fullfile(folder, 'tiny.png');
    imwrite(uint8(255 * (rand(refusal{1}{1}) > 0.5)), file);
    try
      quorvane_demo(fullfile(folder, 'tiny'), file);
      check(false, 'a tiny image was segmented');
    catch err
      check(strcmp(err.message, ['quorvane_demo: ' refusal{1}{2}]), ['refused with "' err.message '"']);
    end
  end
end

% A fresh octave-cli with Octave's own settings (which save the workspace to
% octave-workspace on SIGTERM) runs the demo in a folder of its own and is killed midway.
function check_killed_run_leaves_no_workspace(folder)
  fresh_folder(folder);
  code = sprintf("addpath('%s'); addpath('%s'); quorvane_demo('out');", ...
                 fileparts(which('quorvane')), fileparts(which('quorvane_demo')));
  % Killed once it has its weights, during the eigenvectors.
  [~, output] = system(sprintf(['cd ''%s'' && { octave-cli --no-gui --norc --quiet ' ...
                                '--no-history --eval "%s" > run.log 2>&1 & pid=$!; ' ...
                                'for t in $(seq 300); do grep -q "weights from" run.log ' ...
                                '&& break; sleep 0.1; done; kill -TERM $pid; wait $pid; ' ...
                                'cat run.log; rm run.log; } 2>&1'], folder, code));
  check(!isempty(strfind(output, 'caught signal Terminated')), ...
        ['the run was not killed midway: ' output]);
  left = dir(folder);
  left = setdiff({left.name}, {'.', '..', 'out'});
  check(isempty(left), ['a killed run left ' strjoin(left, ', ')]);
end

function fresh_folder(folder)
  if exist(folder, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(folder, 's');
  end
  mkdir(folder);
end

function check(condition, message)
  if ~condition
    error('test_demo: %s', message);
  end
end
