function test_reference_agreement()
  % The module against a plain Octave transcription of the rule on random grids with
  % awkward values (NaN, -0, infinities, negatives), random patterns and every kind of sigma,
  % images of every class, and on long lines where the rounding of the minor coordinate
  % depends on the start.
  rand('seed', 11);
  pool_mag = [0, -0, 1, 2.5, -3, NaN, Inf, -Inf, 4];
  pool_ph = [0, -0, 1, 2, NaN];
  sigmas = {[], 1, 0, -2, Inf, NaN, 0.3};
  for trial = 1:150
    nr = randi(5); nc = randi(5); np = nr * nc;
    mag = reshape(pool_mag(randi(numel(pool_mag), 1, np)), nr, nc);
    ph = reshape(pool_ph(randi(numel(pool_ph), 1, np)), nr, nc);
    counts = randi([0 np + 1], 1, np);
    JC = uint32([0 cumsum(counts)]);
    IR = uint32(randi([0 np - 1], 1, sum(counts)));
    sigma = sigmas{randi(numel(sigmas))};
    if isempty(sigma)
      W = quorvane(mag, ph, IR, JC);
    else
      W = quorvane(mag, ph, IR, JC, sigma);
    end
    expect_same_weights(W, mag, ph, IR, JC, sigma);
  end

  % Images of every numeric class and logical: the same bits as the call on double(m) and
  % double(p), and so as the reference, at the extremes of each class too (64-bit integers
  % beyond 2^53, single NaN, -0 and subnormals, saturated integers).
  classes = {'single', 'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', ...
             'uint64', 'logical', 'double'};
  for trial = 1:120
    nr = randi(5); nc = randi(5); np = nr * nc;
    mag = image_of(classes{1 + mod(trial, numel(classes))}, nr, nc);
    ph = image_of(classes{randi(numel(classes))}, nr, nc);
    counts = randi([0 np + 1], 1, np);
    JC = uint32([0 cumsum(counts)]);
    IR = uint32(randi([0 np - 1], 1, sum(counts)));
    sigma = {{}, {1e19}, {single(3)}, {[]}}{randi(4)};
    W = quorvane(mag, ph, IR, JC, sigma{:});
    V = quorvane(double(mag), double(ph), IR, JC, sigma{:});
    [i, j, v] = find(W);
    [i2, j2, v2] = find(V);
    assert(isequal(i, i2) && isequal(j, j2) && nnz(W) == nnz(V), ...
           '%s and %s images: other entries than from their doubles', class(mag), class(ph));
    assert(isequal(typecast(v, 'uint64'), typecast(v2, 'uint64')), ...
           '%s and %s images: other bits than from their doubles', class(mag), class(ph));
    sigma = cellfun(@double, sigma, 'UniformOutput', false);
    expect_same_weights(W, double(mag), double(ph), IR, JC, sigma{:});
  end

  nr = 45; nc = 40; np = nr * nc;
  mag = rand(nr, nc); ph = double(rand(nr, nc) > 0.5);
  starts = [0 1 2 nr nr+1 2*nr+2];                % rows 0..2 and columns 0..2
  IR = []; JC = zeros(1, np + 1);
  for j = 0:np-1
    if any(starts == j)
      IR = [IR, setdiff(randperm(np, 60) - 1, j)];
    end
    JC(j + 2) = numel(IR);
  end
  IR = uint32(IR); JC = uint32(JC);
  expect_same_weights(quorvane(mag, ph, IR, JC), mag, ph, IR, JC);
end

% An nr x nc image of the class with awkward values of it.
function image = image_of(name, nr, nc)
  switch name
    case 'logical'
      image = rand(nr, nc) > 0.5;
    case 'single'
      pool = single([0, -0, 1, 2.5, -3, NaN, Inf, 0.1, 1e-45, realmax('single')]);
      image = reshape(pool(randi(numel(pool), 1, nr * nc)), nr, nc);
    case {'int64', 'uint64'}
      % Beyond 2^53 neighbouring integers round to one double; intmax rounds up to 2^63
      % or 2^64.
      big = intmax(name) - randi([0 3], nr, nc, name);
      near = cast(2 ^ 53, name) + randi([0 5], nr, nc, name);
      small = cast(randi([0 7], nr, nc), name);
      pick = randi(3, nr, nc);
      image = small;
      image(pick == 1) = big(pick == 1);
      image(pick == 2) = near(pick == 2);
      if strcmp(name, 'int64')
        image(rand(nr, nc) > 0.7) = intmin('int64');
      end
    case 'double'
      pool = [0, -0, 1, 2.5, -3, NaN, Inf, -Inf, 4];
      image = reshape(pool(randi(numel(pool), 1, nr * nc)), nr, nc);
    otherwise  % saturated at the ends of the class
      image = cast(randi([-400 70000], nr, nc), name);
  end
end
