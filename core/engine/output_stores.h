#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compiler_support.h"

#if defined(QUORVANE_SSE2)
#include <emmintrin.h>
#endif

#include "weight_engine.h"

namespace quorvane::engine {

// Row indices ir[0 .. n - 1] to elements at ... at + n - 1 of the output, ordinary stores.
inline void copyRowIndices(RowIndexOutput rows, std::size_t at, const std::uint32_t* ir,
                           std::size_t n) {
  if (rows.bytes == 8) {
    auto* out = static_cast<std::uint64_t*>(rows.target) + at;
    for (std::size_t k = 0; k < n; ++k)
      out[k] = ir[k];
  } else {
    std::memcpy(static_cast<std::uint32_t*>(rows.target) + at, ir, n * 4);
  }
}

// Copies of results into large outputs that nobody reads again soon. Whole 64-byte lines go
// with non-temporal stores, which write to memory without first reading the line in:
// ordinary stores to an output far larger than the caches wait for each line to arrive,
// and the processor stalls once its store queue is full of them. Partial lines at either end
// use ordinary stores. Callers issue finishStreaming() before anyone else reads the output.
// Without SSE2 (not x86-64, or a portable build) these are ordinary copies.

// How many elements of `size` bytes at `out` precede its first 64-byte boundary, at most n.
inline std::size_t elementsBeforeLine(const void* out, std::size_t size, std::size_t n) {
  const std::size_t bytes = (64 - (reinterpret_cast<std::uintptr_t>(out) & 63)) & 63;
  const std::size_t head = bytes / size;
  return head < n ? head : n;
}

inline void streamDoubles(double* out, const double* from, std::size_t n) {
  std::size_t k = 0;
#if defined(QUORVANE_SSE2)
  if (reinterpret_cast<std::uintptr_t>(out) % sizeof(double) == 0) {
    k = elementsBeforeLine(out, sizeof(double), n);
    std::memcpy(out, from, k * sizeof(double));
    for (; k + 8 <= n; k += 8) {
      for (int q = 0; q < 8; q += 2)
        _mm_stream_pd(out + k + q, _mm_loadu_pd(from + k + q));
    }
  }
#endif
  std::memcpy(out + k, from + k, (n - k) * sizeof(double));
}

// copyRowIndices with streamed stores.
inline void streamRowIndices(RowIndexOutput rows, std::size_t at, const std::uint32_t* ir,
                             std::size_t n) {
  std::size_t k = 0;
  if (rows.bytes == 8) {
    auto* out = static_cast<std::uint64_t*>(rows.target) + at;
#if defined(QUORVANE_SSE2)
    if (reinterpret_cast<std::uintptr_t>(out) % 8 == 0) {
      for (const std::size_t head = elementsBeforeLine(out, 8, n); k < head; ++k)
        out[k] = ir[k];
      const __m128i zero = _mm_setzero_si128();
      for (; k + 8 <= n; k += 8) {
        for (int q = 0; q < 8; q += 4) {
          const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ir + k + q));
          _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + q), _mm_unpacklo_epi32(x, zero));
          _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + q + 2),
                           _mm_unpackhi_epi32(x, zero));
        }
      }
    }
#endif
    for (; k < n; ++k)
      out[k] = ir[k];
  } else {
    auto* out = static_cast<std::uint32_t*>(rows.target) + at;
#if defined(QUORVANE_SSE2)
    if (reinterpret_cast<std::uintptr_t>(out) % 4 == 0) {
      k = elementsBeforeLine(out, 4, n);
      std::memcpy(out, ir, k * 4);
      for (; k + 16 <= n; k += 16) {
        for (int q = 0; q < 16; q += 4) {
          _mm_stream_si128(reinterpret_cast<__m128i*>(out + k + q),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(ir + k + q)));
        }
      }
    }
#endif
    std::memcpy(out + k, ir + k, (n - k) * 4);
  }
}

// Orders the streamed stores before every later store, so that whoever is told the output
// is ready sees it.
inline void finishStreaming() {
#if defined(QUORVANE_SSE2)
  _mm_sfence();
#endif
}

}  // namespace quorvane::engine
