# Clang, natively: the compiler of macOS, where it contracts floating-point expressions into
# fused multiply-adds by default on some targets. The project's own flags (-ffp-contract=off
# among them) apply as with GCC. Used by tools/cross-check clang.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
