function test_package(tarball, work)
  % Installs the Octave package TARBALL into a fresh prefix under WORK, with package lists
  % of its own, loads it and uses the native functions and their help from there. Throws on
  % the first failed check. The machine's and the user's packages and lists are neither read
  % nor touched, so a quorvane installed for every user does not get in the way.
  if exist(work, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(work, 's');
  end
  mkdir(work);
  pkg('prefix', fullfile(work, 'packages'), fullfile(work, 'packages-arch'));
  pkg('local_list', fullfile(work, 'octave_packages'));
  pkg('global_list', fullfile(work, 'global_octave_packages'));

  % -local: as root, pkg would otherwise install into Octave's global tree.
  pkg('install', '-local', tarball);
  installed = pkg('list');
  check(numel(installed) >= 1 && any(cellfun(@(p) strcmp(p.name, 'quorvane'), installed)), ...
        'quorvane is not among the installed packages');
  pkg('load', 'quorvane');

  for name = {'quorvane', 'quorvane_pattern', 'quorvane_segment'}
    where = which(name{1});
    check(strncmp(where, work, numel(work)), [name{1} ' comes from ' where]);
    [~, ~, suffix] = fileparts(where);
    check(strcmp(suffix, '.oct'), [name{1} ' is not the native function: ' where]);
    text = get_help_text(name{1});
    check(strcmp(text, get_help_text_from_file(file_in_loadpath([name{1} '.m']))) && ...
          !isempty(regexp(text, ['^' upper(name{1}) '  \S'], 'once')), ['help ' name{1}]);
  end

  % The module and the helper together against a case worked by hand: a 2 x 2 image
  % whose right column has the other phase; magnitude 3 everywhere, sigma 1.
  [IR, JC] = quorvane_pattern(2, 2, 1);
  check(isequal(IR', uint32([0 1 2  0 1 3  0 2 3  1 2 3])), 'quorvane_pattern IR');
  check(isequal(JC', uint32([0 3 6 9 12])), 'quorvane_pattern JC');
  W = quorvane(3 * ones(2), [0 1; 0 1], IR, JC, 1);
  across = exp(-36 / 8);
  expected = [1 1 across 0; 1 1 0 across; across 0 1 1; 0 across 1 1];
  check(isequal(full(W), expected), 'weights of the installed module');

  % The segmentation from the package: the two halves of a step, as one process finds them.
  labels = quorvane_segment([zeros(12, 6), ones(12, 6)]);
  check(isequal(labels, [ones(12, 6), 2 * ones(12, 6)]), 'quorvane_segment of a step');

  [passed, total] = test('quorvane', 'quiet', stdout);
  check(total > 0 && passed == total, sprintf('test quorvane: %d of %d passed', passed, total));
  seconds = zeros(1, 3);
  for k = 1:numel(seconds)
    start = tic();
    [IR, JC] = quorvane_pattern(500, 500, 10);
    seconds(k) = toc(start);
    clear IR JC;
  end
  printf('quorvane_pattern(500, 500, 10) from the package: median %.3f s\n', median(seconds));
  check(median(seconds) < 0.5, sprintf('quorvane_pattern(500, 500, 10) took %.2f s', median(seconds)));

  pkg('unload', 'quorvane');
  check(isempty(which('quorvane')), 'quorvane still on the path after pkg unload');
  pkg('uninstall', '-local', 'quorvane');
  installed = pkg('list');
  check(~any(cellfun(@(p) strcmp(p.name, 'quorvane'), installed)), 'pkg uninstall left it listed');
  printf('package installed, used and removed under %s\n', work);
end

function check(condition, message)
  if ~condition
    error('test_package: %s', message);
  end
end
