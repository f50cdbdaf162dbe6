#pragma once

// What the engine asks of the compiler beyond standard C++17, in one place: a branch for GCC
// and Clang, one for Microsoft's compiler, and plain C++ for any other compiler and for
// builds with QUORVANE_PORTABLE defined (CMake's option of that name), which thereby compile
// with GCC exactly the code that Microsoft's compiler gets.
//
// The vector kernels (engine_kernels_x86.*) carry their instruction set as a per-function
// target attribute, so that the library builds for the baseline processor and calls them
// only after asking the processor. Only GCC and Clang have such attributes; elsewhere the
// kernels are not compiled, the engine never asks the processor, and the scalar code
// serves (the same weights, bit for bit).

#if !defined(QUORVANE_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_GNU 1
#elif !defined(QUORVANE_PORTABLE) && defined(_MSC_VER)
#define QUORVANE_MSVC 1
#include <intrin.h>
#endif

#if defined(QUORVANE_GNU) && (defined(__x86_64__) || defined(__i386__))
#define QUORVANE_X86 1
#define QUORVANE_TARGET(instructions) __attribute__((target(instructions)))
#endif

// SSE2 code where the build's baseline has it (every x86-64 with GCC or Clang): whether a
// walk's strength grows is as unpredictable as the image, and SSE2 selects without branches.
#if !defined(QUORVANE_PORTABLE) && defined(__SSE2__)
#define QUORVANE_SSE2 1
#endif

#if defined(QUORVANE_GNU)
#define QUORVANE_NOINLINE __attribute__((noinline))
#elif defined(QUORVANE_MSVC)
#define QUORVANE_NOINLINE __declspec(noinline)
#else
#define QUORVANE_NOINLINE
#endif

namespace quorvane::engine {

// The index of the lowest set bit of x, which is not 0.
inline int lowestBit(unsigned x) {
#if defined(QUORVANE_GNU)
  return __builtin_ctz(x);
#elif defined(QUORVANE_MSVC)
  unsigned long index;
  _BitScanForward(&index, x);
  return static_cast<int>(index);
#else
  int index = 0;
  for (; !(x & 1u); x >>= 1)
    ++index;
  return index;
#endif
}

// The index of the highest set bit of x, which is not 0.
inline int highestBit(unsigned x) {
#if defined(QUORVANE_GNU)
  return 31 - __builtin_clz(x);
#elif defined(QUORVANE_MSVC)
  unsigned long index;
  _BitScanReverse(&index, x);
  return static_cast<int>(index);
#else
  int index = 0;
  while (x >>= 1)
    ++index;
  return index;
#endif
}

// The number of set bits of x.
inline int bitCount(unsigned x) {
#if defined(QUORVANE_GNU)
  return __builtin_popcount(x);
#elif defined(QUORVANE_MSVC) && (defined(_M_X64) || defined(_M_IX86))
  return static_cast<int>(__popcnt(x));
#else
  int count = 0;
  for (; x != 0; x &= x - 1)
    ++count;
  return count;
#endif
}

// Asks for the cache line at p to be brought in for reading; a hint that changes no result.
inline void prefetchForReading(const void* p) {
#if defined(QUORVANE_GNU)
  __builtin_prefetch(p, 0, 3);
#elif defined(QUORVANE_MSVC) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  (void)p;
#endif
}

#if defined(QUORVANE_X86)
// Whether the processor (and the operating system, which must save the wide registers) runs
// AVX and AVX-512F code, as the compiler's runtime reads it; cheap after the first call.
inline bool processorHasAvx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}
inline bool processorHasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}
#endif

}  // namespace quorvane::engine
