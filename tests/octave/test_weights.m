function test_weights()
  % Stored results in the real host: values, explicit zeros and NaNs, order of rows.
  mag = [2 4 8]; ph = [0 1 1];
  IR = uint32([0 1 2 0 1 2 0 1 2]); JC = uint32([0 3 6 9]);

  a = exp(-4.5);
  W = quorvane(mag, ph, IR, JC, 1);
  [i, j, v] = find(W);
  assert(isequal(v', [1 a a a 1 1 a 1 1]));
  assert(isequal([i j] - 1, double([IR; 0 0 0 1 1 1 2 2 2]')));
  b = exp(((-3) * 3) * (0.5 / (8/6)^2));
  assert(abs(b - 0.079560) < 1e-6);
  assert(isequal(nonzeros(quorvane(mag, ph, IR, JC))', [1 b b b 1 1 b 1 1]));

  % sigma 0: stored zeros across the edge and NaNs where nothing is crossed survive.
  W = quorvane(mag, ph, IR, JC, 0);
  assert(nnz(W) == 9 && nzmax(W) == 9);
  [~, ~, v] = find(W);
  assert(isequal(v([1 2 3 4 7]), [1 0 0 0 0]') && all(isnan(v([6 8]))));
  expect_same_weights(W, mag, ph, IR, JC, 0);

  % Unsorted and duplicate rows pass through; empty columns keep their starts.
  mag = [1 2 3; 4 5 6]; ph = [0 0 1; 1 0 0];
  IR = uint32([5 3 5 0 2]); JC = uint32([0 4 4 5 5 5 5]);
  W = quorvane(mag, ph, IR, JC, 1);
  [i, j] = find(W);
  assert(isequal(i' - 1, [5 3 5 0 2]) && isequal(j' - 1, [0 0 0 0 2]));
  expect_same_weights(W, mag, ph, IR, JC, 1);

  % Inputs are read, never written.
  before = {mag, ph, IR, JC};
  quorvane(mag, ph, IR, JC);
  assert(isequal(before, {mag, ph, IR, JC}));

  % A leading offset in JC: unread IR entries, output starts counted from 0.
  W = quorvane([1; 1], [0; 1], uint32([9 9 1 0]), uint32([2 3 4]), 2);
  [i, j, v] = find(W);
  assert(isequal([i j] - 1, [1 0; 0 1]) && isequal(v, exp(-0.125) * [1; 1]));
end
