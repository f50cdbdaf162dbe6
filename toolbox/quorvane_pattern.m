function [IR, JC] = quorvane_pattern(nr, nc, radius)
%QUORVANE_PATTERN  Disc pattern of pixel pairs for QUORVANE, as uint32 IR and JC.
%   [IR, JC] = QUORVANE_PATTERN(NR, NC, RADIUS) pairs every pixel of an NR x NC image
%   with every pixel at Euclidean distance at most RADIUS from it, itself included:
%   pixel (r, c) is paired with (r + dr, c + dc) when sqrt(dr^2 + dc^2) <= RADIUS and
%   the latter lies in the image (so RADIUS = sqrt(k) takes in the pixels at distance
%   sqrt(k)). The result is the compressed-column form QUORVANE takes:
%
%     JC   (NR*NC + 1) x 1 uint32, zero-based column starts; JC(1) = 0 and JC(end) is
%          the number of pairs;
%     IR   JC(end) x 1 uint32, zero-based pixel indices (column-major), the partners of
%          pixel j in IR(JC(j+1)+1 : JC(j+2)), sorted ascending.
%
%   NR and NC are positive integers, RADIUS a real number >= 0 (Inf pairs every pixel
%   with every other). Radius 1 gives the 4-neighbourhood, sqrt(2) the 8-neighbourhood.
%   The pattern is symmetric: pixel i is a partner of j exactly when j is one of i.
%
%   In Octave, QUORVANE_PATTERN is a compiled function (quorvane_pattern.oct, built
%   beside QUORVANE), faster than this file, which serves MATLAB, vectorised over the
%   pixels of an image column; docs/toolbox.md in the sources gives the times of both.
%   Both give the same IR and JC.
%
%   Example, in the root of the sources with QUORVANE on the path:
%     img = double(imread('data/coins.png')) / 255;          % 303 x 384
%     [gx, gy] = gradient(img);
%     mag = hypot(gx, gy);                                    % edge magnitude
%     phase = double(del2(img) > 0);                          % edge phase
%     [IR, JC] = quorvane_pattern(size(img, 1), size(img, 2), 5);
%     W = quorvane(mag, phase, IR, JC);       % 9305310 pairs, one weight each
%
%   See also QUORVANE.

  if nargin < 3
    error('quorvane_pattern:nargin', 'quorvane_pattern: three inputs required (NR, NC, RADIUS)');
  end
  nr = checkSize(nr, 'NR');
  nc = checkSize(nc, 'NC');
  if ~(isnumeric(radius) && isreal(radius) && isscalar(radius)) || isnan(radius) || radius < 0
    error('quorvane_pattern:radius', ...
          'quorvane_pattern: RADIUS shall be a real number of at least 0');
  end
  radius = double(radius);
  np = nr * nc;
  if np > 2^31 - 1
    error('quorvane_pattern:size', ...
          'quorvane_pattern: the image shall have fewer than 2^31 pixels (NR*NC is %.0f)', np);
  end

  % Column offsets dc = -R..R that can hold a partner, and for each the largest row
  % offset h(dc) with sqrt(h^2 + dc^2) <= radius: from the rounded solution, settled by
  % that test (the squares are exact integers).
  R = min(floor(radius), nc - 1);
  dc = -R:R;
  h = min(floor(sqrt(max(radius^2 - dc.^2, 0))), nr - 1);
  h = h + (sqrt((h + 1).^2 + dc.^2) <= radius & h < nr - 1);
  h = h - (sqrt(h.^2 + dc.^2) > radius);

  % Partners of pixel row r0 in image column c0 + dc form one run of rows lo..hi.
  r0 = (0:nr - 1)';
  lo = max(0, r0 - h);                    % nr x (2R+1)
  len = min(nr - 1, r0 + h) - lo + 1;
  c0 = 0:nc - 1;
  valid = bsxfun(@plus, dc', c0);         % (2R+1) x nc: column c0 + dc
  valid = valid >= 0 & valid < nc;
  total = sum(len, 1) * sum(valid, 2);    % exact integers, before anything large
  if total > double(intmax('uint32'))
    error('quorvane_pattern:count', ...
          ['quorvane_pattern: the pattern would have more pairs than the uint32 range ' ...
           'of JC holds (4294967295); use a smaller RADIUS or image']);
  end
  counts = len * valid;                   % nr x nc pairs per pixel
  JC = uint32([0; cumsum(counts(:))]);

  IR = zeros(total, 1, 'uint32');
  % Columns whose whole disc lies inside the image share one block of partners, shifted
  % by nr per column; the others (near the left and right borders) are built one by one.
  interior = R:nc - 1 - R;
  if ~isempty(interior)
    base = columnBlock(interior(1), dc, lo, len, nr, nc);
    perColumn = numel(base);
    group = max(1, floor(4e6 / perColumn));   % a few MB per step
  end
  c = 0;
  while c < nc
    first = double(JC(c * nr + 1)) + 1;
    if ~isempty(interior) && c >= interior(1) && c <= interior(end)
      k = min(group, interior(end) - c + 1);
      shift = uint32((c - interior(1) + (0:k - 1)) * nr);
      IR(first:first + k * perColumn - 1) = bsxfun(@plus, base, shift);
      c = c + k;
    else
      block = columnBlock(c, dc, lo, len, nr, nc);
      IR(first:first + numel(block) - 1) = block;
      c = c + 1;
    end
  end
end

function n = checkSize(n, name)
  if ~(isnumeric(n) && isreal(n) && isscalar(n)) || ~isfinite(n) || n < 1 || n ~= fix(n)
    error(['quorvane_pattern:' lower(name)], ...
          'quorvane_pattern: %s shall be a positive integer', name);
  end
  n = double(n);
end

% Partners of every pixel in image column c, in pixel order, as a uint32 column:
% the runs of the valid column offsets, expanded by a cumulative sum of steps.
function block = columnBlock(c, dc, lo, len, nr, nc)
  keep = c + dc >= 0 & c + dc < nc;
  start = bsxfun(@plus, lo(:, keep), (c + dc(keep)) * nr)';   % runs x pixels
  len = len(:, keep)';
  start = start(:);
  len = len(:);
  steps = ones(sum(len), 1);
  heads = cumsum([1; len(1:end - 1)]);
  steps(1) = start(1);
  steps(heads(2:end)) = start(2:end) - start(1:end - 1) - len(1:end - 1) + 1;
  block = uint32(cumsum(steps));
end

%!function [IR, JC] = brute (nr, nc, radius)
%!  % Every pixel against every pixel, by the definition.
%!  [r, c] = ndgrid (0:nr-1, 0:nc-1);
%!  np = nr * nc;
%!  IR = [];
%!  JC = zeros (np + 1, 1);
%!  for j = 1:np
%!    near = find (sqrt ((r(:) - r(j)).^2 + (c(:) - c(j)).^2) <= radius) - 1;
%!    IR = [IR; near];
%!    JC(j + 1) = JC(j) + numel (near);
%!  endfor
%!endfunction

%!test
%! % Against the definition on shapes narrower, wider and equal to the disc.
%! for sz = [1 1; 1 7; 7 1; 2 3; 5 4; 6 9; 9 6; 13 11]'
%!   for radius = [0 0.5 1 sqrt(2) 1.5 2 2.3 3 sqrt(8) sqrt(13) 4.5 sqrt(29) 7 20 Inf]
%!     [IR, JC] = quorvane_pattern (sz(1), sz(2), radius);
%!     [bIR, bJC] = brute (sz(1), sz(2), radius);
%!     assert (class (IR), "uint32");
%!     assert (class (JC), "uint32");
%!     assert (size (JC), [prod(sz) + 1, 1]);
%!     assert (double (JC), bJC);
%!     assert (size (IR), [bJC(end), 1]);
%!     assert (double (IR), bIR);
%!   endfor
%! endfor

%!test
%! % Interior columns shifted from one block must agree with the border ones at the seams.
%! [IR, JC] = quorvane_pattern (8, 40, 3);
%! [bIR, bJC] = brute (8, 40, 3);
%! assert (double (JC), bJC);
%! assert (double (IR), bIR);

%!test
%! % Integer classes are accepted for the sizes and the radius.
%! [IR, JC] = quorvane_pattern (uint8 (4), int32 (5), uint16 (2));
%! [bIR, bJC] = brute (4, 5, 2);
%! assert (double (IR), bIR);
%! assert (double (JC), bJC);

%!test
%! % The pattern is symmetric, and the module accepts it as it is.
%! [IR, JC] = quorvane_pattern (7, 5, 2.5);
%! S = sparse (double (IR) + 1, repelem ((1:35)', diff (double (JC))), 1, 35, 35);
%! assert (isequal (S, S.'));
%! if (exist ("quorvane") == 3)
%!   W = quorvane (rand (7, 5), double (rand (7, 5) > 0.5), IR, JC);
%!   assert (nnz (spones (W) - S), 0);
%!   assert (full (diag (W)), ones (35, 1));
%! endif

%!error <NR shall be a positive integer> quorvane_pattern (0, 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern (2.5, 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern (-1, 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern (NaN, 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern (Inf, 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern ([2 3], 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern ("a", 3, 1)
%!error <NR shall be a positive integer> quorvane_pattern (2i, 3, 1)
%!error <NC shall be a positive integer> quorvane_pattern (3, 0, 1)
%!error <NC shall be a positive integer> quorvane_pattern (3, [], 1)
%!error <RADIUS shall be a real number of at least 0> quorvane_pattern (3, 3, -1)
%!error <RADIUS shall be a real number of at least 0> quorvane_pattern (3, 3, NaN)
%!error <RADIUS shall be a real number of at least 0> quorvane_pattern (3, 3, [1 2])
%!error <RADIUS shall be a real number of at least 0> quorvane_pattern (3, 3, 1 + 1i)
%!error <RADIUS shall be a real number of at least 0> quorvane_pattern (3, 3, true)
%!error <fewer than 2\^31 pixels> quorvane_pattern (65536, 32768, 0)
%!error <more pairs than the uint32 range of JC holds> quorvane_pattern (65536, 32767, 1)
%!error <more pairs than the uint32 range of JC holds> quorvane_pattern (100000, 100, Inf)
%!error <three inputs required> quorvane_pattern (3, 3)
%!error <called with too many inputs> quorvane_pattern (3, 3, 1, 1)
%!error <called with too many outputs> [a, b, c] = quorvane_pattern (3, 3, 1)
