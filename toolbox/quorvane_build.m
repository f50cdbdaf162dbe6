function target = quorvane_build(outdir)
%QUORVANE_BUILD  Compile the QUORVANE MEX module with MEX, in MATLAB or Octave.
%   QUORVANE_BUILD compiles the module from the sources this file belongs to
%   (gateway/mex_function.cpp and the core, core/ and core/engine/) into quorvane.<mexext> in the
%   directory of this file, next to the help text quorvane.m and QUORVANE_PATTERN, so
%   that adding that one directory to the path gives the module, its help and its
%   helper:
%
%     run('toolbox/quorvane_build.m')      % or: addpath toolbox; quorvane_build
%     addpath toolbox
%     help quorvane
%
%   QUORVANE_BUILD(OUTDIR) writes the module into OUTDIR instead (created when
%   missing) and copies quorvane.m and quorvane_pattern.m there as well.
%
%   TARGET = QUORVANE_BUILD(...) returns the path of the compiled module.
%
%   The module is C++17 and must be compiled without floating-point contraction
%   (fused multiply-add) so that its results are the same bits everywhere; the
%   flags below say so for GCC and Clang (and MSVC on Windows).
%
%   See also QUORVANE, MEX.

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  source = fullfile(root, 'gateway', 'mex_function.cpp');
  core = fullfile(root, 'core');
  if ~exist(source, 'file') || ~exist(fullfile(core, 'build_weight_matrix.h'), 'file')
    error('quorvane_build:sources', ...
          'quorvane_build: the sources are not where expected (%s, %s)', source, core);
  end
  listing = [dir(fullfile(core, '*.cpp')); dir(fullfile(core, 'engine', '*.cpp'))];
  sources = [{source}, cellfun(@(folder, name) fullfile(folder, name), {listing.folder}, ...
                               {listing.name}, 'UniformOutput', false)];
  if nargin < 1 || isempty(outdir)
    outdir = here;
  end
  if ~exist(outdir, 'dir')
    [ok, message] = mkdir(outdir);
    if ~ok
      error('quorvane_build:outdir', 'quorvane_build: cannot create %s: %s', outdir, message);
    end
  end
  target = fullfile(outdir, ['quorvane.' mexext()]);
  clear('quorvane');   % a loaded module cannot always be replaced

  % GCC and Clang: C++17, and no fused multiply-add (the results' exactness depends on it;
  % make test checks that every build path says so).
  gnu = '-std=c++17 -ffp-contract=off';
  if exist('OCTAVE_VERSION', 'builtin')
    % Octave's mex is mkoctfile --mex, which takes the compiler flags from CXXFLAGS.
    previous = getenv('CXXFLAGS');
    restore = onCleanup(@() setenv('CXXFLAGS', previous));
    flags = strtrim(mkoctfile('-p', 'CXXFLAGS'));
    setenv('CXXFLAGS', [flags ' ' gnu]);
    mex(['-I' core], sources{:}, '-o', target);
    clear restore;
  else
    % MATLAB: GCC or Clang take the flags in CXXFLAGS, Microsoft's compiler in COMPFLAGS.
    flags = ['CXXFLAGS=$CXXFLAGS ' gnu];
    if ispc()
      selected = mex.getCompilerConfigurations('C++', 'Selected');
      if ~isempty(selected) && ~isempty(strfind(lower(selected(1).ShortName), 'msvc'))
        flags = 'COMPFLAGS=$COMPFLAGS /std:c++17 /fp:precise';
      end
    end
    mex('-largeArrayDims', ['-I' core], flags, '-outdir', outdir, '-output', 'quorvane', ...
        sources{:});
  end

  % Help text and helper beside the module: help reads the .m next to a MEX file.
  if ~strcmp(canonical(outdir), canonical(here))
    copyfile(fullfile(here, 'quorvane.m'), outdir);
    copyfile(fullfile(here, 'quorvane_pattern.m'), outdir);
  end
  rehash();            % let the path see the new module now, not at the next prompt
  fprintf('quorvane_build: wrote %s\n', target);
end

function path = canonical(path)
  % Absolute form of a directory, to compare two spellings of it.
  listing = what(path);
  path = listing(1).path;
end
