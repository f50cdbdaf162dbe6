function target = quorvane_build(outdir)
%QUORVANE_BUILD  Compile the QUORVANE and QUORVANE_SEGMENT MEX modules, in MATLAB or Octave.
%   QUORVANE_BUILD compiles the modules from the sources this file belongs to
%   (gateway/mex_function.cpp, gateway/segment_mex_function.cpp and the core, core/,
%   core/engine/ and core/segment/) into quorvane.<mexext> and quorvane_segment.<mexext>
%   in the directory of this file, next to the help texts quorvane.m and
%   quorvane_segment.m and QUORVANE_PATTERN, so that adding that one directory to the
%   path gives the modules, their help and the helper:
%
%     run('toolbox/quorvane_build.m')      % or: addpath toolbox; quorvane_build
%     addpath toolbox
%     help quorvane
%
%   QUORVANE_BUILD(OUTDIR) writes the modules into OUTDIR instead (created when
%   missing) and copies quorvane.m, quorvane_segment.m and quorvane_pattern.m there as
%   well.
%
%   TARGET = QUORVANE_BUILD(...) returns the path of the compiled QUORVANE module.
%
%   The modules are C++17 and must be compiled without floating-point contraction
%   (fused multiply-add) so that their results are the same bits everywhere; the
%   flags below say so for GCC and Clang (and MSVC on Windows).
%
%   See also QUORVANE, QUORVANE_SEGMENT, MEX.

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  source = fullfile(root, 'gateway', 'mex_function.cpp');
  core = fullfile(root, 'core');
  if ~exist(source, 'file') || ~exist(fullfile(core, 'build_weight_matrix.h'), 'file')
    error('quorvane_build:sources', ...
          'quorvane_build: the sources are not where expected (%s, %s)', source, core);
  end
  listing = [dir(fullfile(core, '*.cpp')); dir(fullfile(core, 'engine', '*.cpp'))];
  sources = [{source}, files(listing)];
  % The segmentation's module takes the segmentation's steps beside the weights' engine.
  segmentSources = [{fullfile(root, 'gateway', 'segment_mex_function.cpp')}, files(listing), ...
                    files(dir(fullfile(core, 'segment', '*.cpp')))];
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
  segmentTarget = fullfile(outdir, ['quorvane_segment.' mexext()]);
  clear('quorvane', 'quorvane_segment');   % a loaded module cannot always be replaced

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
    mex(['-I' core], segmentSources{:}, '-o', segmentTarget);
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
    mex('-largeArrayDims', ['-I' core], flags, '-outdir', outdir, '-output', ...
        'quorvane_segment', segmentSources{:});
  end

  % Help texts and helper beside the modules: help reads the .m next to a MEX file.
  if ~strcmp(canonical(outdir), canonical(here))
    copyfile(fullfile(here, 'quorvane.m'), outdir);
    copyfile(fullfile(here, 'quorvane_segment.m'), outdir);
    copyfile(fullfile(here, 'quorvane_pattern.m'), outdir);
  end
  rehash();            % let the path see the new module now, not at the next prompt
  fprintf('quorvane_build: wrote %s and %s\n', target, segmentTarget);
end

function paths = files(listing)
  % The full names of a dir() listing's files.
  paths = cellfun(@(folder, name) fullfile(folder, name), {listing.folder}, {listing.name}, ...
                  'UniformOutput', false);
end

function path = canonical(path)
  % Absolute form of a directory, to compare two spellings of it.
  listing = what(path);
  path = listing(1).path;
end
