function expect_same_weights(W, magnitude, phase, IR, JC, varargin)
  % W's stored entries (explicit zeros and NaNs included, in storage order) equal the plain
  % reference bit for bit, every NaN counting as equal to every NaN.
  [values, rows, starts] = reference_weights(magnitude, phase, IR, JC, varargin{:});
  np = numel(magnitude);
  assert(issparse(W) && isreal(W) && isequal(size(W), [np np]));
  assert(nnz(W) == numel(values), 'stored %d entries, expected %d', nnz(W), numel(values));
  [i, j, v] = find(W);
  i = i(:); j = j(:); v = v(:);  % find gives 0 x 0 for an empty matrix
  assert(isequal(i - 1, rows), 'row indices differ');
  assert(isequal([0; cumsum(accumarray(j, 1, [np 1]))], starts), 'column starts differ');
  same = typecast(v, 'uint64') == typecast(values, 'uint64') | (isnan(v) & isnan(values));
  assert(all(same), 'value %d is %.17g, expected %.17g', find(!same, 1), ...
         v(find(!same, 1)), values(find(!same, 1)));
end
