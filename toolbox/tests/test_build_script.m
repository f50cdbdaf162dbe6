function test_build_script(reference_dir, work)
  % Compiles the module with quorvane_build into WORK and checks that it computes the
  % same bits as the module built by CMake in REFERENCE_DIR, and that help works beside
  % it. Throws on the first failed check.
  if exist(work, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(work, 's');
  end
  % An image with edges of every strength, a phase with many changes, a NaN magnitude
  % (which spreads to the weights of lines through it), three values of sigma and none.
  rand('seed', 4);
  mag = rand(23, 17) .^ 3;
  mag(5, 9) = NaN;
  phase = round(3 * rand(23, 17));
  [IR, JC] = quorvane_pattern(23, 17, 4.5);
  runs = {{}, {0.05}, {0}, {[]}};

  addpath(reference_dir);
  reference = cellfun(@(extra) quorvane(mag, phase, IR, JC, extra{:}), runs, 'UniformOutput', false);
  rmpath(reference_dir);
  clear quorvane;

  % The output directory is on the path before the build: the new module must be found
  % in the same session, not shadowed by the help-only quorvane.m.
  mkdir(work);
  addpath(work);
  target = quorvane_build(work);
  check(exist(target, 'file') == 3, ['no module at ' target]);
  check(exist(fullfile(work, 'quorvane.m'), 'file') == 2, 'help text not copied');
  check(exist(fullfile(work, 'quorvane_pattern.m'), 'file') == 2, 'helper not copied');
  check(strcmp(which('quorvane'), target), ['quorvane resolves to ' which('quorvane')]);
  built = cellfun(@(extra) quorvane(mag, phase, IR, JC, extra{:}), runs, 'UniformOutput', false);
  for k = 1:numel(runs)
    [i1, j1, w1] = find(reference{k});
    [i2, j2, w2] = find(built{k});
    same = isequal(i1, i2) && isequal(j1, j2) && ...
           isequal(typecast(w1, 'uint64'), typecast(w2, 'uint64'));
    check(same && nnz(built{k}) == double(JC(end)), sprintf('run %d differs from the reference', k));
  end
  check(any(isnan(nonzeros(built{1}))) && any(nonzeros(built{1}) < 0.5), 'the image does not exercise NaN and edges');
  check(~isempty(strfind(get_help_text('quorvane'), 'QUORVANE  Sparse')), 'help quorvane beside the built module');
  rmpath(work);
  clear quorvane;
  printf('quorvane_build: the module in %s matches %s bit for bit\n', work, reference_dir);
end

function check(condition, message)
  if ~condition
    error('test_build_script: %s', message);
  end
end
