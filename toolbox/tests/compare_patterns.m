function compare_patterns(native_dir, m_dir)
  % quorvane_pattern from NATIVE_DIR (the compiled function) and from M_DIR (the .m file)
  % give the same IR and JC, class and shape included, on images narrower, wider and larger
  % than the disc and radii at and beside distances of the grid. Throws on a difference.
  cases = {};
  for sz = [1 1; 1 9; 9 1; 4 6; 17 13; 40 3; 64 80]'
    for radius = [0 0.99 1 sqrt(2) 2.5 sqrt(13) 5 sqrt(50) 12 Inf]
      cases{end + 1} = {sz(1), sz(2), radius};
    end
  end
  cases{end + 1} = {303, 384, 5};
  cases{end + 1} = {uint16(30), int8(20), single(3.5)};
  native = patterns(native_dir, '.oct', cases);
  from_m = patterns(m_dir, '.m', cases);
  for k = 1:numel(cases)
    if !isequal(native{k}, from_m{k}) || !strcmp(class(native{k}{1}), 'uint32') || ...
       !isequal(size(native{k}{2}), [prod(double([cases{k}{1:2}])) + 1, 1])
      error('compare_patterns: quorvane_pattern(%d, %d, %g) differs', cases{k}{:});
    end
  end
  printf('compare_patterns: %d patterns, the same from both\n', numel(cases));
end

function results = patterns(folder, suffix, cases)
  addpath(folder);
  clear quorvane_pattern;
  [~, ~, found] = fileparts(which('quorvane_pattern'));
  if !strcmp(found, suffix)
    error('compare_patterns: quorvane_pattern is %s, not a %s file', which('quorvane_pattern'), suffix);
  end
  results = cell(size(cases));
  for k = 1:numel(cases)
    [IR, JC] = quorvane_pattern(cases{k}{:});
    results{k} = {IR, JC};
  end
  rmpath(folder);
end
