function [values, rows, starts] = reference_weights(magnitude, phase, IR, JC, sigma)
  % Plain Octave transcription of the weight rule, for comparison with the module:
  % stored values, zero-based rows and column starts of the result, entry by entry.
  [nr, nc] = size(magnitude);
  np = nr * nc;
  if nargin < 5 || isempty(sigma)
    largest = 0;
    for p = 1:np
      if !(largest >= magnitude(p))
        largest = magnitude(p);
      end
    end
    sigma = largest / 6;
  end
  factor = 0.5 / (sigma * sigma);
  IR = double(IR);
  JC = double(JC);
  count = JC(np + 1) - JC(1);
  values = zeros(count, 1);
  rows = zeros(count, 1);
  starts = zeros(np + 1, 1);
  n = 0;
  for j = 0:np-1
    starts(j + 1) = n;
    for k = JC(j + 1):JC(j + 2) - 1
      i = IR(k + 1);
      w = 1;
      if i != j
        g = 0.5 * strength(nr, magnitude, phase, j, i);
        w = exp(((-g) * g) * factor);
      end
      n += 1;
      values(n) = w;
      rows(n) = i;
    end
  end
  starts(np + 1) = n;
end

function m = strength(nr, magnitude, phase, j, i)
  r0 = mod(j, nr); c0 = fix(j / nr);
  r1 = mod(i, nr); c1 = fix(i / nr);
  if abs(r1 - r0) >= abs(c1 - c0)
    path = walk(r0, c0, r1, c1);              % rows major: [row, col]
  else
    path = fliplr(walk(c0, r0, c1, r1));      % columns major, walked as rows
  end
  pixels = path(:, 1) + path(:, 2) * nr + 1;
  m = 0;
  for s = 2:numel(pixels)
    a = pixels(s - 1); b = pixels(s);
    if phase(b) != phase(a)
      sum = magnitude(a) + magnitude(b);
      if !(m >= sum)
        m = sum;
      end
    end
  end
end

function path = walk(major0, minor0, major1, minor1)
  slope = (minor1 - minor0) / (major1 - major0);
  if major1 >= major0
    step = 1;
  else
    step = -1;
  end
  majors = (major0:step:major1)';
  path = [majors, fix((slope * (majors - major0) + 0.5) + minor0)];
  path(1, 2) = minor0;
end
