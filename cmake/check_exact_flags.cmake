# Fails unless every build path besides CMake compiles the library with FLAGS (the flags the
# results' exactness depends on) and none of them relaxes floating-point arithmetic. setup.py
# builds through CMake and so gets FLAGS from it: it must neither relax them nor pass flags of
# its own.
# Run as: cmake -DSOURCE_DIR=... "-DFLAGS=..." -P check_exact_flags.cmake
set(paths toolbox/package/Makefile toolbox/quorvane_build.m)
set(through_cmake setup.py)
set(relaxing -ffast-math -Ofast -ffp-contract=fast -funsafe-math-optimizations -mfma /fp:fast)
set(drift "")
# Adds to drift each of the words (a list's name) that is missing from path (wanted TRUE) or
# that stands in it (wanted FALSE).
function(check_words path words wanted)
  file(READ ${SOURCE_DIR}/${path} text)
  foreach(word IN LISTS ${words})
    string(FIND "${text}" "${word}" at)
    if(wanted AND at EQUAL -1)
      list(APPEND drift "${path} lacks ${word}")
    elseif(NOT wanted AND NOT at EQUAL -1)
      list(APPEND drift "${path} has ${word}")
    endif()
  endforeach()
  set(drift ${drift} PARENT_SCOPE)
endfunction()
set(own_flags CMAKE_CXX_FLAGS extra_compile_args ${relaxing})
foreach(path IN LISTS paths)
  check_words(${path} FLAGS TRUE)
  check_words(${path} relaxing FALSE)
endforeach()
foreach(path IN LISTS through_cmake)
  check_words(${path} own_flags FALSE)
endforeach()
if(drift)
  list(JOIN drift "; " drift)
  message(FATAL_ERROR "exactness flags drifted: ${drift}")
endif()
message(STATUS "exactness flags ${FLAGS} in ${paths}, none of its own in ${through_cmake}")
