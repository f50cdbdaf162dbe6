function check_help_and_tests(varargin)
  % For each named function: its help text starts with its H1 line ("NAME  ..."), and
  % the %!test and %!error blocks of its file all pass. Throws otherwise.
  for k = 1:numel(varargin)
    name = varargin{k};
    text = get_help_text(name);
    if isempty(regexp(text, ['^' upper(name) '  \S'], 'once'))
      error('check_help_and_tests: help %s does not start with its H1 line', name);
    end
    [passed, total] = test(name, 'quiet', stdout);
    printf('test %s: %d of %d passed\n', name, passed, total);
    if total == 0 || passed < total
      error('check_help_and_tests: test %s failed', name);
    end
  end
  % The help-only quorvane.m must not shadow the module beside it.
  if any(strcmp(varargin, 'quorvane')) && exist('quorvane') ~= 3
    error('check_help_and_tests: quorvane resolves to %s, not the MEX module', which('quorvane'));
  end
end
