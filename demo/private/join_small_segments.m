% Segments of fewer than MIN_AREA pixels join the neighbouring segment they share the
% largest weight with (the smallest first, so a speck next to a speck ends in the larger
% region; of equal ties the lower segment); the segments are then numbered 1..count again.
function [segments, count] = join_small_segments(segments, W, min_area)
  labels = segments(:);
  count = max(labels);
  areas = accumarray(labels, 1, [count 1]);
  if min(areas) >= min_area
    return;
  end
  % Only the columns of pixels in small segments are read (W is symmetric).
  small_pixels = find(areas(labels) < min_area);
  [partner, column, value] = find(W(:, small_pixels));
  first = labels(small_pixels(column));
  second = labels(partner);
  across = first ~= second;
  ties = sparse(second(across), first(across), value(across), count, count);
  parent = (1:count)';
  [~, order] = sort(areas);                % sort is stable: equal areas by segment
  for small = order'
    if areas(small) >= min_area
      break;
    end
    if root_of(parent, small) ~= small
      continue;
    end
    [others, ~, tie] = find(ties(:, small));
    if isempty(others)
      continue;
    end
    roots = arrayfun(@(o) root_of(parent, o), others);
    keep = roots ~= small;
    if ~any(keep)
      continue;
    end
    totals = accumarray(roots(keep), tie(keep), [count 1]);
    candidates = unique(roots(keep));
    [~, best] = max(totals(candidates));   % the first of equals: the lower segment
    into = candidates(best);
    parent(small) = into;
    areas(into) += areas(small);
  end
  roots = arrayfun(@(a) root_of(parent, a), (1:count)');
  [~, ~, merged] = unique(roots(labels));
  segments = reshape(merged, size(segments));
  count = max(merged);
end

function r = root_of(parent, a)
  r = a;
  while parent(r) ~= r
    r = parent(r);
  end
end
