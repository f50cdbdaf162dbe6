% [magnitude, phase, radius] = read_workload(workloadDir, name): one workload of
% bench/prepare_workloads.py, as the Octave benchmarks read it (NAME.txt: rows, columns,
% radius; NAME.magnitude and NAME.phase: little-endian doubles, column-major).
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
