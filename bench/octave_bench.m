% octave_bench(workloadDir): times W = quorvane(magnitude, phase, IR, JC) against the floor
% module quorvane_floor (which only creates, fills and returns an output of the same size) on
% the benchmark's workloads, through Octave. Both modules must be on the path. Prints medians
% of the process CPU time (so waiting for a core on a shared machine does not count) over
% interleaved calls, and their ratio.
function octave_bench(workloadDir, repeat)
  if nargin < 2
    repeat = 7;
  end
  names = {'noise', 'coins', 'camera'};
  printf('| workload | entries | quorvane ms | floor ms | quorvane / floor | same size |\n');
  printf('|---|---|---|---|---|---|\n');
  for n = 1:numel(names)
    [magnitude, phase, radius] = read_workload(workloadDir, names{n});
    [IR, JC] = disc_pattern(rows(magnitude), columns(magnitude), radius);
    W = quorvane(magnitude, phase, IR, JC);   % warm-up; also loads both modules
    F = quorvane_floor(magnitude, phase, IR, JC);
    same = isequal(size(W), size(F)) && nzmax(W) == nzmax(F);
    clear W F;
    tq = zeros(repeat, 1);
    tf = zeros(repeat, 1);
    for r = 1:repeat
      t = cputime(); W = quorvane(magnitude, phase, IR, JC); tq(r) = cputime() - t; clear W;
      t = cputime(); F = quorvane_floor(magnitude, phase, IR, JC); tf(r) = cputime() - t; clear F;
    end
    printf('| %s | %d | %.1f | %.1f | %.2fx | %s |\n', names{n}, numel(IR), ...
           1000 * median(tq), 1000 * median(tf), median(tq) / median(tf), yes_no(same));
  end
end

function [magnitude, phase, radius] = read_workload(dir, name)
  dims = load(fullfile(dir, [name '.txt']));
  magnitude = read_doubles(fullfile(dir, [name '.magnitude']), dims(1:2));
  phase = read_doubles(fullfile(dir, [name '.phase']), dims(1:2));
  radius = dims(3);
end

function values = read_doubles(path, dims)
  fid = fopen(path, 'r', 'ieee-le');
  values = fread(fid, dims, 'double=>double');
  fclose(fid);
end

% Every pixel within Euclidean distance radius of each pixel, self included, rows sorted
% within each column (offsets ordered by column, then row).
function [IR, JC] = disc_pattern(nr, nc, radius)
  [dc, dr] = meshgrid(int32(-radius:radius));
  keep = dr .^ 2 + dc .^ 2 <= radius ^ 2;
  dr = dr(keep);
  dc = dc(keep);
  [r, c] = ndgrid(int32(0:nr - 1), int32(0:nc - 1));
  R = r(:)' + dr;
  C = c(:)' + dc;
  valid = R >= 0 & R < nr & C >= 0 & C < nc;
  clear r c;
  I = R + C * int32(nr);
  clear R C;
  IR = uint32(I(valid));
  JC = uint32([0; cumsum(sum(valid, 1)')]);
end

function s = yes_no(flag)
  if flag
    s = 'yes';
  else
    s = 'NO';
  end
end
