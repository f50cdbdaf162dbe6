function soak(calls)
  % Many calls of quorvane in one Octave session, valid and invalid mixed, images of several
  % classes among them. Every valid call must return the plain reference's entries for the
  % images' doubles bit for bit (NaN where NaN), every invalid one must raise exactly its
  % message, and the resident size of the process must stay flat: a leak of one output
  % array (or image copy) per call, or of anything on the error paths, shows up as growth.
  % Ends Octave with a non-zero status on the first failure.
  if nargin < 1
    calls = 50000;
  end
  try
    run_soak(calls);
  catch err
    printf('soak FAILED: %s\n', err.message);
    for s = err.stack'
      printf('    at %s line %d\n', s.name, s.line);
    end
    exit(1);
  end
end

function run_soak(calls)
  rand('state', 17);
  valid = valid_cases();
  invalid = invalid_cases();
  printf('soak: %s, %d valid and %d invalid cases, %d calls\n', which('quorvane'), ...
         numel(valid), numel(invalid), calls);

  % Warm up (Octave's own caches, the module loaded) before the first measurement.
  warmup = min(2000, floor(calls / 10));
  samples = [];
  counts = zeros(1, 2);  % valid, invalid
  tic;
  for n = 1:calls
    if n == warmup || (n > warmup && mod(n - warmup, 2000) == 0)
      samples(end + 1) = resident_kib();
    end
    if mod(n, 3) == 0
      c = invalid{1 + mod(floor(n / 3) * 7, numel(invalid))};
      counts(2) += 1;
      expect_failure(c);
    else
      c = valid{1 + mod(n * 5, numel(valid))};
      counts(1) += 1;
      W = quorvane(c.args{:});
      check_result(W, c);
    end
  end
  seconds = toc;
  samples(end + 1) = resident_kib();
  growth = samples(end) - samples(1);
  printf('soak: %d valid and %d invalid calls in %.1f s (%.0f us/call)\n', ...
         counts(1), counts(2), seconds, 1e6 * seconds / calls);
  printf('soak: resident size %s KiB: grew by %d KiB after warm-up\n', ...
         mat2str(samples), growth);
  % The valid outputs alone amount to tens of MiB over a soak: a leak of them, or of the
  % arrays of failing calls, passes any fixed allowance of a few MiB.
  if growth > 4 * 1024
    error('resident size grew by %d KiB', growth);
  end
end

function kib = resident_kib()
  status = fileread('/proc/self/status');
  kib = str2double(regexp(status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end

function check_result(W, c)
  if !(issparse(W) && isreal(W) && isequal(size(W), [c.np c.np]) && nnz(W) == numel(c.values))
    error('case %s: wrong kind, size or count of entries', c.name);
  end
  [i, j, v] = find(W);
  if !isequal(i, c.rows) || !isequal(j, c.cols)
    error('case %s: row indices or column starts differ', c.name);
  end
  same = typecast(v, 'uint64') == typecast(c.values, 'uint64') | (isnan(v) & isnan(c.values));
  if !all(same)
    k = find(!same, 1);
    error('case %s: entry %d is %.17g, expected %.17g', c.name, k, v(k), c.values(k));
  end
end

function expect_failure(c)
  try
    if c.nout == 2
      [a, b] = quorvane(c.args{:});
    else
      quorvane(c.args{:});
    end
  catch err
    if !strcmp(err.message, c.message)
      error('case %s: expected "%s", got "%s"', c.name, c.message, err.message);
    end
    return;
  end
  error('case %s: expected "%s", but the call succeeded', c.name, c.message);
end

% Valid calls with their expected entries, computed once by the plain Octave reference.
function cases = valid_cases()
  cases = {};
  pool_mag = [0, -0, 1, 2.5, -3, NaN, Inf, -Inf, 4, 0.125];
  pool_ph = [0, -0, 1, 2, NaN];
  sigmas = {[], 1, 0, -2, Inf, NaN, 0.3, single(2.5), int8(-3), uint32(7), true, {}, '', ...
            zeros(1, 0, 'uint8')};
  for t = 1:40
    nr = randi(8); nc = randi(8); np = nr * nc;
    mag = reshape(pool_mag(randi(numel(pool_mag), 1, np)), nr, nc);
    ph = reshape(pool_ph(randi(numel(pool_ph), 1, np)), nr, nc);
    offset = randi([0 3]);
    counts = randi([0 min(np + 1, 12)], 1, np);
    JC = uint32(offset + [0 cumsum(counts)]);
    IR = uint32([randi([0 2^32 - 1], 1, offset), randi([0 np - 1], 1, sum(counts)), ...
                 randi([np 2^32 - 1], 1, randi([0 2]))]);
    if mod(t, 3) == 0
      JC = reshape(JC, 1, []);  % any shape of np + 1 elements
      IR = IR';
    end
    sigma = sigmas{1 + mod(t, numel(sigmas))};
    % Images of other classes, read as their doubles.
    switch mod(t, 7)
      case 1
        mag = single(mag);
      case 2
        ph = ph > 0;
      case 3
        mag = int16(mag * 100);
        ph = uint8(ph);
      case 4
        mag = uint64(abs(mag)) * uint64(2 ^ 52) + uint64(t);
    end
    args = {mag, ph, IR, JC};
    if !isempty(sigma) || mod(t, 2) == 0
      args{end + 1} = sigma;
      if mod(t, 5) == 0
        args = [args, {'ignored', {1, 2}}];
      end
    end
    cases{end + 1} = make_valid(sprintf('random %d', t), args, sigma);
  end
  % A disc pattern on a larger image: long enough walks for every kernel of the engine.
  nr = 24; nc = 21; np = nr * nc;
  mag = rand(nr, nc) * 3; ph = double(rand(nr, nc) > 0.6);
  mag(5, :) = NaN; ph(:, 7) = -0;
  [IR, JC] = quorvane_pattern(nr, nc, 3);
  cases{end + 1} = make_valid('disc radius 3', {mag, ph, IR, JC}, []);
  cases{end + 1} = make_valid('disc radius 3, sigma 0.7', {mag, ph, IR, JC, 0.7}, 0.7);
end

function c = make_valid(name, args, sigma)
  mag = double(args{1}); ph = double(args{2}); IR = args{3}; JC = args{4};
  if isempty(sigma)
    [values, rows, starts] = reference_weights(mag, ph, IR, JC);
  else
    [values, rows, starts] = reference_weights(mag, ph, IR, JC, double(sigma));
  end
  np = numel(mag);
  cols = repelem((1:np)', diff(starts));
  c = struct('name', name, 'args', {args}, 'np', np, 'values', values, 'rows', rows + 1, ...
             'cols', cols);
end

% Invalid calls, one or more per message, each with the exact message expected.
function cases = invalid_cases()
  mag = [2 4 8; 1 0 3]; ph = [0 1 1; 1 0 0];
  IR = uint32([0 1 2 3 4 5 5 4 3 2 1 0]); JC = uint32([0 2 4 6 8 10 12]);
  cases = {};
  add = @(name, nout, args, message) struct('name', name, 'nout', nout, 'args', {args}, ...
                                            'message', ['quorvane: ' message]);
  m = 'Four input arguments required';
  cases{end + 1} = add('no inputs', 1, {}, m);
  cases{end + 1} = add('three inputs', 1, {mag, ph, IR}, m);
  cases{end + 1} = add('three inputs, two outputs', 2, {mag, ph, IR}, m);
  cases{end + 1} = add('two outputs', 2, {mag, ph, IR, JC}, 'Too many output arguments');
  m = 'Edge magnitude and phase shall be of the same image size';
  cases{end + 1} = add('empty', 1, {[], [], IR, JC}, m);
  cases{end + 1} = add('0 x 3', 1, {zeros(0, 3), zeros(0, 3), IR, JC}, m);
  cases{end + 1} = add('transposed phase', 1, {mag, ph', IR, JC}, m);
  cases{end + 1} = add('2^31 pixels', 1, {sparse(65536, 32768), sparse(65536, 32768), IR, JC}, ...
                       'Edge magnitude and phase shall have fewer than 2^31 pixels');
  m = 'Edge magnitude and phase shall be real double matrices';
  cases{end + 1} = add('3-D', 1, {cat(3, mag, mag), [ph ph], IR, JC}, m);
  cases{end + 1} = add('3-D uint8', 1, {[mag mag], uint8(cat(3, ph, ph)), IR, JC}, m);
  cases{end + 1} = add('complex', 1, {mag, complex(ph, 1), IR, JC}, m);
  cases{end + 1} = add('complex single', 1, {complex(single(mag), 1), ph, IR, JC}, m);
  cases{end + 1} = add('sparse', 1, {sparse(mag), ph, IR, JC}, m);
  cases{end + 1} = add('sparse logical', 1, {mag, sparse(ph > 0), IR, JC}, m);
  cases{end + 1} = add('char', 1, {mag, char(ph + 48), IR, JC}, m);
  cases{end + 1} = add('cell', 1, {num2cell(mag), ph, IR, JC}, m);
  cases{end + 1} = add('single, double IR', 1, {single(mag), ph, double(IR), JC}, ...
                       'Index pair shall be of type UINT32');
  m = 'Index pair shall be of type UINT32';
  cases{end + 1} = add('double IR', 1, {mag, ph, double(IR), JC}, m);
  cases{end + 1} = add('int32 JC', 1, {mag, ph, IR, int32(JC)}, m);
  m = 'Wrong index representation';
  cases{end + 1} = add('JC short', 1, {mag, ph, IR, JC(1:end-1)}, m);
  cases{end + 1} = add('JC long', 1, {mag, ph, IR, [JC 12]}, m);
  cases{end + 1} = add('JC decreasing', 1, {mag, ph, IR, uint32([0 2 4 3 8 10 12])}, ...
                       'Index pair column starts shall not decrease');
  cases{end + 1} = add('JC at the top', 1, {mag, ph, IR, uint32([0 2 4 6 8 10 2^32-1])}, ...
                       'Index pair has fewer row indices than its last column start');
  cases{end + 1} = add('IR short', 1, {mag, ph, IR(1:end-1), JC}, ...
                       'Index pair has fewer row indices than its last column start');
  m = 'Index pair row index exceeds the image size';
  cases{end + 1} = add('IR = np', 1, {mag, ph, [IR(1:end-1) uint32(6)], JC}, m);
  cases{end + 1} = add('IR at the top', 1, {mag, ph, [uint32(2^32-1) IR(2:end)], JC, 1}, m);
  m = 'Sigma shall be a real scalar';
  for sigma = {'0.1', [0.1 5], complex(1.5, 2), sparse(2), {1}, struct('s', 1), @sin}
    cases{end + 1} = add(['sigma ' class(sigma{1})], 1, {mag, ph, IR, JC, sigma{1}}, m);
  end
end
