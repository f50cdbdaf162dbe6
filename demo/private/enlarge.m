% Labels of the shrunk image back at the size of the original: each block takes its label,
% and rows and columns that shrinking dropped take those of the last block.
function big = enlarge(labels, factor, sz)
  big = kron(labels, ones(factor));
  big = big([1:end, end * ones(1, sz(1) - end)], [1:end, end * ones(1, sz(2) - end)]);
end
