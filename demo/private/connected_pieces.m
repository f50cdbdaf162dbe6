% Splits every segment of the label image into its 4-connected pieces, numbered 1..count.
function [pieces, count] = connected_pieces(labels)
  [nr, nc] = size(labels);
  id = reshape(1:nr * nc, nr, nc);
  down = labels(1:end - 1, :) == labels(2:end, :);
  right = labels(:, 1:end - 1) == labels(:, 2:end);
  above = id(1:end - 1, :);
  below = id(2:end, :);
  left = id(:, 1:end - 1);
  beside = id(:, 2:end);
  [root, count] = components(nr * nc, [above(down); left(right)], [below(down); beside(right)]);
  pieces = reshape(root, nr, nc);
end
