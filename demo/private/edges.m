% Edge magnitude (the largest Gaussian gradient magnitude over the channels) and phase:
% on the edges that hysteresis keeps (8-connected pieces above LOW noise units that reach
% above HIGH), the signs of every channel's Laplacian of Gaussian coded as one number
% 1 .. 3^channels (in grey 1 or 3), so that an edge between two colours of one brightness
% changes the phase too; 0 off the edges.
function [magnitude, phase] = edges(picture, smoothing, low, high)
  [nr, nc, channels] = size(picture);
  magnitude = zeros(nr, nc);
  phase = ones(nr, nc);
  for c = 1:channels
    channel = picture(:, :, c);
    m = hypot(gaussian_filtered(channel, smoothing, 1, 0), gaussian_filtered(channel, smoothing, 0, 1));
    magnitude = max(magnitude, m);
    laplace = gaussian_filtered(channel, smoothing, 2, 0) + gaussian_filtered(channel, smoothing, 0, 2);
    phase += 3 ^ (c - 1) * 2 * (laplace > 0);
  end
  unit = edge_unit(picture, smoothing);
  above = magnitude > low * unit;
  id = reshape(1:nr * nc, nr, nc);
  p = [];
  q = [];
  for shift = [1 0; 0 1; 1 1; 1 -1]'      % the 8-connected neighbours, each pair once
    rows = max(1, 1 - shift(1)):min(nr, nr - shift(1));
    cols = max(1, 1 - shift(2)):min(nc, nc - shift(2));
    both = above(rows, cols) & above(rows + shift(1), cols + shift(2));
    a = id(rows, cols);
    b = id(rows + shift(1), cols + shift(2));
    p = [p; a(both)];  %#ok<AGROW>
    q = [q; b(both)];  %#ok<AGROW>
  end
  piece = components(nr * nc, p, q);
  strong = false(max(piece), 1);
  strong(piece(magnitude > high * unit)) = true;
  phase(~(above(:) & strong(piece))) = 0;
end

% The picture filtered along its rows and columns with Gaussian kernels (standard
% deviation s, cut at 4 s as scipy.ndimage cuts them) of the given derivative orders,
% its edges continued by their nearest pixels.
function out = gaussian_filtered(channel, s, order_rows, order_columns)
  r = floor(4 * s + 0.5);
  x = -r:r;
  g = exp(-0.5 * x .^ 2 / s ^ 2);
  g = g / sum(g);
  kernels = {g, -x / s ^ 2 .* g, (x .^ 2 / s ^ 4 - 1 / s ^ 2) .* g};
  [nr, nc] = size(channel);
  padded = channel([ones(1, r), 1:nr, nr * ones(1, r)], [ones(1, r), 1:nc, nc * ones(1, r)]);
  out = conv2(kernels{1 + order_rows}, kernels{1 + order_columns}, padded, 'valid');
end
