function check_help_and_tests(entry, varargin)
  % For each named function, as it resolves on the path: it is the ENTRY point's file
  % ('native': the compiled .oct functions; 'mex': the .mex modules with the .m pattern helper),
  % its help text is the one of its .m file and starts with its H1 line ("NAME  ..."), and
  % the %!test and %!error blocks of that .m file all pass. Throws otherwise.
  expected = struct('native', {{'.oct', '.oct'}}, 'mex', {{'.mex', '.m'}}).(entry);
  for k = 1:numel(varargin)
    name = varargin{k};
    [~, ~, suffix] = fileparts(which(name));
    wanted = expected{1 + strcmp(name, 'quorvane_pattern')};
    if !strcmp(suffix, wanted)
      error('check_help_and_tests: %s resolves to %s, not a %s file', name, which(name), wanted);
    end
    text = get_help_text(name);
    if isempty(regexp(text, ['^' upper(name) '  \S'], 'once'))
      error('check_help_and_tests: help %s does not start with its H1 line', name);
    end
    source = file_in_loadpath([name '.m']);
    if !strcmp(text, get_help_text_from_file(source))
      error('check_help_and_tests: help %s differs from the help text of %s', name, source);
    end
    [passed, total] = test(name, 'quiet', stdout);
    printf('test %s (%s): %d of %d passed\n', name, which(name), passed, total);
    if total == 0 || passed < total
      error('check_help_and_tests: test %s failed', name);
    end
  end
end
