function test_package(tarball, work)
  % Installs the Octave package TARBALL into a fresh prefix under WORK, with its own
  % package list, loads it and uses the module, the helper and the help text from there.
  % Throws on the first failed check. The user's packages and lists are not touched.
  if exist(work, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(work, 's');
  end
  mkdir(work);
  pkg('prefix', fullfile(work, 'packages'), fullfile(work, 'packages-arch'));
  pkg('local_list', fullfile(work, 'octave_packages'));

  % -local: as root, pkg would otherwise install into Octave's global tree.
  pkg('install', '-local', tarball);
  installed = pkg('list');
  check(numel(installed) >= 1 && any(cellfun(@(p) strcmp(p.name, 'quorvane'), installed)), ...
        'quorvane is not among the installed packages');
  pkg('load', 'quorvane');

  where = which('quorvane');
  check(strncmp(where, work, numel(work)), ['quorvane comes from ' where]);
  check(exist('quorvane') == 3, 'quorvane is not the compiled module');
  check(strncmp(which('quorvane_pattern'), work, numel(work)), 'quorvane_pattern is not the installed one');

  % The module and the helper together against a case worked by hand: a 2 x 2 image
  % whose right column has the other phase; magnitude 3 everywhere, sigma 1.
  [IR, JC] = quorvane_pattern(2, 2, 1);
  check(isequal(IR', uint32([0 1 2  0 1 3  0 2 3  1 2 3])), 'quorvane_pattern IR');
  check(isequal(JC', uint32([0 3 6 9 12])), 'quorvane_pattern JC');
  W = quorvane(3 * ones(2), [0 1; 0 1], IR, JC, 1);
  across = exp(-36 / 8);
  expected = [1 1 across 0; 1 1 0 across; across 0 1 1; 0 across 1 1];
  check(isequal(full(W), expected), 'weights of the installed module');

  text = get_help_text('quorvane');
  check(~isempty(regexp(text, '^QUORVANE  Sparse pixel-affinity weights', 'once')), ...
        'help quorvane does not start with its H1 line');
  text = get_help_text('quorvane_pattern');
  check(~isempty(strfind(text, 'QUORVANE_PATTERN')), 'help quorvane_pattern is empty');
  [passed, total] = test('quorvane', 'quiet', stdout);
  check(total > 0 && passed == total, sprintf('test quorvane: %d of %d passed', passed, total));

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
