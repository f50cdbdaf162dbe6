function time_pattern(limit)
  % Builds the 500 x 500 pattern at radius 10 five times; prints the times and fails when
  % their median exceeds LIMIT seconds. An interpreted loop over pixels takes minutes.
  times = zeros(1, 5);
  for k = 1:numel(times)
    start = tic();
    [IR, JC] = quorvane_pattern(500, 500, 10);
    times(k) = toc(start);
    pairs = double(JC(end));
    clear IR JC;
  end
  printf('quorvane_pattern(500, 500, 10): %d pairs, times %s s, median %.3f s\n', ...
         pairs, sprintf('%.3f ', times), median(times));
  if median(times) > limit
    error('time_pattern: median %.3f s exceeds %.1f s', median(times), limit);
  end
end
