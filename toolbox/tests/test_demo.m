function test_demo(outdir)
  % Runs the demo on data/coins.png: its labels are quorvane_segment's of the photograph,
  % the 24 coins on one background; input.png is the photograph and segmentation.png its
  % segments' borders in red over it. The photograph in colour and twice as large is shrunk
  % by 2 and its labels enlarged back; as a palette and in 16 bits it gives the same
  % labels; options reach quorvane_segment. A missing file, a folder, a file that is no
  % image and a constant picture end in one line naming the file, write nothing, and print
  % no trace. Throws on the first failed check.
  coins_file = fullfile(fileparts(fileparts(which('quorvane_demo'))), 'data', 'coins.png');
  coins = imread(coins_file);
  expected = quorvane_segment(coins);
  fresh_folder(outdir);
  printed = evalc('labels = quorvane_demo(fullfile(outdir, ''coins''));');
  check(isequal(labels, expected), 'labels differ from quorvane_segment''s of the photograph');
  areas = accumarray(labels(:), 1);
  check(max(areas) > 0.5 * numel(labels), 'no background segment covers most of the photograph');
  coin_sized = sum(areas >= 500 & areas <= 10000);   % coins hold 1100 to 3200 pixels
  check(coin_sized == 24, sprintf('%d coin-sized segments instead of 24', coin_sized));
  for line = {'read \S*coins.png \(303 x 384\), shrunk by 1 to 303 x 384\n', ...
              sprintf(' %d segments from quorvane_segment\n', numel(areas)), ...
              'pictures written to \S*coins\n', ' total\n'}
    check(~isempty(regexp(printed, line{1}, 'once')), ['no line "' line{1} '" in: ' printed]);
  end
  check(isequal(imread(fullfile(outdir, 'coins', 'input.png')), coins), 'input.png is not coins.png');
  drawn = imread(fullfile(outdir, 'coins', 'segmentation.png'));
  border = labels ~= labels([2:end end], :) | labels ~= labels(:, [2:end end]);
  red = drawn(:, :, 1) == 255 & drawn(:, :, 2) == 0 & drawn(:, :, 3) == 0;
  grey = drawn(:, :, 1);
  check(isequal(red, border) && isequal(grey(~border), coins(~border)), ...
        'segmentation.png is not the photograph with its segments'' borders in red');

  % In colour and twice as large, with a row and a column over: shrunk by 2 to the same picture.
  small = cat(3, coins, 255 - coins, coins(:, end:-1:1));
  big = zeros(607, 769, 3, 'uint8');
  for c = 1:3
    twice = kron(small(:, :, c), ones(2, 'uint8'));
    big(:, :, c) = twice([1:end end], [1:end end]);
  end
  file = fullfile(outdir, 'big.png');
  imwrite(big, file);
  printed = evalc('labels = quorvane_demo(fullfile(outdir, ''big''), file);');
  twice = kron(quorvane_segment(small), ones(2));
  check(isequal(labels, twice([1:end end], [1:end end])), 'the large photograph''s labels are not the small one''s');
  check(~isempty(strfind(printed, '(607 x 769, colour), shrunk by 2 to 303 x 384')), ['read: ' printed]);
  check(isequal(imread(fullfile(outdir, 'big', 'input.png')), big), 'input.png is not the colour photograph');

  % A palette in scrambled order, and 16-bit values: the photograph's labels.
  palette = zeros(256, 3);
  palette(mod(37 * (0:255) + 11, 256) + 1, :) = repmat((0:255)' / 255, 1, 3);
  imwrite(uint8(mod(37 * double(coins) + 11, 256)), palette, fullfile(outdir, 'palette.png'));
  imwrite(uint16(coins) * 257, fullfile(outdir, 'wide.png'));
  for name = {'palette', 'wide'}
    evalc('labels = quorvane_demo(fullfile(outdir, name{1}), fullfile(outdir, [name{1} ''.png'']));');
    check(isequal(labels, expected), ['labels of ' name{1} '.png differ from coins.png''s']);
    check(isequal(imread(fullfile(outdir, name{1}, 'input.png')), coins), [name{1} '/input.png is not coins']);
  end

  [~, count] = quorvane_segment(coins, struct('contrast', 12));
  evalc('labels = quorvane_demo(fullfile(outdir, ''options''), coins_file, struct(''contrast'', 12));');
  check(max(labels(:)) == count, 'the contrast option did not reach quorvane_segment');
  evalc('labels = quorvane_demo(fullfile(outdir, ''budget''), coins_file, struct(''pixel_budget'', 30000));');
  blocks = labels(1:302, :);
  check(isequal(size(labels), [303 384]) && isequal(blocks(1:2:end, :), blocks(2:2:end, :)) && ...
        isequal(blocks(:, 1:2:end), blocks(:, 2:2:end)), ...
        'a budget of 30000 pixels did not shrink coins.png by 2');

  check_refusals(outdir);
end

% Each bad file ends the run with its identifier and one line that names it.
function check_refusals(outdir)
  notes = fullfile(outdir, 'notes.png');
  fid = fopen(notes, 'w');
  fprintf(fid, 'not a picture\n');
  fclose(fid);
  flat = fullfile(outdir, 'flat.png');
  imwrite(uint8(128 * ones(40, 50)), flat);
  missing = fullfile(outdir, 'missing.png');
  cases = {missing, 'noFile', 'no such file'; outdir, 'notImage', 'is a folder, not an image'; ...
           notes, 'notImage', 'is not an image'; flat, 'badImage', 'the picture is constant'};
  for k = 1:size(cases, 1)
    refused = fullfile(outdir, 'refused');
    try
      quorvane_demo(refused, cases{k, 1});
      check(false, [cases{k, 1} ' was segmented']);
    catch err
      check(strcmp(err.identifier, ['quorvane_demo:' cases{k, 2}]) && ...
            strncmp(err.message, ['quorvane_demo: ' cases{k, 1}], 15 + numel(cases{k, 1})) && ...
            ~isempty(strfind(err.message, cases{k, 3})) && ~any(err.message == sprintf('\n')), ...
            sprintf('%s refused as %s: "%s"', cases{k, 1}, err.identifier, err.message));
    end
    check(exist(refused, 'dir') ~= 7, [cases{k, 1} ' made the output folder']);
  end
  try
    quorvane_demo(fullfile(outdir, 'refused'), '', struct('colour', 1));
    check(false, 'an unknown option was taken');
  catch err
    check(strcmp(err.identifier, 'quorvane_demo:badOption'), ['refused with "' err.message '"']);
  end

  % What Octave prints of a refusal at the command line: the one line, no frames.
  code = sprintf('addpath(''%s''); addpath(''%s''); quorvane_demo(''%s'', ''%s'');', ...
                 fileparts(which('quorvane_segment')), fileparts(which('quorvane_demo')), ...
                 fullfile(outdir, 'refused'), notes);
  [status, output] = system(sprintf('octave-cli --no-gui --norc --quiet --no-history --eval "%s" 2>&1', code));
  line = ['error: quorvane_demo: ' notes ' is not an image ('];
  check(status ~= 0 && strncmp(output, line, numel(line)) && sum(strtrim(output) == sprintf('\n')) == 0, ...
        ['at the command line, a file that is no image gave: ' output]);
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
