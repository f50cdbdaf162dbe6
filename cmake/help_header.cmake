# write_help_header(INPUT OUTPUT NAME): writes OUTPUT, a C++ header that defines the string
# NAME as the help text of the Octave function file INPUT, the way Octave's help shows a
# .m file's: its first block of comment lines, each without its leading comment signs.
# Compiled functions carry their help themselves, so it comes from the one .m source.
# Also runs as a script: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P help_header.cmake
function(write_help_header input output name)
  file(READ ${input} content)
  # Lines as a list: semicolons would split them, so they stand aside meanwhile.
  string(REPLACE ";" "<semicolon>" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(help "")
  set(inside FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*%")
      string(REGEX REPLACE "^[ \t]*%+" "" line "${line}")
      string(APPEND help "${line}\n")
      set(inside TRUE)
    elseif(inside)
      break()
    endif()
  endforeach()
  string(REPLACE "<semicolon>" ";" help "${help}")
  if(help MATCHES "\\)help\"")
    message(FATAL_ERROR "write_help_header: ${input} holds the raw string's delimiter")
  endif()
  get_filename_component(source ${input} NAME)
  file(WRITE ${output}.new
       "// Generated from ${source} by cmake/help_header.cmake: edit the .m file.\n"
       "#pragma once\n\n"
       "inline constexpr const char ${name}[] = R\"help(${help})help\";\n")
  configure_file(${output}.new ${output} COPYONLY)  # unchanged text, untouched file
  file(REMOVE ${output}.new)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED INPUT)
  write_help_header(${INPUT} ${OUTPUT} ${NAME})
endif()
