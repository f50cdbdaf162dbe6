function test_reference_agreement()
  % The module against a plain Octave transcription of the rule on random grids with
  % awkward values (NaN, -0, infinities, negatives), random patterns and every kind of sigma,
  % and on long lines where the rounding of the minor coordinate depends on the start.
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
