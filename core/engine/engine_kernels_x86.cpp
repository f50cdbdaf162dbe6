// The engine's vector kernels for x86 processors (engine_kernels.h; the design: docs/engine.md).
#include "engine_kernels.h"

#ifdef QUORVANE_X86

#include <immintrin.h>

#include <cstring>

namespace quorvane::engine {

// These functions carry their instruction set as a target attribute, so the rest of the
// library builds for the baseline processor and runs them only after the run-time check.
// Nothing here multiplies and adds in one expression, so no fused multiply-add can arise.
//
// With the edge tables a lane's m grows where the tabulated value e gives !(m >= e)
// (not-greater-or-equal; neither is NaN here), and its weight follows from the weight table.

// Writes the weights of eight lanes, found[p * 8 + l] for positions p < count, to out[l][p]:
// eight positions at a time as an 8 x 8 transpose in registers. (The zero-masking forms
// with a full mask are the plain instructions; the unmasked intrinsics make GCC 12 warn
// about their undefined pass-through operand.)
QUORVANE_TARGET("avx512f")
void transposeWeights(const double* found, std::uint32_t count, double* const* out) {
  const double* from = found;
  std::uint32_t p = 0;
  for (; p + 8 <= count; p += 8) {
    const double* r = from + p * 8;
    const __m512d t0 = _mm512_maskz_unpacklo_pd(0xff, _mm512_loadu_pd(r), _mm512_loadu_pd(r + 8));
    const __m512d t1 = _mm512_maskz_unpackhi_pd(0xff, _mm512_loadu_pd(r), _mm512_loadu_pd(r + 8));
    const __m512d t2 =
        _mm512_maskz_unpacklo_pd(0xff, _mm512_loadu_pd(r + 16), _mm512_loadu_pd(r + 24));
    const __m512d t3 =
        _mm512_maskz_unpackhi_pd(0xff, _mm512_loadu_pd(r + 16), _mm512_loadu_pd(r + 24));
    const __m512d t4 =
        _mm512_maskz_unpacklo_pd(0xff, _mm512_loadu_pd(r + 32), _mm512_loadu_pd(r + 40));
    const __m512d t5 =
        _mm512_maskz_unpackhi_pd(0xff, _mm512_loadu_pd(r + 32), _mm512_loadu_pd(r + 40));
    const __m512d t6 =
        _mm512_maskz_unpacklo_pd(0xff, _mm512_loadu_pd(r + 48), _mm512_loadu_pd(r + 56));
    const __m512d t7 =
        _mm512_maskz_unpackhi_pd(0xff, _mm512_loadu_pd(r + 48), _mm512_loadu_pd(r + 56));
    // u0: columns 0 and 4 of rows 0-3, u1: 2 and 6, u2: 1 and 5, u3: 3 and 7; u4-u7 rows 4-7.
    const __m512d u0 = _mm512_maskz_shuffle_f64x2(0xff, t0, t2, 0x88),
                  u1 = _mm512_maskz_shuffle_f64x2(0xff, t0, t2, 0xdd);
    const __m512d u2 = _mm512_maskz_shuffle_f64x2(0xff, t1, t3, 0x88),
                  u3 = _mm512_maskz_shuffle_f64x2(0xff, t1, t3, 0xdd);
    const __m512d u4 = _mm512_maskz_shuffle_f64x2(0xff, t4, t6, 0x88),
                  u5 = _mm512_maskz_shuffle_f64x2(0xff, t4, t6, 0xdd);
    const __m512d u6 = _mm512_maskz_shuffle_f64x2(0xff, t5, t7, 0x88),
                  u7 = _mm512_maskz_shuffle_f64x2(0xff, t5, t7, 0xdd);
    _mm512_storeu_pd(out[0] + p, _mm512_maskz_shuffle_f64x2(0xff, u0, u4, 0x88));
    _mm512_storeu_pd(out[4] + p, _mm512_maskz_shuffle_f64x2(0xff, u0, u4, 0xdd));
    _mm512_storeu_pd(out[2] + p, _mm512_maskz_shuffle_f64x2(0xff, u1, u5, 0x88));
    _mm512_storeu_pd(out[6] + p, _mm512_maskz_shuffle_f64x2(0xff, u1, u5, 0xdd));
    _mm512_storeu_pd(out[1] + p, _mm512_maskz_shuffle_f64x2(0xff, u2, u6, 0x88));
    _mm512_storeu_pd(out[5] + p, _mm512_maskz_shuffle_f64x2(0xff, u2, u6, 0xdd));
    _mm512_storeu_pd(out[3] + p, _mm512_maskz_shuffle_f64x2(0xff, u3, u7, 0x88));
    _mm512_storeu_pd(out[7] + p, _mm512_maskz_shuffle_f64x2(0xff, u3, u7, 0xdd));
  }
  for (; p < count; ++p) {
    for (int l = 0; l < 8; ++l)
      out[l][p] = from[p * 8 + l];
  }
}

// Stacked start pixels (stride 1) read contiguous vectors.
//
// Without the tables the AVX kernel keeps only the strengths, in found: a lane changes when
// q != previous or either is NaN (unordered not-equal), and then takes max(m, sum), which is
// sum unless m > sum, where the written rule takes sum unless m >= sum. The two differ only
// when m == sum, that is for the same value or for +0.0 against -0.0, and a zero strength of
// either sign gives the same weight bits (its square is -0.0 either way) and the same later
// comparisons.
QUORVANE_TARGET("avx")
void walkBlockAvx(const CallState& c, std::int32_t j, std::int32_t /*stride*/,
                  unsigned /*laneMask*/, const std::int32_t* program, int count, double* found) {
  const double* phase = c.phase + j;
  const double* magnitude = c.magnitude + j;
  const __m256d startPhase = _mm256_loadu_pd(phase);
  const __m256d startMagnitude = _mm256_loadu_pd(magnitude);
  for (int w = 0; w < count; ++w) {
    const std::int32_t position = program[0], length = program[1];
    const std::int32_t* deltas = program + 2;
    program += 2 + length;
    __m256d previousPhase = startPhase, previousMagnitude = startMagnitude;
    __m256d m = _mm256_setzero_pd();
    for (std::int32_t s = 0; s < length; ++s) {
      const __m256d q = _mm256_loadu_pd(phase + deltas[s]);
      const __m256d g = _mm256_loadu_pd(magnitude + deltas[s]);
      const __m256d changed = _mm256_cmp_pd(q, previousPhase, _CMP_NEQ_UQ);
      const __m256d larger = _mm256_max_pd(m, _mm256_add_pd(previousMagnitude, g));
      // A select by masks: GCC 12 turns blendv on a comparison's result into a branch
      // per lane here.
      m = _mm256_or_pd(_mm256_and_pd(changed, larger), _mm256_andnot_pd(changed, m));
      previousPhase = q;
      previousMagnitude = g;
    }
    _mm256_storeu_pd(found + position * 4, m);
  }
}

QUORVANE_TARGET("avx")
void walkBlockTablesAvx(const CallState& c, std::int32_t j, std::int32_t /*stride*/,
                        unsigned /*laneMask*/, const std::int32_t* program, int count,
                        double* found) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
  // The states along the program's current path: m and its weight at each depth.
  __m256d strength[kMaxReach + 1], weight[kMaxReach + 1];
  strength[0] = _mm256_setzero_pd();
  weight[0] = _mm256_set1_pd(c.zeroWeight);
  for (int n = 0; n < count; ++n, program += 2) {
    const std::int32_t edge = program[0], depth = program[1] & 0xff, position = program[1] >> 8;
    const __m256d m = strength[depth - 1];
    const __m256d e = _mm256_loadu_pd(sums + edge);
    const __m256d grows = _mm256_cmp_pd(m, e, _CMP_NGE_UQ);
    strength[depth] = _mm256_or_pd(_mm256_and_pd(grows, e), _mm256_andnot_pd(grows, m));
    weight[depth] = _mm256_or_pd(_mm256_and_pd(grows, _mm256_loadu_pd(weights + edge)),
                                 _mm256_andnot_pd(grows, weight[depth - 1]));
    _mm256_storeu_pd(found + position * 4, weight[depth]);
  }
}

// The AVX-512 table walk for stacked lanes (contiguous loads) or lanes side by side in a
// row (stride nr, gathered loads; lanes outside laneMask load nothing, as their start pixels
// may not share the walk).
template <bool kSideBySide>
QUORVANE_TARGET("avx512f")
inline void walkTablesAvx512(const CallState& c, std::int32_t j, std::int32_t stride,
                             unsigned laneMask, const std::int32_t* program, int count,
                             double* found) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
  const __m256i lanes = _mm256_set_epi32(7 * stride, 6 * stride, 5 * stride, 4 * stride, 3 * stride,
                                         2 * stride, stride, 0);
  const auto on = static_cast<__mmask8>(kSideBySide ? laneMask : 0xff);
  __m512d strength[kMaxReach + 1], weight[kMaxReach + 1];
  strength[0] = _mm512_setzero_pd();
  weight[0] = _mm512_set1_pd(c.zeroWeight);
  for (int n = 0; n < count; ++n, program += 2) {
    const std::int32_t edge = program[0], depth = program[1] & 0xff, position = program[1] >> 8;
    const __m512d m = strength[depth - 1];
    __m512d e;
    if constexpr (kSideBySide)
      e = _mm512_mask_i32gather_pd(m, on, lanes, sums + edge, 8);
    else
      e = _mm512_loadu_pd(sums + edge);
    const __mmask8 grows = _mm512_mask_cmp_pd_mask(on, m, e, _CMP_NGE_UQ);
    strength[depth] = _mm512_mask_mov_pd(m, grows, e);
    if constexpr (kSideBySide)
      weight[depth] = _mm512_mask_i32gather_pd(weight[depth - 1], grows, lanes, weights + edge, 8);
    else
      weight[depth] = _mm512_mask_loadu_pd(weight[depth - 1], grows, weights + edge);
    _mm512_storeu_pd(found + position * 8, weight[depth]);
  }
}

QUORVANE_TARGET("avx512f")
void walkBlockTablesAvx512(const CallState& c, std::int32_t j, std::int32_t stride,
                           unsigned laneMask, const std::int32_t* program, int count,
                           double* found) {
  walkTablesAvx512<false>(c, j, stride, laneMask, program, count, found);
}

QUORVANE_TARGET("avx512f")
void walkRowTablesAvx512(const CallState& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                         const std::int32_t* program, int count, double* found) {
  walkTablesAvx512<true>(c, j, stride, laneMask, program, count, found);
}

// streamDoubles and streamRowIndices with 64-byte stores.
QUORVANE_TARGET("avx512f")
void streamDoublesAvx512(double* out, const double* from, std::size_t n) {
  if (reinterpret_cast<std::uintptr_t>(out) % 8 != 0) {
    streamDoubles(out, from, n);
    return;
  }
  std::size_t k = elementsBeforeLine(out, 8, n);
  std::memcpy(out, from, k * sizeof(double));
  for (; k + 8 <= n; k += 8)
    _mm512_stream_pd(out + k, _mm512_loadu_pd(from + k));
  std::memcpy(out + k, from + k, (n - k) * sizeof(double));
}

QUORVANE_TARGET("avx512f")
void streamRowIndicesAvx512(RowIndexOutput rows, std::size_t at, const std::uint32_t* ir,
                            std::size_t n) {
  if (rows.bytes != 8 || reinterpret_cast<std::uintptr_t>(rows.target) % 8 != 0) {
    streamRowIndices(rows, at, ir, n);
    return;
  }
  auto* out = static_cast<std::uint64_t*>(rows.target) + at;
  std::size_t k = 0;
  for (const std::size_t head = elementsBeforeLine(out, 8, n); k < head; ++k)
    out[k] = ir[k];
  for (; k + 8 <= n; k += 8) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ir + k));
    _mm512_stream_si512(reinterpret_cast<__m512i*>(out + k), _mm512_maskz_cvtepu32_epi64(0xff, x));
  }
  for (; k < n; ++k)
    out[k] = ir[k];
}

QUORVANE_TARGET("avx512f")
bool sameShiftedAvx512(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                       std::uint32_t shift) {
  const __m512i by = _mm512_set1_epi32(static_cast<int>(shift));
  std::uint32_t p = 0;
  for (; p + 16 <= count; p += 16) {
    const __m512i x = _mm512_loadu_si512(a + p);
    const __m512i y = _mm512_add_epi32(_mm512_loadu_si512(b + p), by);
    if (_mm512_cmpneq_epi32_mask(x, y) != 0)
      return false;
  }
  if (p < count) {
    // Masked loads neither read nor fault past the end.
    const auto tail = static_cast<__mmask16>((1u << (count - p)) - 1);
    const __m512i x = _mm512_maskz_loadu_epi32(tail, a + p);
    const __m512i y = _mm512_add_epi32(_mm512_maskz_loadu_epi32(tail, b + p), by);
    if (_mm512_mask_cmpneq_epi32_mask(tail, x, y) != 0)
      return false;
  }
  return true;
}

}  // namespace quorvane::engine

#endif
