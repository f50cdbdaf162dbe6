% input.png, the photograph in 8 bits, and segmentation.png, the segments' borders in red
% over it, in OUTDIR (created when missing).
function write_pictures(outdir, picture, labels)
  if exist(outdir, 'dir') ~= 7
    [made, why] = mkdir(outdir);
    if ~made
      error('quorvane_demo:cannotWrite', 'quorvane_demo: cannot make %s: %s', outdir, why);
    end
  end
  values = double(picture(:, :, 1:min(3, end))) / value_range(picture);
  values = min(max(values, 0), 1);
  if size(values, 3) == 3 && isequal(values(:, :, 1), values(:, :, 2), values(:, :, 3))
    values = values(:, :, 1);   % a grey palette is grey
  end
  write(uint8(255 * values), fullfile(outdir, 'input.png'));
  if size(values, 3) == 1
    values = repmat(values, [1 1 3]);
  end
  % A pixel whose segment differs from the one below or to the right of it.
  border = false(size(labels));
  border(1:end - 1, :) = labels(1:end - 1, :) ~= labels(2:end, :);
  border(:, 1:end - 1) = border(:, 1:end - 1) | labels(:, 1:end - 1) ~= labels(:, 2:end);
  red = [1 0 0];
  for c = 1:3
    channel = values(:, :, c);
    channel(border) = red(c);
    values(:, :, c) = channel;
  end
  write(uint8(255 * values), fullfile(outdir, 'segmentation.png'));
end

function write(picture, file)
  try
    imwrite(picture, file);
  catch err
    error('quorvane_demo:cannotWrite', 'quorvane_demo: cannot write %s: %s', file, err.message);
  end
end
