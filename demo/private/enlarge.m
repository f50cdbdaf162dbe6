% Labels of the shrunk image back at the size SZ of the photograph: each block takes its
% label, and rows and columns that shrinking dropped take those of the last block.
function big = enlarge(labels, factor, sz)
  rows = min(ceil((1:sz(1)) / factor), size(labels, 1));
  cols = min(ceil((1:sz(2)) / factor), size(labels, 2));
  big = labels(rows, cols);
end
