# Windows x64 with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix: POSIX threads, so
# std::thread); the tests run under Wine. Used by tools/cross-check mingw64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C++ runtime and winpthreads linked in, so that the programs run without the compiler's
# DLLs on Wine's path.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# Wine in a prefix of the build directory's own (made on the first run), without its debug
# output and without offering to install Mono and Gecko.
find_program(QUORVANE_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= ${QUORVANE_WINE})
