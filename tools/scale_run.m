function scale_run(nr, nc, radius, repeats)
  % Large calls of quorvane, as it resolves on the path: an nr x nc image with the disc
  % pattern of the given radius. Prints the pattern size, the call times (the first one in
  % a fresh Octave) and each call's peak memory beyond what the process held before it (the
  % inputs), also as a multiple of the result's size; checks the result's shape and range.
  rand('state', 3);
  mag = rand(nr, nc) * 2;
  ph = double(rand(nr, nc) > 0.5);
  start = tic();
  [IR, JC] = quorvane_pattern(nr, nc, radius);
  np = nr * nc;
  result = 16 * double(JC(end)) + 8 * (np + 1);   % values, row indices, column starts
  printf('scale: %s\n', which('quorvane'));
  printf('scale: %d x %d pixels, radius %g: %d entries (result %.0f MiB), pattern in %.1f s\n', ...
         nr, nc, radius, double(JC(end)), result / 2^20, toc(start));
  % Memory that the pattern's making freed a moment ago is still backed by a virtual
  % machine's host and costs little to touch again; a user's next command comes later, when
  % it no longer is (free pages go back to the host within seconds). Both entry points are
  % timed from there, whichever pattern function made their pattern.
  pause(getenv_number('QUORVANE_SCALE_PAUSE', 10));
  seconds = zeros(1, repeats);
  extra = zeros(1, repeats);
  for n = 1:repeats
    clear W;
    reset_peak();
    before = status_kib('VmRSS');
    start = tic();
    W = quorvane(mag, ph, IR, JC);
    seconds(n) = toc(start);
    extra(n) = 1024 * (status_kib('VmHWM') - before);
  end
  printf('scale: call times %s s, median %.2f s (%.1f M entries/s)\n', mat2str(seconds, 3), ...
         median(seconds), double(JC(end)) / median(seconds) / 1e6);
  printf('scale: peak beyond the inputs %s MiB: %s x the result\n', ...
         mat2str(round(extra / 2^20)), mat2str(extra / result, 3));
  [i, j, v] = find(W);
  assert(issparse(W) && isequal(size(W), [np np]) && numel(v) == double(JC(end)));
  assert(all(v(i == j) == 1) && all(v >= 0 & v <= 1));
  printf('scale: result %d x %d with %d entries, diagonal 1, weights in [0, 1]\n', np, np, ...
         numel(v));
end

function value = getenv_number(name, default)
  value = str2double(getenv(name));
  if isnan(value)
    value = default;
  end
end

% Sets the process's peak resident size (VmHWM) back to its current size (Linux).
function reset_peak()
  fid = fopen('/proc/self/clear_refs', 'w');
  fprintf(fid, '5');
  fclose(fid);
end

function kib = status_kib(field)
  status = fileread('/proc/self/status');
  kib = str2double(regexp(status, [field ':\s*(\d+)'], 'tokens', 'once'){1});
end
