function test_segment()
  % quorvane_segment through the real host, whichever entry point the path gives: a picture
  % with a known answer, the classes and layouts that give the same labels, the options, and
  % every refusal with its identifier and whole message.
  coins = imread(fullfile(fileparts(mfilename('fullpath')), '..', '..', 'data', 'coins.png'));

  % Three flat regions under noise. The strip on the right starts on the first row, the
  % rectangle on row 8: numbered along the rows the strip is 2, column-major it would be 3.
  randn('seed', 5);
  picture = repmat(0.2, 30, 40, 3);
  picture(8:22, 5:18, 1) = 0.7;
  picture(:, 26:end, 3) = 0.9;
  picture = picture + 0.02 * randn(size(picture));
  truth = ones(30, 40);
  truth(:, 26:end) = 2;
  truth(8:22, 5:18) = 3;
  [labels, count] = quorvane_segment(picture);
  check(isequal(labels, truth) && count == 3, 'the three regions');
  check(strcmp(class(labels), 'double') && isreal(labels), 'labels are real doubles');
  % Alpha is dropped; three equal channels are grey; the red channel alone has no strip.
  check(isequal(quorvane_segment(cat(3, picture, rand(30, 40))), truth), 'alpha');
  red = picture(:, :, 1);
  check(isequal(quorvane_segment(repmat(red, [1 1 3])), quorvane_segment(red)), 'grey in three');
  red_truth = ones(30, 40);
  red_truth(8:22, 5:18) = 2;
  check(isequal(quorvane_segment(red), red_truth), 'the red channel');

  % One photograph held as uint8, uint16, double in [0, 1] or [0, 255], or as other classes
  % of the same values.
  [reference, n] = quorvane_segment(coins);
  check(isequal(size(reference), size(coins)) && n == max(reference(:)) && n > 20, 'coins');
  check(isequal(unique(reference(:))', 1:n), 'labels 1 .. count, each used');
  along_rows = reshape(reference', 1, []);
  [~, first] = unique(along_rows, 'first');
  check(issorted(first), 'labels numbered by their first pixel along the rows');
  same = {uint16(coins) * 257, double(coins) / 255, double(coins), single(coins), ...
          int16(coins), uint32(coins), int64(coins)};
  for k = 1:numel(same)
    check(isequal(quorvane_segment(same{k}), reference), ['coins as ' class(same{k})]);
  end
  % A range and a logical picture are read as their values.
  ramp = repmat(0:0.1:1, 6, 1);
  ramp(:, 6:end) = ramp(:, 6:end) + 2;
  check(isequal(quorvane_segment(ramp), quorvane_segment(full(ramp))), 'range');
  mask = coins > 100;
  check(isequal(quorvane_segment(mask), quorvane_segment(double(mask))), 'logical');

  % Options: none, empty and the defaults alike; numbers of any numeric class; each of them
  % changes the result.
  check(isequal(quorvane_segment(coins, struct()), reference), 'struct()');
  defaults = struct('scale', 1, 'contrast', 9.4, 'smallest', int32(8), 'radius', uint8(3));
  check(isequal(quorvane_segment(coins, defaults), reference), 'the defaults given');
  [big, m] = quorvane_segment(coins, struct('smallest', 400));
  check(m < n && min(accumarray(big(:), 1)) >= 400, 'smallest');
  [~, m] = quorvane_segment(coins, struct('contrast', 30));
  check(m < n, 'contrast');
  [~, m] = quorvane_segment(coins, struct('scale', 2.5, 'radius', 1.5));
  check(m != n, 'scale and radius');
  % The extremes are accepted: scale as large as the picture, radius 0, smallest beyond it.
  small = ramp(1:5, 1:8);
  check(isequal(size(quorvane_segment(small, struct('scale', 8))), [5 8]), 'scale 8');
  check(isequal(size(quorvane_segment(small, struct('radius', 0))), [5 8]), 'radius 0');
  [~, m] = quorvane_segment(small, struct('smallest', 2^53));
  check(m == 1, 'smallest 2^53');
  quorvane_segment(coins);
  check(isequal(ans, reference), 'no output asked for gives ans');

  % Refusals, in checking order.
  bad_image = 'quorvane_segment:badImage';
  bad_option = 'quorvane_segment:badOption';
  refused('quorvane_segment:nargin', ...
          'one or two inputs required (IMAGE[, OPTIONS]), got 0', @() quorvane_segment());
  refused('quorvane_segment:nargin', 'one or two inputs required (IMAGE[, OPTIONS]), got 3', ...
          @() quorvane_segment(coins, struct(), 1));
  refused('quorvane_segment:nargout', 'at most two outputs (LABELS, COUNT), got 3', ...
          @() three_outputs(coins));
  refused(bad_image, 'IMAGE shall be a numeric or logical array, got a 1x3 char', ...
          @() quorvane_segment('abc'));
  refused(bad_image, 'IMAGE shall be a numeric or logical array, got a 2x2 cell', ...
          @() quorvane_segment(num2cell(eye(2))));
  refused(bad_image, 'IMAGE shall be a numeric or logical array, got a 1x1 struct', ...
          @() quorvane_segment(struct('a', 1)));
  refused(bad_image, 'IMAGE shall be a numeric or logical array, got a 1x1 function_handle', ...
          @() quorvane_segment(@sin));
  refused(bad_image, 'IMAGE shall be real, got a 303x384 complex double', ...
          @() quorvane_segment(double(coins) + 1i));
  refused(bad_image, 'IMAGE shall be real, got a 4x4 complex single', ...
          @() quorvane_segment(complex(single(magic(4)), 1)));
  refused(bad_image, 'IMAGE shall be full, got a 4x4 sparse double', ...
          @() quorvane_segment(sparse(magic(4))));
  refused(bad_image, 'IMAGE shall be full, got a 4x4 sparse logical', ...
          @() quorvane_segment(sparse(magic(4) > 8)));
  refused(bad_image, 'IMAGE shall be H x W or H x W x C, got a 4x5x3x2 uint8', ...
          @() quorvane_segment(zeros(4, 5, 3, 2, 'uint8')));
  refused(bad_image, 'the picture shall have 1, 3 or 4 channels, got 2', ...
          @() quorvane_segment(rand(4, 5, 2)));
  refused(bad_image, 'the picture shall have 1, 3 or 4 channels, got 5', ...
          @() quorvane_segment(rand(1, 5, 5)));  % channels before size, as the core checks
  refused(bad_image, 'the picture shall be at least 2 x 2 pixels, got 1 x 5', ...
          @() quorvane_segment(rand(1, 5)));
  refused(bad_image, 'the picture shall be at least 2 x 2 pixels, got 0 x 0', ...
          @() quorvane_segment([]));
  refused(bad_image, 'the picture shall be at least 2 x 2 pixels, got 7 x 0', ...
          @() quorvane_segment(zeros(7, 0, 3)));
  % Faults of the image come before those of the options.
  refused(bad_image, 'the picture shall be at least 2 x 2 pixels, got 1 x 1', ...
          @() quorvane_segment(1, 'options'));

  refused(bad_option, ['OPTIONS shall be a struct of the fields scale, contrast, smallest ' ...
                       'and radius, got a 1x5 char'], @() quorvane_segment(coins, 'scale'));
  refused(bad_option, ['OPTIONS shall be a struct of the fields scale, contrast, smallest ' ...
                       'and radius, got a 0x0 double'], @() quorvane_segment(coins, []));
  refused(bad_option, ['OPTIONS shall be a struct of the fields scale, contrast, smallest ' ...
                       'and radius, got a 1x1 cell'], @() quorvane_segment(coins, {struct()}));
  refused(bad_option, 'OPTIONS shall be one struct, got a 1x2 struct', ...
          @() quorvane_segment(coins, struct('scale', {1, 2})));
  refused(bad_option, 'OPTIONS shall be one struct, got a 0x0 struct', ...
          @() quorvane_segment(coins, struct([])));
  refused(bad_option, 'unknown option ''Scale'': the options are scale, contrast, smallest and radius', ...
          @() quorvane_segment(coins, struct('Scale', 1)));
  refused(bad_option, 'unknown option ''sigma'': the options are scale, contrast, smallest and radius', ...
          @() quorvane_segment(coins, struct('radius', 2, 'sigma', 1)));
  not_number = {'2', 'a 1x1 char'; [1 2], 'a 1x2 double'; true, 'a 1x1 logical'; ...
                1 + 2i, 'a 1x1 complex double'; sparse(2), 'a 1x1 sparse double'; ...
                {2}, 'a 1x1 cell'; zeros(1, 0), 'a 1x0 double'; struct('v', 2), 'a 1x1 struct'};
  for k = 1:rows(not_number)
    refused(bad_option, ['option ''contrast'' shall be a real number, got ' not_number{k, 2}], ...
            @() quorvane_segment(coins, struct('contrast', not_number(k, 1))));
  end
  refused(bad_option, 'option ''scale'' shall be finite, got NaN', ...
          @() quorvane_segment(coins, struct('scale', NaN)));
  refused(bad_option, 'option ''radius'' shall be finite, got Inf', ...
          @() quorvane_segment(coins, struct('radius', Inf)));
  refused(bad_option, 'option ''smallest'' shall be finite, got -Inf', ...
          @() quorvane_segment(coins, struct('smallest', -Inf)));
  ranges = {'scale', 0, 'greater than 0 and at most the picture''s larger side (384), got 0'; ...
            'scale', 384.5, 'greater than 0 and at most the picture''s larger side (384), got 384.5'; ...
            'contrast', -1, 'greater than 0, got -1'; ...
            'contrast', 0, 'greater than 0, got 0'; ...
            'radius', -0.25, 'at least 0, got -0.25'; ...
            'smallest', 0, 'a whole number from 1 to 2^53, got 0'; ...
            'smallest', 2.5, 'a whole number from 1 to 2^53, got 2.5'; ...
            'smallest', int8(-3), 'a whole number from 1 to 2^53, got -3'; ...
            'smallest', 2^53 + 2, 'a whole number from 1 to 2^53, got 9.00719925474099e+15'};
  for k = 1:rows(ranges)
    refused(bad_option, sprintf('option ''%s'' shall be %s', ranges{k, 1}, ranges{k, 3}), ...
            @() quorvane_segment(coins, struct(ranges{k, 1}, ranges{k, 2})));
  end
  % The options in their order: the first faulty one is named.
  refused(bad_option, 'option ''radius'' shall be at least 0, got -1', ...
          @() quorvane_segment(coins, struct('scale', 2, 'radius', -1, 'smallest', 0.5)));
  refused('quorvane_segment:tooLarge', ['a 303 x 384 picture with radius 1000 has more than ' ...
          '2^32 - 1 pairs of pixels to weigh; use a smaller radius'], ...
          @() quorvane_segment(coins, struct('radius', 1000)));

  % The picture's values, once every check has passed.
  spoilt = double(coins);
  spoilt([5 9 700]) = NaN;
  refused(bad_image, 'the picture holds 3 NaN values', @() quorvane_segment(spoilt));
  spoilt = single(coins);
  spoilt(end) = -Inf;
  refused(bad_image, 'the picture holds 1 infinite values', @() quorvane_segment(spoilt));
  refused(bad_image, 'the picture holds 1 NaN values', ...
          @() quorvane_segment(cat(3, picture(:, :, 1:2), [NaN zeros(1, 39); zeros(29, 40)])));
  refused(bad_image, 'the picture is constant: it has no edges to segment by', ...
          @() quorvane_segment(zeros(5, 5, 'uint8')));
  refused(bad_image, 'the picture is constant: it has no edges to segment by', ...
          @() quorvane_segment(true(3, 4)));
  % An options fault before the picture's values are looked at.
  refused(bad_option, 'option ''scale'' shall be finite, got NaN', ...
          @() quorvane_segment(NaN(4), struct('scale', NaN)));
end

function refused(identifier, message, call)
  % Fails unless call() raises exactly this identifier and "quorvane_segment: " message.
  try
    call();
  catch err
    expected = ['quorvane_segment: ' message];
    if !strcmp(err.message, expected) || !strcmp(err.identifier, identifier)
      error('expected %s "%s", got %s "%s"', identifier, expected, err.identifier, err.message);
    end
    return;
  end
  error('expected "quorvane_segment: %s", but the call succeeded', message);
end

function three_outputs(varargin)
  [a, b, c] = quorvane_segment(varargin{:});
end

function check(condition, what)
  if !condition
    error('quorvane_segment: %s', what);
  end
end
