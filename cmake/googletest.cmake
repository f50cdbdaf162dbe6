# GoogleTest for the C++ tests: the installed one (package libgtest-dev) in native builds; in
# cross builds, or whenever QUORVANE_GTEST_SOURCE names a source tree, compiled for the target
# with the project from Debian's sources (package googletest). Either way the tests link
# GTest::gtest_main.
set(QUORVANE_GTEST_SOURCE "" CACHE PATH
    "GoogleTest sources to compile with the project (cross builds: /usr/src/googletest)")
set(gtest_source ${QUORVANE_GTEST_SOURCE})
if(NOT gtest_source AND CMAKE_CROSSCOMPILING)
  set(gtest_source /usr/src/googletest)
endif()
if(gtest_source)
  if(NOT EXISTS ${gtest_source}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${gtest_source} (install googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${gtest_source} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# quorvane_discover_tests(TARGET): the GoogleTest cases of TARGET as CTest tests, listed by
# running it after the build. Under an emulator that first run may take a while (Wine makes
# its prefix then), hence the longer wait.
function(quorvane_discover_tests target)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 300)
  else()
    gtest_discover_tests(${target})
  endif()
endfunction()
