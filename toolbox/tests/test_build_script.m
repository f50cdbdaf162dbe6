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

  % A small colour picture of three flat regions under noise, for the segmentation's module.
  picture = repmat(0.2, 30, 40, 3);
  picture(8:22, 5:18, 1) = 0.7;
  picture(:, 26:end, 3) = 0.9;
  randn('seed', 5);
  picture = picture + 0.02 * randn(size(picture));

  addpath(reference_dir);
  reference = cellfun(@(extra) quorvane(mag, phase, IR, JC, extra{:}), runs, 'UniformOutput', false);
  [referenceLabels, referenceCount] = quorvane_segment(picture);
  rmpath(reference_dir);
  clear quorvane quorvane_segment;

  % The output directory is on the path before the build: the new module must be found
  % in the same session, not shadowed by the help-only quorvane.m.
  mkdir(work);
  addpath(work);
  target = quorvane_build(work);
  check(exist(target, 'file') == 3, ['no module at ' target]);
  check(exist(fullfile(work, 'quorvane.m'), 'file') == 2, 'help text not copied');
  check(exist(fullfile(work, 'quorvane_pattern.m'), 'file') == 2, 'helper not copied');
  check(exist(fullfile(work, 'quorvane_segment.m'), 'file') == 2, 'segment help not copied');
  check(strcmp(which('quorvane'), target), ['quorvane resolves to ' which('quorvane')]);
  segmentModule = fullfile(work, 'quorvane_segment.mex');
  check(strcmp(which('quorvane_segment'), segmentModule), ...
        ['quorvane_segment resolves to ' which('quorvane_segment')]);
  [labels, count] = quorvane_segment(picture);
  check(isequal(labels, referenceLabels) && count == referenceCount && count >= 3, ...
        'the built quorvane_segment differs from the reference');
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
  check(~isempty(strfind(get_help_text('quorvane_segment'), 'QUORVANE_SEGMENT  Segments')), ...
        'help quorvane_segment beside the built module');
  rmpath(work);
  clear quorvane quorvane_segment;
  printf('quorvane_build: the module in %s matches %s bit for bit\n', work, reference_dir);
end

function check(condition, message)
  if ~condition
    error('test_build_script: %s', message);
  end
end
