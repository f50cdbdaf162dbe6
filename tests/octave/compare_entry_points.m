function compare_entry_points(native_dir, mex_dir)
  % The native function (NATIVE_DIR/quorvane.oct) and the MEX module (alone in MEX_DIR) give
  % the same entries bit for bit, NaN where NaN, with the same row indices and column starts,
  % on random calls with awkward values and on a disc pattern over a photograph. Throws on
  % the first difference.
  rand('seed', 23);
  pool_mag = [0, -0, 1, 2.5, -3, NaN, Inf, -Inf, 4];
  pool_ph = [0, -0, 1, 2, NaN];
  sigmas = {{}, {1}, {0}, {-2}, {NaN}, {single(0.3)}, {[]}};
  calls = {};
  for trial = 1:120
    nr = randi(7); nc = randi(7); np = nr * nc;
    mag = reshape(pool_mag(randi(numel(pool_mag), 1, np)), nr, nc);
    ph = reshape(pool_ph(randi(numel(pool_ph), 1, np)), nr, nc);
    offset = randi([0 2]);
    counts = randi([0 np + 1], 1, np);
    JC = uint32(offset + [0 cumsum(counts)]);
    IR = uint32([zeros(1, offset), randi([0 np - 1], 1, sum(counts))]);
    calls{end + 1} = [{mag, ph, IR, JC}, sigmas{randi(numel(sigmas))}];
  end
  img = double(imread(fullfile(fileparts(mfilename('fullpath')), '..', '..', 'data', 'coins.png')));
  [gx, gy] = gradient(img(1:120, 1:150) / 255);
  addpath(native_dir);
  [IR, JC] = quorvane_pattern(120, 150, 6);
  calls{end + 1} = {hypot(gx, gy), double(del2(img(1:120, 1:150)) > 0), IR, JC};
  calls{end + 1} = [calls{end}, {0}];

  native = run_all(calls, '.oct');
  rmpath(native_dir);
  addpath(mex_dir);
  mex = run_all(calls, '.mex');
  rmpath(mex_dir);
  for k = 1:numel(calls)
    [i1, j1, v1] = find(native{k});
    [i2, j2, v2] = find(mex{k});
    same = isequal(size(native{k}), size(mex{k})) && isequal(i1, i2) && isequal(j1, j2) && ...
           isequal(typecast(v1(:), 'uint64'), typecast(v2(:), 'uint64'));
    if !same
      error('compare_entry_points: call %d differs between the entry points', k);
    end
  end
  printf('compare_entry_points: %d calls, the same bits from both entry points\n', numel(calls));
end

function results = run_all(calls, suffix)
  clear quorvane;
  [~, ~, found] = fileparts(which('quorvane'));
  if !strcmp(found, suffix)
    error('compare_entry_points: quorvane resolves to %s, not a %s file', which('quorvane'), suffix);
  end
  results = cellfun(@(args) quorvane(args{:}), calls, 'UniformOutput', false);
end
