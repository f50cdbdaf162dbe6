function compare_patterns(native_dir, m_dir)
  % quorvane_pattern from NATIVE_DIR (the compiled function) and from M_DIR (the .m file)
  % give the same IR and JC, class and shape included, on images narrower, wider and larger
  % than the disc and radii at and beside distances of the grid; and refuse each faulty
  % call with the same message and identifier. Throws on a difference.
  cases = {};
  for sz = [1 1; 1 9; 9 1; 4 6; 17 13; 40 3; 64 80]'
    for radius = [0 0.99 1 sqrt(2) 2.5 sqrt(13) 5 sqrt(50) 12 Inf]
      cases{end + 1} = {sz(1), sz(2), radius};
    end
  end
  cases{end + 1} = {303, 384, 5};
  cases{end + 1} = {uint16(30), int8(20), single(3.5)};
  native = patterns(native_dir, '.oct', cases);
  from_m = patterns(m_dir, '.m', cases);
  for k = 1:numel(cases)
    if !isequal(native{k}, from_m{k}) || !strcmp(class(native{k}{1}), 'uint32') || ...
       !isequal(size(native{k}{2}), [prod(double([cases{k}{1:2}])) + 1, 1])
      error('compare_patterns: quorvane_pattern(%d, %d, %g) differs', cases{k}{:});
    end
  end
  printf('compare_patterns: %d patterns, the same from both\n', numel(cases));

  faults = faulty_calls();
  native = refusals(native_dir, '.oct', faults);
  from_m = refusals(m_dir, '.m', faults);
  differences = {};
  for k = 1:numel(faults)
    if !isequal(native{k}, from_m{k})
      differences{end + 1} = sprintf(['%s: refused by the native function as "%s" (%s), ' ...
                                      'by the .m file as "%s" (%s)'], faults{k}{1}, ...
                                     native{k}{:}, from_m{k}{:});
    elseif isempty(regexp(native{k}{1}, faults{k}{3}, 'once'))
      differences{end + 1} = sprintf('%s: refused as "%s", not /%s/', faults{k}{1}, ...
                                     native{k}{1}, faults{k}{3});
    end
  end
  if !isempty(differences)
    error('compare_patterns: %d faulty calls differ:\n%s', numel(differences), ...
          strjoin(differences, "\n"));
  end
  printf('compare_patterns: %d faulty calls, the same message and identifier from both\n', ...
         numel(faults));
end

% Calls that each fail one check, in the checking order (a call that fails two shows which
% comes first): {what, the call, the message expected}.
function faults = faulty_calls()
  pattern = @(varargin) quorvane_pattern(varargin{:});
  three_outputs = @(varargin) nthargout(1:3, pattern, varargin{:});
  huge = 'the image shall have fewer than 2\^31 pixels \(NR\*NC is ';
  count = 'more pairs than the uint32 range of JC holds \(4294967295\); use a smaller RADIUS';
  faults = {
    {'four inputs', @() pattern(3, 3, 1, 1), 'called with too many inputs'}
    {'four inputs and three outputs', @() three_outputs(3, 3, 1, 1), 'called with too many inputs'}
    {'three outputs', @() three_outputs(3, 3, 1), 'called with too many outputs'}
    {'three outputs of two inputs', @() three_outputs(3, 3), 'called with too many outputs'}
    {'no input', @() pattern(), 'three inputs required \(NR, NC, RADIUS\)'}
    {'two inputs', @() pattern(3, 3), 'three inputs required'}
  };
  for bad = {0, 2.5, -1, NaN, Inf, -Inf, [2 3], [], 'a', 2i, complex(2, 0), true, {2}, ...
             struct('n', 2), int8(-1), single(0.5)}
    faults{end + 1} = {sprintf('NR %s', disp_text(bad{1})), @() pattern(bad{1}, 3, 1), ...
                       '^quorvane_pattern: NR shall be a positive integer$'};
    faults{end + 1} = {sprintf('NC %s', disp_text(bad{1})), @() pattern(3, bad{1}, 1), ...
                       '^quorvane_pattern: NC shall be a positive integer$'};
  end
  for bad = {-1, -Inf, NaN, [1 2], [], 1 + 1i, complex(1, 0), true, 'a', {1}, int8(-2), single(-0.5)}
    faults{end + 1} = {sprintf('RADIUS %s', disp_text(bad{1})), @() pattern(3, 3, bad{1}), ...
                       '^quorvane_pattern: RADIUS shall be a real number of at least 0$'};
  end
  faults = [faults; {
    {'NR before NC', @() pattern(0, 0, 1), 'NR shall be'}
    {'NC before RADIUS', @() pattern(3, 0, -1), 'NC shall be'}
    {'RADIUS before the pixel count', @() pattern(65536, 32768, -1), 'RADIUS shall be'}
    {'2^31 pixels', @() pattern(65536, 32768, 0), [huge '2147483648\)$']}
    {'2^31 pixels of integer sizes', @() pattern(uint16(65535), int32(32769), 0), [huge '2147516415\)$']}
    {'2^80 pixels', @() pattern(2^40, 2^40, 0), [huge '1208925819614629174706176\)$']}
    {'an infinite pixel count', @() pattern(1e200, 1e200, 1), [huge 'Inf\)$']}
    {'a pixel count beyond 2^63', @() pattern(1e10, 1e10, 1), [huge '100000000000000000000\)$']}
    {'the pixel count before the pair count', @() pattern(65536, 32768, Inf), huge}
    {'2^32 pairs at radius 1', @() pattern(65536, 32767, 1), count}
    {'2^32 pairs at radius Inf', @() pattern(100000, 100, Inf), count}
  }];
end

function text = disp_text(value)
  text = strtrim(disp(value));
  if !ischar(value) && !isnumeric(value) && !islogical(value)
    text = class(value);
  end
  text = [class(value) ' ' strrep(text, "\n", ' ')];
end

function results = patterns(folder, suffix, cases)
  use(folder, suffix);
  results = cell(size(cases));
  for k = 1:numel(cases)
    [IR, JC] = quorvane_pattern(cases{k}{:});
    results{k} = {IR, JC};
  end
  rmpath(folder);
end

% {message, identifier} of each faulty call.
function results = refusals(folder, suffix, faults)
  use(folder, suffix);
  results = cell(size(faults));
  for k = 1:numel(faults)
    try
      faults{k}{2}();
      results{k} = {'(no error)', ''};
    catch err
      results{k} = {err.message, err.identifier};
    end
  end
  rmpath(folder);
end

function use(folder, suffix)
  addpath(folder);
  clear quorvane_pattern;
  [~, ~, found] = fileparts(which('quorvane_pattern'));
  if !strcmp(found, suffix)
    error('compare_patterns: quorvane_pattern is %s, not a %s file', which('quorvane_pattern'), suffix);
  end
end
