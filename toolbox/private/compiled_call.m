function varargout = compiled_call(name, self, outputs, varargin)
  % The call of a help text's function (name, its file self) that reached the text because
  % its folder comes before the compiled function's on the path (in a folder that holds both,
  % the compiled one comes first). It moves the folder behind the first other one that holds
  % the compiled function, so that later calls go straight to that, and calls it with
  % `outputs` outputs; with none on the path it says how to build one.
  if exist('OCTAVE_VERSION', 'builtin')
    names = {[name '.oct'], [name '.mex']};   % what Octave loads, in its order
  else
    names = {[name '.' mexext()]};
  end
  here = canonical(fileparts(self));
  entries = regexp(path(), pathsep(), 'split');
  mine = {};
  compiled = '';
  for k = 1:numel(entries)
    folder = canonical(entries{k});
    if strcmp(folder, here)
      mine{end + 1} = entries{k};   %#ok<AGROW> the spellings of this folder on the path
    elseif isempty(compiled)
      for n = 1:numel(names)
        if any(exist(fullfile(folder, names{n}), 'file') == [2 3])   % 3: MATLAB's MEX files
          compiled = fullfile(folder, names{n});
          break;
        end
      end
    end
  end
  if isempty(compiled)
    if exist('OCTAVE_VERSION', 'builtin')
      how = 'run make in the sources and addpath their build folder';
    else
      how = sprintf('run quorvane_build, which writes %s beside the toolbox''s files', names{1});
    end
    error([name ':notBuilt'], '%s: %s is not on the path, only its help text %s; %s', ...
          name, strjoin(names, ' or '), self, how);
  end
  % The current folder comes before every folder of the path: no move helps there.
  if strcmp(canonical(pwd()), here)
    error([name ':shadowed'], ...
          '%s: its help text %s, in the current folder, hides %s; change folder', ...
          name, self, compiled);
  end

  for k = 1:numel(mine)
    if ~strcmp(mine{k}, '.')
      rmpath(mine{k});
    end
  end
  addpath(here, '-end');
  % The name as the command line resolves it (inside this file it might be this file itself):
  % a call only if that is the compiled file now, and never from within such a call.
  resolved = canonical(evalin('base', ['which(''' name ''')']));
  stack = dbstack();
  if ~strcmp(resolved, canonical(compiled)) || sum(strcmp({stack.name}, name)) > 1
    error([name ':shadowed'], '%s: its help text %s still hides %s', name, self, compiled);
  end
  compiledFunction = evalin('base', ['@' name]);
  varargout = cell(1, max(outputs, 1));
  [varargout{:}] = compiledFunction(varargin{:});
end

function folder = canonical(folder)
  % One spelling of a file or folder, to compare it with another: Octave's path may hold
  % relative ones (MATLAB's holds full ones).
  if exist('OCTAVE_VERSION', 'builtin')
    [full, status] = canonicalize_file_name(folder);
    if status == 0
      folder = full;
    end
  end
end
