# Writes the Octave package OUTPUT (quorvane-VERSION.tar.gz) from the sources in SOURCE_DIR,
# staging it under WORK_DIR. Run as: cmake -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=...
# -DWORK_DIR=... -P make_package.cmake
foreach(var SOURCE_DIR VERSION OUTPUT WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_package.cmake: ${var} is not set")
  endif()
endforeach()

set(here ${CMAKE_CURRENT_LIST_DIR})
set(name quorvane-${VERSION})
set(stage ${WORK_DIR}/${name})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${stage}/inst ${stage}/src/core ${stage}/src/octave ${stage}/src/help)

# DESCRIPTION with the version of the build; the date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP DATE "%Y-%m-%d" UTC)
configure_file(${here}/DESCRIPTION.in ${stage}/DESCRIPTION @ONLY)
file(COPY ${here}/INDEX DESTINATION ${stage})
if(EXISTS ${SOURCE_DIR}/LICENSE)
  configure_file(${SOURCE_DIR}/LICENSE ${stage}/COPYING COPYONLY)
elseif(EXISTS ${SOURCE_DIR}/COPYING)
  configure_file(${SOURCE_DIR}/COPYING ${stage}/COPYING COPYONLY)
else()
  file(COPY ${here}/COPYING DESTINATION ${stage})
endif()

# inst/: what pkg puts on the path as it is; src/: what it compiles with src/Makefile.
file(COPY ${SOURCE_DIR}/toolbox/quorvane.m ${SOURCE_DIR}/toolbox/quorvane_pattern.m
     ${SOURCE_DIR}/toolbox/quorvane_segment.m DESTINATION ${stage}/inst)
file(COPY ${here}/Makefile DESTINATION ${stage}/src)
file(GLOB native_files ${SOURCE_DIR}/octave/*.cpp ${SOURCE_DIR}/octave/*.h)
file(COPY ${native_files} DESTINATION ${stage}/src/octave)
file(GLOB core_files ${SOURCE_DIR}/core/*.h ${SOURCE_DIR}/core/*.cpp)
file(COPY ${core_files} DESTINATION ${stage}/src/core)
file(GLOB engine_files ${SOURCE_DIR}/core/engine/*.h ${SOURCE_DIR}/core/engine/*.cpp)
file(COPY ${engine_files} DESTINATION ${stage}/src/core/engine)
file(GLOB segment_files ${SOURCE_DIR}/core/segment/*.h ${SOURCE_DIR}/core/segment/*.cpp)
file(COPY ${segment_files} DESTINATION ${stage}/src/core/segment)
include(${SOURCE_DIR}/cmake/help_header.cmake)
write_help_header(${SOURCE_DIR}/toolbox/quorvane.m ${stage}/src/help/quorvane_help.h
                  kQuorvaneHelp)
write_help_header(${SOURCE_DIR}/toolbox/quorvane_pattern.m
                  ${stage}/src/help/quorvane_pattern_help.h kQuorvanePatternHelp)
write_help_header(${SOURCE_DIR}/toolbox/quorvane_segment.m
                  ${stage}/src/help/quorvane_segment_help.h kQuorvaneSegmentHelp)

get_filename_component(output ${OUTPUT} ABSOLUTE)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${output} ${name}
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_package.cmake: tar failed (${status})")
endif()
message(STATUS "Octave package: ${output}")
