% octave_loop(workloadDir, name, mode, rounds): times the native function quorvane in the loops
% a user writes, against the floor module quorvane_floor (what any MEX module pays to create
% and fill its output) and the MEX module quorvane_mex, on one workload of bench/run.
%   mode 'interleaved': each round calls quorvane, then the floor, then the MEX module, so
%                       that other work allocates and frees as much between two calls;
%   mode 'back-to-back': the rounds call quorvane alone, then the floor alone;
%   mode 'first': one call of quorvane in this fresh process, after the pattern has waited
%                 10 s (as memory a host has taken back), then one of the MEX module likewise
%                 (printed as the floor's column).
% Prints the wall-clock nanoseconds per entry of each call, their medians and the ratio
% floor / quorvane. All three functions must be on the path.
function octave_loop(workloadDir, name, mode, rounds)
  if nargin < 4
    rounds = 5;
  end
  [magnitude, phase, radius] = read_workload(workloadDir, name);
  [IR, JC] = quorvane_pattern(rows(magnitude), columns(magnitude), radius);
  entries = numel(IR);
  ns = @(seconds) 1e9 * seconds / entries;
  native = zeros(rounds, 1);
  floor_ = zeros(rounds, 1);
  switch mode
    case 'interleaved'
      for r = 1:rounds
        native(r) = ns(timed(@quorvane, magnitude, phase, IR, JC));
        floor_(r) = ns(timed(@quorvane_floor, magnitude, phase, IR, JC));
        timed(@quorvane_mex, magnitude, phase, IR, JC);
      end
    case 'back-to-back'
      for r = 1:rounds
        native(r) = ns(timed(@quorvane, magnitude, phase, IR, JC));
      end
      for r = 1:rounds
        floor_(r) = ns(timed(@quorvane_floor, magnitude, phase, IR, JC));
      end
    case 'first'
      pause(10);
      native = ns(timed(@quorvane, magnitude, phase, IR, JC));
      pause(10);
      floor_ = ns(timed(@quorvane_mex, magnitude, phase, IR, JC));
    otherwise
      error('octave_loop: mode shall be interleaved, back-to-back or first, got %s', mode);
  end
  printf('%s %s, %d entries: quorvane %s ns/entry, floor %s ns/entry\n', name, mode, entries, ...
         sprintf('%.1f ', native), sprintf('%.1f ', floor_));
  printf('medians: quorvane %.1f, floor %.1f ns/entry, floor / quorvane %.2fx\n', ...
         median(native), median(floor_), median(floor_) / median(native));
end

function seconds = timed(call, magnitude, phase, IR, JC)
  start = tic();
  W = call(magnitude, phase, IR, JC);
  seconds = toc(start);
  clear W;
end
