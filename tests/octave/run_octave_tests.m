function run_octave_tests(folder, entry)
  % Runs every test_*.m function in folder; each throws on its first failed check.
  % ENTRY ('native' or 'mex') is the entry point quorvane must resolve to. Ends Octave
  % with a non-zero status when any test fails.
  [~, ~, suffix] = fileparts(which('quorvane'));
  if !strcmp(suffix, struct('native', '.oct', 'mex', '.mex').(entry))
    printf('quorvane resolves to %s, not the %s entry point\n', which('quorvane'), entry);
    exit(1);
  end
  printf('quorvane: %s\n', which('quorvane'));
  files = dir(fullfile(folder, 'test_*.m'));
  passed = 0;
  failed = 0;
  for f = files'
    [~, name] = fileparts(f.name);
    try
      feval(name);
      printf('%-40s ok\n', name);
      passed += 1;
    catch err
      printf('%-40s FAILED: %s\n', name, err.message);
      for s = err.stack'
        printf('    at %s line %d\n', s.name, s.line);
      end
      failed += 1;
    end
  end
  printf('%d passed, %d failed\n', passed, failed);
  if failed > 0 || passed == 0
    exit(1);
  end
end
