% The demo's pictures in OUTDIR: input.png, edges.png, weights.png, weights-where.png,
% eigenvectors.png and segmentation.png.
function write_pictures(outdir, original, img, factor, magnitude, phase, W, embedding, labels, radius)
  [nr, nc] = size(magnitude);
  % The photograph and its segments at most 1024 pixels wide or high (block means): the
  % pictures of a large photograph would otherwise take longer than its segmentation.
  sz = [size(original, 1), size(original, 2)];
  every = ceil(max(sz) / 1024);
  big = enlarge(labels, factor, sz);
  big = big(1:every:every * floor(sz(1) / every), 1:every:every * floor(sz(2) / every));
  channels = size(img, 3);
  original = rgb_of(shrink(original, every));
  imwrite(uint8(255 * original), fullfile(outdir, 'input.png'));
  img = rgb_of(img);
  write_edges(outdir, magnitude, phase, channels);
  write_weights(outdir, img, W, radius);
  write_eigenvectors(outdir, embedding, nr, nc);
  write_segmentation(outdir, original, big);
end

function write_edges(outdir, magnitude, phase, channels)
  [nr, nc] = size(magnitude);
  shown = sqrt(magnitude / max(magnitude(:)));   % square root shows the weak edges too
  % The phase: on the edges each channel's Laplacian sign (the base-3 digits of
  % (phase - 1) / 2) full or off in red, green and blue (in grey: black or white); grey
  % off the edges (phase 0).
  digits = zeros(nr, nc, 3);
  code = (phase - 1) / 2;
  for c = 1:3
    digits(:, :, c) = mod(floor(code / 3 ^ (min(c, channels) - 1)), 3);
  end
  digits(repmat(phase == 0, [1 1 3])) = 0.5;
  shown = cat(2, repmat(shown, [1 1 3]), ones(nr, 2, 3), digits);
  imwrite(uint8(255 * kron_rgb(shown, 2)), fullfile(outdir, 'edges.png'));
end

% Weights of chosen pixels to their partners: a crop around each pixel, enlarged, with
% each partner coloured from dark red (weight 0) to yellow (weight 1) over the image and
% the pixel itself in blue; and where the chosen pixels lie, marked on the shrunk image.
function write_weights(outdir, img, W, radius)
  [nr, nc, ~] = size(img);
  half = radius + 3;
  [rows, cols] = chosen_pixels(nr, nc, half);
  zoom = 8;
  tiles = {};
  for t = 1:numel(rows)
    r = rows(t);
    c = cols(t);
    weights = reshape(full(W(:, (c - 1) * nr + r)), nr, nc);
    rr = r - half:r + half;
    cc = c - half:c + half;
    tile = img(rr, cc, :);
    v = weights(rr, cc);
    inside = false(size(v));
    [dr, dc] = ndgrid(-half:half, -half:half);
    inside(dr .^ 2 + dc .^ 2 <= radius ^ 2) = true;
    glow = 0.3 + 0.7 * v;
    tile(:, :, 1) = tile(:, :, 1) .* (1 - 0.6 * inside) + 0.6 * inside .* glow;
    tile(:, :, 2) = tile(:, :, 2) .* (1 - 0.6 * inside) + 0.6 * inside .* glow .* v;
    tile(:, :, 3) = tile(:, :, 3) .* (1 - 0.6 * inside);
    tile(half + 1, half + 1, :) = reshape([0 0.4 1], 1, 1, 3);
    tile = kron_rgb(tile, zoom);
    tiles{end + 1} = cat(2, tile, ones(size(tile, 1), 6, 3));  %#ok<AGROW>
  end
  imwrite(uint8(255 * cat(2, tiles{:})), fullfile(outdir, 'weights.png'));

  marked = img;
  for t = 1:numel(rows)
    r = rows(t);
    c = cols(t);
    marked(r - half:r + half, [c - half, c + half], :) = reshape([1 0 0], 1, 1, 3) .* ones(2 * half + 1, 2);
    marked([r - half, r + half], c - half:c + half, :) = reshape([1 0 0], 1, 1, 3) .* ones(2, 2 * half + 1);
  end
  imwrite(uint8(255 * kron_rgb(marked, 2)), fullfile(outdir, 'weights-where.png'));
end

% The pixels whose weights are shown, each at least HALF pixels inside the border. The
% places, as fractions of the image size, are (in coins.png) the middle of a coin, a coin
% just inside its rim, a narrow gap between two coins, open background and the face on a
% coin.
function [rows, cols] = chosen_pixels(nr, nc, half)
  places = [0.152 0.875; 0.550 0.906; 0.503 0.906; 0.298 0.339; 0.642 0.557];
  picks = round(bsxfun(@times, places, [nr nc]));
  rows = min(max(picks(:, 1), half + 1), nr - half);
  cols = min(max(picks(:, 2), half + 1), nc - half);
end

% The second to fifth eigenvectors side by side, each from blue (negative) through white
% (0) to red (positive), full colour at the magnitude that 99 % of the pixels stay within
% (specks that edges cut off take far larger values than the coins).
function write_eigenvectors(outdir, embedding, nr, nc)
  strips = [];
  for k = 2:min(5, size(embedding, 2))
    t = reshape(embedding(:, k), nr, nc);
    magnitudes = sort(abs(t(:)));
    t = min(max(t / max(magnitudes(ceil(0.99 * end)), realmin), -1), 1);
    strip = cat(3, 1 + min(t, 0), 1 - abs(t), 1 - max(t, 0));
    strips = [strips, strip, ones(nr, 2, 3)];  %#ok<AGROW>
  end
  imwrite(uint8(255 * strips(:, 1:end - 2, :)), fullfile(outdir, 'eigenvectors.png'));
end

% The segmentation over the photograph: a colour per segment, borders in red.
function write_segmentation(outdir, original, big)
  count = max(big(:));
  state = rand('state');
  rand('state', 7);
  colours = 0.25 + 0.75 * rand(count, 3);
  rand('state', state);
  border = big ~= big([2:end, end], :) | big ~= big(:, [2:end, end]);
  picture = zeros(size(original));
  for ch = 1:3
    layer = 0.55 * original(:, :, ch) + 0.45 * reshape(colours(big, ch), size(big));
    layer(border) = ch == 1;
    picture(:, :, ch) = layer;
  end
  imwrite(uint8(255 * picture), fullfile(outdir, 'segmentation.png'));
end

function big = kron_rgb(tile, zoom)
  big = zeros(size(tile, 1) * zoom, size(tile, 2) * zoom, 3);
  for ch = 1:3
    big(:, :, ch) = kron(tile(:, :, ch), ones(zoom));
  end
end

% An H x W x 3 picture of a grey (H x W) or colour one, values clipped to [0, 1].
function rgb = rgb_of(picture)
  rgb = min(max(picture, 0), 1);
  if size(rgb, 3) == 1
    rgb = repmat(rgb, [1 1 3]);
  end
end
