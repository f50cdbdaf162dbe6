# The hosts the build serves besides the core, the MEX gateway over the stand-in host and their
# C++ tests, which need none. QUORVANE_OCTAVE and QUORVANE_PYTHON are each ON (the host is
# required), OFF (it is not even looked for) or AUTO, the default: ON where the host is found,
# OFF with a one-line message where it is not (and in cross builds, whose target is not the
# machine the host would be found on). The outcome is QUORVANE_WITH_OCTAVE and
# QUORVANE_WITH_PYTHON (TRUE or FALSE); AUTO looks again at every configure.
foreach(host OCTAVE PYTHON)
  set(QUORVANE_${host} AUTO CACHE STRING "Build for this host: ON, OFF or AUTO (ON where found)")
  set_property(CACHE QUORVANE_${host} PROPERTY STRINGS ON OFF AUTO)
  string(TOUPPER "${QUORVANE_${host}}" choice)
  if(choice STREQUAL "AUTO")
    set(quorvane_${host}_choice AUTO)
  elseif(QUORVANE_${host})
    set(quorvane_${host}_choice ON)
  else()
    set(quorvane_${host}_choice OFF)
  endif()
endforeach()

# Octave: mkoctfile (package octave-dev, with Octave's headers) and octave-cli, which runs the
# Octave suites.
set(QUORVANE_WITH_OCTAVE FALSE)
if(quorvane_OCTAVE_choice STREQUAL "ON")
  find_program(MKOCTFILE mkoctfile REQUIRED)
  find_program(OCTAVE_CLI octave-cli REQUIRED)
  set(QUORVANE_WITH_OCTAVE TRUE)
elseif(quorvane_OCTAVE_choice STREQUAL "AUTO")
  if(CMAKE_CROSSCOMPILING)
    message(STATUS "Cross build: without Octave (QUORVANE_OCTAVE=OFF)")
  else()
    find_program(MKOCTFILE mkoctfile)
    find_program(OCTAVE_CLI octave-cli)
    if(MKOCTFILE AND OCTAVE_CLI)
      set(QUORVANE_WITH_OCTAVE TRUE)
    else()
      message(STATUS "Octave not found (mkoctfile, octave-cli): building without the Octave "
                     "modules and suites (QUORVANE_OCTAVE=OFF)")
    endif()
  endif()
endif()

# Python: Debian's interpreter is the one with numpy, scipy and pytest; another python3 may
# come first on PATH, so it is named here. The extension needs its headers and pybind11.
set(QUORVANE_WITH_PYTHON FALSE)
if(NOT quorvane_PYTHON_choice STREQUAL "OFF")
  set(QUORVANE_PYTHON_EXECUTABLE /usr/bin/python3 CACHE FILEPATH
      "Python interpreter for the quorvane package")
  set(Python_EXECUTABLE ${QUORVANE_PYTHON_EXECUTABLE})
  set(PYBIND11_FINDPYTHON ON)
endif()
if(quorvane_PYTHON_choice STREQUAL "ON")
  find_package(Python 3.6 REQUIRED COMPONENTS Interpreter Development)
  find_package(pybind11 CONFIG REQUIRED)
  set(QUORVANE_WITH_PYTHON TRUE)
elseif(quorvane_PYTHON_choice STREQUAL "AUTO")
  if(CMAKE_CROSSCOMPILING)
    message(STATUS "Cross build: without Python (QUORVANE_PYTHON=OFF)")
  else()
    find_package(Python 3.6 QUIET COMPONENTS Interpreter Development)
    if(Python_FOUND)
      find_package(pybind11 CONFIG QUIET)
    endif()
    if(Python_FOUND AND pybind11_FOUND)
      set(QUORVANE_WITH_PYTHON TRUE)
    else()
      message(STATUS "Python 3 headers or pybind11 not found: building without the Python "
                     "package (QUORVANE_PYTHON=OFF)")
    endif()
  endif()
endif()
