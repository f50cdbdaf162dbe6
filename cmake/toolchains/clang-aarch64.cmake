# Clang for Linux aarch64, the pairing of Apple-silicon Macs: Clang contracts a * b + c into
# a fused multiply-add there unless told not to, so this build shows that the project's
# -ffp-contract=off holds. Headers, libraries and linker are those of Debian's
# g++-aarch64-linux-gnu; the tests run under qemu-aarch64. Used by tools/cross-check
# clang-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(QUORVANE_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVANE_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
