# Clang for Linux aarch64, the pairing of Apple-silicon Macs: Clang contracts a * b + c into
# a fused multiply-add there unless told not to, so this build shows that the project's
# -ffp-contract=off holds. Headers, libraries, linker and emulator are those of the aarch64
# toolchain file (Debian's g++-aarch64-linux-gnu, qemu-aarch64); only the compiler differs.
# Used by tools/cross-check clang-aarch64.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
