# Octave's headers as mkoctfile compiles with them, for the modules that Octave loads: the
# MEX module, the native functions and the benchmark's floor module. Included when
# QUORVANE_OCTAVE is on (cmake/hosts.cmake found mkoctfile and octave-cli).
execute_process(COMMAND ${MKOCTFILE} -p INCFLAGS OUTPUT_VARIABLE octave_incflags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(octave_incflags UNIX_COMMAND "${octave_incflags}")
list(TRANSFORM octave_incflags REPLACE "^-I" "")
add_library(octave_headers INTERFACE)
target_include_directories(octave_headers SYSTEM INTERFACE ${octave_incflags})

# add_octave_module(TARGET SUFFIX OUTPUT_NAME DIRECTORY SOURCES...): a shared object that
# Octave loads (.mex or .oct), its symbols resolved in the Octave process as mkoctfile links.
function(add_octave_module target suffix output_name directory)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE octave_headers)
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name} PREFIX ""
                        SUFFIX ${suffix} LIBRARY_OUTPUT_DIRECTORY ${directory})
endfunction()

# How the tests and tools run Octave: no window, no user settings and no history file
# (Octave 7 ends every run it cannot write a history for with a bogus "error:" line), and
# no workspace file when a run crashes or is killed (Octave would save its variables to
# octave-workspace in the working directory, for most tests a folder of the sources).
# Octave joins repeated --eval codes with a space: OCTAVE_NO_CORE runs before each test's own
# (its statements end in commas, as a semicolon would split a CMake list).
set(OCTAVE_NO_CORE "crash_dumps_octave_core(false), sighup_dumps_octave_core(false), sigquit_dumps_octave_core(false), sigterm_dumps_octave_core(false),")
set(OCTAVE_COMMAND ${OCTAVE_CLI} --no-gui --norc --quiet --no-history --eval "${OCTAVE_NO_CORE}")

# The Octave suites run twice: against build/, where the native functions come first, and
# against a folder that holds the MEX module alone with the .m files beside it, as a MATLAB
# user has it (made by tests/CMakeLists.txt).
set(QUORVANE_MEX_ONLY_DIR ${PROJECT_BINARY_DIR}/tests/mex-only)
# The folder each entry point's suites put on Octave's path: foreach(entry ${QUORVANE_ENTRY_POINTS})
# ... addpath('${QUORVANE_FOLDER_${entry}}').
set(QUORVANE_ENTRY_POINTS native mex)
set(QUORVANE_FOLDER_native ${PROJECT_BINARY_DIR})
set(QUORVANE_FOLDER_mex ${QUORVANE_MEX_ONLY_DIR})
