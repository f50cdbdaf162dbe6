function octave_weights(folder)
  % Runs quorvane on every case_* folder under folder (written by the Python tests) and
  % writes the stored entries of each result in storage order: zero-based rows and columns
  % and the values, all as doubles.
  cases = dir(fullfile(folder, 'case_*'));
  for c = cases'
    d = fullfile(folder, c.name);
    shape = read_part(d, 'shape', 'double')';
    magnitude = reshape(read_part(d, 'magnitude', 'double'), shape);
    phase = reshape(read_part(d, 'phase', 'double'), shape);
    ir = read_part(d, 'indices', 'uint32');
    jc = read_part(d, 'indptr', 'uint32');
    if exist(fullfile(d, 'sigma'), 'file')
      W = quorvane(magnitude, phase, ir, jc, read_part(d, 'sigma', 'double'));
    else
      W = quorvane(magnitude, phase, ir, jc);
    end
    % find lists every stored entry, explicit zeros included, in storage order.
    [i, j, v] = find(W);
    write_part(d, 'rows', i - 1);
    write_part(d, 'cols', j - 1);
    write_part(d, 'values', v);
  end
end

function x = read_part(d, name, type)
  f = fopen(fullfile(d, name), 'r');
  x = fread(f, Inf, [type '=>' type]);
  fclose(f);
end

function write_part(d, name, x)
  f = fopen(fullfile(d, name), 'w');
  fwrite(f, double(x), 'double');
  fclose(f);
end
