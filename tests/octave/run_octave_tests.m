function run_octave_tests(folder)
  % placeholder
end
