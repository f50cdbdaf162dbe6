% Connected components of the graph of n nodes with edges p(e)-q(e): the component of
% every node, numbered 1..count in the order of their lowest node, and count (the blocks
% of the Dulmage-Mendelsohn decomposition of the symmetric adjacency matrix with its
% diagonal, which are its connected components).
function [component, count] = components(n, p, q)
  A = sparse([p(:); q(:); (1:n)'], [q(:); p(:); (1:n)'], 1, n, n);
  [order, ~, starts] = dmperm(A);
  count = numel(starts) - 1;
  block = zeros(n, 1);
  block(order) = repelem((1:count)', diff(starts(:)));
  lowest = accumarray(block, (1:n)', [count 1], @min);
  [~, rank] = sort(lowest);
  renumber = zeros(count, 1);
  renumber(rank) = 1:count;
  component = renumber(block);
end
