% octave_bench(workloadDir): times W = quorvane(magnitude, phase, IR, JC) through Octave on
% the benchmark's workloads: the native function (quorvane, resolved from build/), the MEX
% module (the same build/quorvane.mex, copied as quorvane_mex) and the floor module
% quorvane_floor (a MEX module that only creates, fills and returns an output of the same
% size: what any MEX module pays in Octave). All three must be on the path. Prints medians
% of the process CPU time (so waiting for a core on a shared machine does not count) over
% interleaved calls, and their ratios.
function octave_bench(workloadDir, repeat)
  if nargin < 2
    repeat = 7;
  end
  [~, ~, suffix] = fileparts(which('quorvane'));
  if !strcmp(suffix, '.oct')
    error('octave_bench: quorvane resolves to %s, not the native function', which('quorvane'));
  end
  names = {'noise', 'coins', 'camera'};
  printf(['| workload | entries | native ms | MEX ms | floor ms | floor / native | ' ...
          'MEX / floor | bit-identical |\n']);
  printf('|---|---|---|---|---|---|---|---|\n');
  calls = {@quorvane, @quorvane_mex, @quorvane_floor};
  for n = 1:numel(names)
    [magnitude, phase, radius] = read_workload(workloadDir, names{n});
    [IR, JC] = quorvane_pattern(rows(magnitude), columns(magnitude), radius);
    W = quorvane(magnitude, phase, IR, JC);   % warm-up; also loads the modules
    M = quorvane_mex(magnitude, phase, IR, JC);
    F = quorvane_floor(magnitude, phase, IR, JC);
    same = same_bits(W, M) && isequal(size(W), size(F)) && nnz(W) == nnz(F);
    clear W M F;
    t = zeros(repeat, numel(calls));
    for r = 1:repeat
      for c = 1:numel(calls)
        start = cputime(); W = calls{c}(magnitude, phase, IR, JC); t(r, c) = cputime() - start;
        clear W;
      end
    end
    m = median(t, 1);
    printf('| %s | %d | %.1f | %.1f | %.1f | %.1fx | %.2fx | %s |\n', names{n}, numel(IR), ...
           1000 * m(1), 1000 * m(2), 1000 * m(3), m(3) / m(1), m(2) / m(3), yes_no(same));
  end
end

function same = same_bits(A, B)
  [i1, j1, v1] = find(A);
  [i2, j2, v2] = find(B);
  same = isequal(size(A), size(B)) && isequal(i1, i2) && isequal(j1, j2) && ...
         isequal(typecast(v1, 'uint64'), typecast(v2, 'uint64'));
end

function s = yes_no(flag)
  if flag
    s = 'yes';
  else
    s = 'NO';
  end
end
