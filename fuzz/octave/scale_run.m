function scale_run(nr, nc, radius, repeats)
  % One large call of quorvane: an nr x nc image with a disc pattern of the given radius.
  % Prints the pattern size, the median time of the calls and the peak resident size of
  % the process (VmHWM) before and after them, and checks the result's shape and range.
  rand('state', 3);
  mag = rand(nr, nc) * 2;
  ph = double(rand(nr, nc) > 0.5);
  tic;
  [IR, JC] = disc_pattern(nr, nc, radius);
  printf('scale: %d x %d pixels, radius %g: %d entries, pattern built in %.1f s\n', ...
         nr, nc, radius, double(JC(end)), toc);
  before = status_kib('VmHWM');
  seconds = zeros(1, repeats);
  for n = 1:repeats
    clear W;
    tic;
    W = quorvane(mag, ph, IR, JC);
    seconds(n) = toc;
  end
  after = status_kib('VmHWM');
  printf('scale: call times %s s, median %.2f s (%.1f M entries/s)\n', mat2str(seconds, 3), ...
         median(seconds), double(JC(end)) / median(seconds) / 1e6);
  printf('scale: peak resident %.0f MiB before the calls (inputs), %.0f MiB with them\n', ...
         before / 1024, after / 1024);
  [i, j, v] = find(W);
  np = nr * nc;
  assert(issparse(W) && isequal(size(W), [np np]) && numel(v) == double(JC(end)));
  assert(all(v(i == j) == 1) && all(v >= 0 & v <= 1));
  printf('scale: result %d x %d with %d entries, diagonal 1, weights in [0, 1]\n', np, np, ...
         numel(v));
end

function [IR, JC] = disc_pattern(nr, nc, radius)
  % Every pixel paired with every pixel within the radius (itself included), partners in
  % ascending order: one row of `partner` per offset, sorted by column then row offset.
  R = floor(radius);
  [dr, dc] = ndgrid(-R:R, -R:R);
  keep = dr(:) .^ 2 + dc(:) .^ 2 <= radius ^ 2;
  dr = int32(dr(keep)); dc = int32(dc(keep));
  [row, col] = ndgrid(int32(0:nr - 1), int32(0:nc - 1));
  row = row(:)'; col = col(:)';
  partner = zeros(numel(dr), nr * nc, 'uint32');
  inside = false(numel(dr), nr * nc);
  for n = 1:numel(dr)
    r = row + dr(n); c = col + dc(n);
    inside(n, :) = r >= 0 & r < nr & c >= 0 & c < nc;
    partner(n, :) = uint32(max(r + c * nr, 0));
  end
  IR = partner(inside);
  JC = uint32([0; cumsum(sum(inside, 1))']);
end

function kib = status_kib(field)
  status = fileread('/proc/self/status');
  kib = str2double(regexp(status, [field ':\s*(\d+)'], 'tokens', 'once'){1});
end
