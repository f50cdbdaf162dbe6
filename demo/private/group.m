% k-means clusters of the pixels (1..count) from their embedding: the centres are fitted
% to the first coarse level's nodes (each aggregate's degree-weighted mean row, weighted
% by its degree: far fewer rows than pixels), then every pixel takes the centre nearest
% to its own unit row.
function labels = group(embedding, levels, count, seed)
  rows = unit_rows(embedding);
  fine = levels{1};
  if numel(levels) > 1
    degrees = levels{2}.d;
    fitted = unit_rows(sums_by(fine.aggregates, rows .* fine.d, numel(degrees)) ./ degrees);
    weights = degrees;
  else
    fitted = rows;
    weights = fine.d;
  end
  centres = kmeans_weighted(fitted, weights, count, 25, seed);
  [~, labels] = min(sum(centres .^ 2, 2)' - 2 * (rows * centres'), [], 2);
end

% Weighted k-means: Lloyd's iterations from k-means++ seeding (a fixed random state, so
% runs repeat), a row's weight its share in the seeding and in the centres' means; until
% no row changes its centre or after ITERATIONS.
function centres = kmeans_weighted(X, weights, k, iterations, seed)
  n = size(X, 1);
  k = min(k, n);
  stream = rand('state');
  rand('state', seed);
  pick = @(chances) min(n, find(cumsum(chances) >= rand() * sum(chances), 1));
  centres = X(pick(weights), :);
  nearest = sum((X - centres) .^ 2, 2);
  for c = 2:k
    chances = weights .* nearest;
    if sum(chances) > 0
      centres(c, :) = X(pick(chances), :);
    else
      centres(c, :) = X(1 + floor(rand() * n), :);
    end
    nearest = min(nearest, sum((X - centres(c, :)) .^ 2, 2));
  end
  rand('state', stream);
  labels = [];
  for it = 1:iterations
    [~, next] = min(sum(centres .^ 2, 2)' - 2 * (X * centres'), [], 2);
    if isequal(next, labels)
      break;
    end
    labels = next;
    mass = accumarray(labels, weights, [k 1]);
    sums = sums_by(labels, X .* weights, k);
    filled = mass > 0;
    centres(filled, :) = sums(filled, :) ./ mass(filled);
  end
end

% The rows scaled to unit length (zero rows stay zero).
function rows = unit_rows(X)
  length = sqrt(sum(X .^ 2, 2));
  rows = X ./ (length + (length == 0));
end

% Sums of the rows of X per label 1..count.
function sums = sums_by(labels, X, count)
  sums = zeros(count, size(X, 2));
  for c = 1:size(X, 2)
    sums(:, c) = accumarray(labels(:), X(:, c), [count 1]);
  end
end
