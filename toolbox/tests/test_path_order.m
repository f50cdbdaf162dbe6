function test_path_order(order, sources, compiled_dir, work)
  % quorvane and quorvane_segment with the toolbox folder of SOURCES on the path beside
  % COMPILED_DIR (a folder with the compiled functions), added in ORDER, from the root of
  % SOURCES as the README does:
  %   build_first    addpath('toolbox'), then addpath(COMPILED_DIR): the native functions come
  %                  first, and a call leaves the path as it is;
  %   toolbox_first  addpath(COMPILED_DIR), then addpath('toolbox'): a help file's first call
  %                  moves toolbox behind COMPILED_DIR and runs the native function, with its
  %                  outputs, results and messages;
  %   mex_first      the same with WORK, a folder holding copies of COMPILED_DIR's .mex modules
  %                  alone (as MEX files built elsewhere); in toolbox/ as the current folder
  %                  the help file names the module it hides;
  %   toolbox_alone  addpath('toolbox') only: each call stops with NAME:notBuilt, one line,
  %                  and the help is still the file's.
  % Throws on the first failed check.
  toolbox = fullfile(sources, 'toolbox');
  help_file = fullfile(toolbox, 'quorvane.m');
  native = fullfile(compiled_dir, 'quorvane.oct');
  mag = [0 2 0];
  phase = [0 0 1];
  IR = uint32([0 1 2 0 1 2 0 1 2]);
  JC = uint32([0 3 6 9]);
  e = exp(-4.5);
  h = exp(-0.5);
  % Two flat halves under a little noise, for the segmentation.
  randn('seed', 3);
  picture = [0.2 * ones(12, 10), 0.8 * ones(12, 10)] + 0.02 * randn(12, 20);
  truth = [ones(12, 10), 2 * ones(12, 10)];
  back = pwd();
  restore = onCleanup(@() cd(back));
  cd(sources);

  switch order
    case 'build_first'
      addpath('toolbox');
      addpath(compiled_dir);
      before = path();
      check(resolves('quorvane', native), 'quorvane');
      W = quorvane(mag, phase, IR, JC);
      check(isequal(full(W), [1 1 e; 1 1 e; e e 1]), 'W differs');
      check(resolves('quorvane_segment', fullfile(compiled_dir, 'quorvane_segment.oct')), ...
            'quorvane_segment');
      check(isequal(quorvane_segment(picture), truth), 'the labels differ');
      check(strcmp(path(), before), 'the calls changed the path');
      check_help_and_tests('native', 'quorvane', 'quorvane_pattern', 'quorvane_segment');

    case 'toolbox_first'
      addpath(compiled_dir);
      addpath('toolbox');
      check(resolves('quorvane', help_file), 'quorvane');
      check(resolves('quorvane_pattern', fullfile(toolbox, 'quorvane_pattern.m')), 'pattern');
      [pIR, pJC] = quorvane_pattern(1, 3, Inf);
      check(isequal(pIR', IR) && isequal(pJC', JC), 'quorvane_pattern.m differs');
      others = without(path(), toolbox);
      % The first call asks for two outputs: the native function's own message.
      check(strcmp(message_of(@() two_outputs(mag, phase, IR, JC)), ...
                   'quorvane: Too many output arguments'), 'the outputs did not pass through');
      check(resolves('quorvane', native), 'after the first call, quorvane');
      check(resolves('quorvane_pattern', fullfile(compiled_dir, 'quorvane_pattern.oct')), ...
            'after the first call, quorvane_pattern');
      check(isequal(without(path(), toolbox), others), 'the other folders moved');
      check(position(toolbox) > position(compiled_dir), 'toolbox is not behind the build');
      % Again from the front: no output asked for gives ans; inputs and messages pass through.
      addpath('toolbox');
      check(resolves('quorvane', help_file), 'toolbox in front again: quorvane');
      quorvane(mag, phase, IR, JC, 1);
      check(isequal(full(ans), [1 1 h; 1 1 h; h h 1]), 'ans differs');
      addpath('toolbox');
      check(strcmp(message_of(@() quorvane(mag, phase, IR)), ...
                   'quorvane: Four input arguments required'), 'the inputs did not pass through');
      addpath('toolbox');
      W = quorvane(mag, phase, IR, JC);
      check(issparse(W) && isequal(full(W), [1 1 e; 1 1 e; e e 1]), 'W differs');
      % The segmentation's help file does the same, with both outputs.
      addpath('toolbox');
      segment_help = fullfile(toolbox, 'quorvane_segment.m');
      check(resolves('quorvane_segment', segment_help), 'toolbox in front: quorvane_segment');
      [labels, count] = quorvane_segment(picture);
      check(isequal(labels, truth) && count == 2, 'the labels differ');
      check(resolves('quorvane_segment', fullfile(compiled_dir, 'quorvane_segment.oct')), ...
            'after its first call, quorvane_segment');
      check_help_and_tests('native', 'quorvane', 'quorvane_pattern', 'quorvane_segment');

    case 'mex_first'
      if exist(work, 'dir')
        confirm_recursive_rmdir(false, 'local');
        rmdir(work, 's');
      end
      mkdir(work);
      module = fullfile(work, 'quorvane.mex');
      copyfile(fullfile(compiled_dir, 'quorvane.mex'), module);
      copyfile(fullfile(compiled_dir, 'quorvane_segment.mex'), work);
      addpath(work);
      addpath('toolbox');
      check(resolves('quorvane', help_file), 'quorvane');
      W = quorvane(mag, phase, IR, JC);
      check(isequal(full(W), [1 1 e; 1 1 e; e e 1]), 'W differs');
      check(resolves('quorvane', module), 'after the first call, quorvane');
      addpath('toolbox');
      check(isequal(quorvane_segment(picture), truth), 'the labels differ');
      check(resolves('quorvane_segment', fullfile(work, 'quorvane_segment.mex')), ...
            'after its first call, quorvane_segment');
      before = path();
      cd(toolbox);
      rehash();   % what the prompt does before each command; --eval has none
      [text, identifier] = message_of(@() quorvane(mag, phase, IR, JC));
      check(strcmp(identifier, 'quorvane:shadowed') && !isempty(strfind(text, module)) && ...
            !isempty(strfind(text, 'current folder')), ['in toolbox/: ' text]);
      check(strcmp(path(), before), 'the refusal changed the path');

    case 'toolbox_alone'
      addpath('toolbox');
      before = path();
      check(resolves('quorvane', help_file), 'quorvane');
      [text, identifier] = message_of(@() quorvane(mag, phase, IR, JC));
      wanted = ['quorvane: quorvane.oct or quorvane.mex is not on the path, only its help text ' ...
                help_file '; run make in the sources and addpath their build folder'];
      check(strcmp(identifier, 'quorvane:notBuilt') && strcmp(text, wanted), text);
      [text, identifier] = message_of(@() quorvane_segment(picture));
      wanted = ['quorvane_segment: quorvane_segment.oct or quorvane_segment.mex is not on the ' ...
                'path, only its help text ' fullfile(toolbox, 'quorvane_segment.m') ...
                '; run make in the sources and addpath their build folder'];
      check(strcmp(identifier, 'quorvane_segment:notBuilt') && strcmp(text, wanted), text);
      check(strcmp(path(), before), 'the refusal changed the path');
      help_text = get_help_text('quorvane');
      check(strncmp(help_text, 'QUORVANE  Sparse pixel-affinity weights', 39) && ...
            strcmp(help_text, get_help_text_from_file(help_file)), 'help quorvane differs');
      [pIR, pJC] = quorvane_pattern(1, 3, Inf);
      check(isequal(pIR', IR) && isequal(pJC', JC), 'quorvane_pattern.m differs');

    otherwise
      error('test_path_order: unknown order %s', order);
  end
  printf('test_path_order %s: passed\n', order);
end

function check(ok, what)
  if !ok
    error('test_path_order: %s', what);
  end
end

function ok = resolves(name, file)
  found = which(name);
  ok = strcmp(canonicalize_file_name(found), canonicalize_file_name(file));
  if !ok
    printf('%s resolves to %s, not %s\n', name, found, file);
  end
end

function entries = without(p, folder)
  % The path's folders but FOLDER, in their order.
  entries = strsplit(p, pathsep());
  entries = entries(!strcmp(cellfun(@canonicalize_file_name, entries, 'UniformOutput', false), ...
                            canonicalize_file_name(folder)));
end

function k = position(folder)
  entries = cellfun(@canonicalize_file_name, strsplit(path(), pathsep()), 'UniformOutput', false);
  k = find(strcmp(entries, canonicalize_file_name(folder)));
  check(numel(k) == 1, [folder ' is not on the path once']);
end

function two_outputs(varargin)
  [a, b] = quorvane(varargin{:});
end

function [text, identifier] = message_of(call)
  text = '';
  identifier = '';
  try
    call();
  catch err
    text = err.message;
    identifier = err.identifier;
  end
  check(!isempty(text), 'the call did not fail');
end
