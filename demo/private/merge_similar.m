% Merges every two bordering clusters whose mean weight across their border is above
% LIMIT times the larger of their mean weights within (entries of a pixel with itself left
% out; a cluster without inner pairs counts as tied within by 1), along a border of at
% least MIN_NUMBER entries (a shorter one is a leak through a gap in an edge), and so on
% transitively: a border is no edge when pairs across it are tied about as well as pairs
% within. Clusters of fewer than MIN_AREA pixels take no part (slivers along an edge, tied
% to both its sides, would chain them together). Returns the merged labels, 1..count, and
% count.
function [labels, count] = merge_similar(labels, W, limit, min_area, min_number)
  k = max(labels);
  large = accumarray(labels(:), 1, [k 1]) >= min_area;
  % Each pair of pixels once (W is symmetric): the sums over both orders of a pair of
  % clusters are T + T', and the means within are the same.
  [i, j, w] = find(triu(W, 1));
  a = labels(i);
  b = labels(j);
  clear i j;
  same = a == b;
  pairs = accumarray(a(same), 1, [k 1]);
  inner = accumarray(a(same), w(same), [k 1]) ./ max(pairs, 1);
  inner(pairs == 0) = 1;
  across = ~same & large(a) & large(b);
  total = accumarray([a(across), b(across)], w(across), [k k]);
  number = accumarray([a(across), b(across)], 1, [k k]);
  total += total';
  number += number';
  join = number > 0 & number >= min_number & total > limit * max(inner, inner') .* number;
  [p, q] = find(join);
  [root, count] = components(k, p, q);
  labels = root(labels);
end
