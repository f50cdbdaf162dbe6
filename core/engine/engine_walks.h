#pragma once

// The engine's walks one entry at a time, from the call's state alone, and the edge tables
// they read: header-only, as they run once per entry inside the engine's loops.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "crossing_strength.h"
#include "engine_context.h"
#include "weight_rule.h"

#if defined(QUORVANE_SSE2)
#include <emmintrin.h>
#endif

namespace quorvane::engine {

// Row and column of pixel p, without a division: the quotient from the reciprocal is off by
// at most one for p < 2^31, and the remainder's range corrects it.
inline void splitPixel(const CallState& c, std::int32_t p, std::int32_t& row, std::int32_t& col) {
  std::int64_t q = static_cast<std::int64_t>(static_cast<double>(p) * c.inverseRows);
  std::int64_t r = static_cast<std::int64_t>(p) - q * c.grid.nr;
  if (r < 0) {
    --q;
    r += c.grid.nr;
  } else if (r >= c.grid.nr) {
    ++q;
    r -= c.grid.nr;
  }
  row = static_cast<std::int32_t>(r);
  col = static_cast<std::int32_t>(q);
}

// The direction of the step between two 8-adjacent pixels: which of pairStep
// (1, nr, nr + 1, nr - 1) is their pixel-index distance. For nr of 1 or 2 two of these
// distances coincide; the first match is taken, and it names the same two pixels.
inline std::int32_t pairDirection(std::int32_t distance, std::int32_t nr) {
  return distance == 1 ? 0 : distance == nr ? 1 : distance == nr + 1 ? 2 : 3;
}

// The edge-table index of the step between 8-adjacent pixels a and b: direction * np plus
// the lower of the two. With a and b as deltas from a start pixel j, adding j gives the
// pair's entry. (Only used with np <= kMaxTablePixels: no overflow.)
inline std::int32_t edgeIndex(std::int32_t a, std::int32_t b, std::int32_t nr, std::int32_t np) {
  return pairDirection(std::abs(b - a), nr) * np + std::min(a, b);
}

// Fills the edge tables (docs/engine.md says why they hold what they do); false, with the tables
// unfinished, when a pair whose phases differ has a NaN sum. Pairs that no walk takes (those that
// wrap from an image column's last row to the next column, and for nr == 1 the zero step of the
// last direction) are tabulated too, which at worst sends a call the cache's way for nothing.
// Branch-free (whether phases differ is as unpredictable as the image), with the pairs that
// can raise a strength listed in `raising` (np entries) for their weights.
inline bool fillEdgeTables(const CallState& c, double* sums, double* weights,
                           std::int32_t* raising) {
  const std::int32_t np = c.grid.np;
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
  for (int d = 0; d < 4; ++d) {
    const std::int32_t step = c.pairStep[d];
    double* sum = sums + static_cast<std::size_t>(d) * np;
    double* weight = weights + static_cast<std::size_t>(d) * np;
    const std::int32_t pairs = np - step;  // pixels a with a + step in the grid
    std::int32_t a = 0, n = 0;
    int nanSum = 0;
#ifdef QUORVANE_SSE2
    const __m128d none = _mm_set1_pd(kNoEdge), zero = _mm_setzero_pd();
    for (; a + 2 <= pairs; a += 2) {
      const __m128d s = _mm_add_pd(_mm_loadu_pd(magnitude + a), _mm_loadu_pd(magnitude + a + step));
      const __m128d differ = _mm_cmpneq_pd(_mm_loadu_pd(phase + a), _mm_loadu_pd(phase + a + step));
      const __m128d raises = _mm_and_pd(differ, _mm_cmpgt_pd(s, zero));
      nanSum |= _mm_movemask_pd(_mm_and_pd(differ, _mm_cmpunord_pd(s, s)));
      _mm_storeu_pd(sum + a, _mm_or_pd(_mm_and_pd(raises, s), _mm_andnot_pd(raises, none)));
      _mm_storeu_pd(weight + a, zero);
      const int bits = _mm_movemask_pd(raises);
      raising[n] = a;
      n += bits & 1;
      raising[n] = a + 1;
      n += bits >> 1;
    }
#endif
    for (; a < pairs; ++a) {
      const bool differ = phase[a] != phase[a + step];
      const double s = magnitude[a] + magnitude[a + step];
      const bool raises = differ && s > 0.0;
      nanSum |= differ && s != s;
      sum[a] = raises ? s : kNoEdge;
      weight[a] = 0.0;
      raising[n] = a;
      n += raises;
    }
    for (; a < np; ++a) {
      sum[a] = kNoEdge;
      weight[a] = 0.0;
    }
    if (nanSum != 0)
      return false;
    for (std::int32_t t = 0; t < n; ++t)
      weight[raising[t]] = edgeWeight(sum[raising[t]], c.factor);
  }
  return true;
}

// Lays out the steps of the walk over offset (dRow, dCol), with the arithmetic of
// crossingStrength: the pixel-index deltas and, when edgeStride (np) is not 0, the
// edge-table index of each step. The minor coordinate there is trunc(t + minor0) with
// t = slope * walked + 0.5; it equals floor(t) + minor0 for every start inside the grid
// unless t lies just below an integer: then adding the start's coordinate (below 2^31, where
// doubles are at most 2^-22 apart) may round the sum up to that integer. Such walks depend on
// the start and are refused (false); every other step is start-independent, because the gap
// to the next integer exceeds 2^-20 and the sum, being positive for pixels in the grid,
// truncates to floor(t) + minor0.
inline bool layOutWalk(std::int32_t dRow, std::int32_t dCol, std::int32_t nr,
                       std::int32_t edgeStride, std::int32_t* deltas, std::int32_t* edges) {
  const WalkAxes axes = walkAxes(dRow, dCol, nr);
  const std::int32_t step = axes.step;
  std::int32_t n = 0;
  for (std::int32_t walked = step, steps = std::abs(axes.dMajor); steps > 0;
       walked += step, --steps) {
    const double t = axes.slope * static_cast<double>(walked) + 0.5;
    const double whole = std::floor(t);
    if (t != whole && (whole + 1.0) - t <= 0x1p-20)
      return false;
    deltas[n] = walked * axes.majorStride + static_cast<std::int32_t>(whole) * axes.minorStride;
    edges[n] = edgeIndex(n == 0 ? 0 : deltas[n - 1], deltas[n], nr, edgeStride);
    ++n;
  }
  return true;
}

// The pixel steps of the walk over offset (dRow, dCol): its larger coordinate.
inline std::int32_t walkLength(std::int32_t dRow, std::int32_t dCol) {
  return std::max(std::abs(dRow), std::abs(dCol));
}

// Lays out the walk of an offset met for the first time (slot state kNotLaidOut) unless
// another worker has begun to; returns the slot's state as it then is. Out of line: the
// common case in findWalk, an offset laid out already, then saves no registers.
QUORVANE_NOINLINE inline std::int32_t layOutSlot(const CallState& c, OffsetSlot& slot,
                                                 std::int32_t dRow, std::int32_t dCol) {
  std::int32_t start = kNotLaidOut;
  if (!slot.start.compare_exchange_strong(start, kLayingOut, std::memory_order_acquire))
    return start;
  std::int32_t* deltas = c.pool + slot.at;
  start = layOutWalk(dRow, dCol, c.grid.nr, c.byTable ? c.grid.np : 0, deltas, deltas + slot.length)
              ? slot.at
              : kStartDependent;
  slot.start.store(start, std::memory_order_release);
  return start;
}

// The laid-out walk of an offset, or length -1 when the offset lies outside the table or its
// walk depends on the start. The worker that meets an offset first lays it out, in the
// offset's place in the pool, while the slot's state says so; a worker that meets the offset
// meanwhile is told -1 as well, and walks that entry the same way. (The acquiring and
// releasing of the state orders the pool's steps before their use by any worker.)
inline LaidOutWalk findWalk(const CallState& c, std::int32_t dRow, std::int32_t dCol) {
  if (dRow < -c.reachRows || dRow > c.reachRows || dCol < -c.reachCols || dCol > c.reachCols)
    return {nullptr, nullptr, -1};
  OffsetSlot& slot = c.slots[(dCol + c.reachCols) * (2 * c.reachRows + 1) + (dRow + c.reachRows)];
  std::int32_t start = slot.start.load(std::memory_order_acquire);
  if (start == kNotLaidOut)
    start = layOutSlot(c, slot, dRow, dCol);
  if (start < 0)
    return {nullptr, nullptr, -1};
  return {c.pool + start, c.pool + start + slot.length, slot.length};
}

// The weight of the walk from pixel j along a laid-out walk, from the edge tables. Where
// SSE2 is part of the baseline (every x86-64) the step is branch-free: whether m grows is
// as unpredictable as where the phase changes.
inline double walkTables(const CallState& c, std::int32_t j, LaidOutWalk walk) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
#ifdef QUORVANE_SSE2
  __m128d m = _mm_setzero_pd();
  __m128d w = _mm_load_sd(&c.zeroWeight);
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const __m128d e = _mm_load_sd(sums + walk.edges[s]);
    const __m128d grows = _mm_cmpnge_sd(m, e);
    m = _mm_or_pd(_mm_and_pd(grows, e), _mm_andnot_pd(grows, m));
    w = _mm_or_pd(_mm_and_pd(grows, _mm_load_sd(weights + walk.edges[s])), _mm_andnot_pd(grows, w));
  }
  return _mm_cvtsd_f64(w);
#else
  double m = 0.0, w = c.zeroWeight;
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const double e = sums[walk.edges[s]];
    if (!(m >= e)) {
      m = e;
      w = weights[walk.edges[s]];
    }
  }
  return w;
#endif
}

// The weight of crossingStrength's walk from j to i (for walks that depend on the start or
// lie beyond the laid-out reach), from the edge table entry of the pair that set m last.
inline double crossingWeightByTable(const CallState& c, std::int32_t j, std::int32_t i) {
  double w = c.zeroWeight;
  walkCrossings(c.grid, c.magnitude, c.phase, j, i, [&](std::int32_t current, std::int32_t next) {
    w = c.edgeWeights[edgeIndex(current, next, c.grid.nr, c.grid.np)];
  });
  return w;
}

// The crossing strength along a laid-out walk from pixel j: crossingStrength's loop with the
// pixel indices read from the table. Where SSE2 is part of the baseline (every x86-64), the
// step is branch-free, as in the AVX kernel (engine_kernels_x86.cpp says why max and then a
// select give the same weights): a branch on whether the phase changes is mispredicted about
// as often as the phase changes.
inline double walkStrength(const CallState& c, std::int32_t j, LaidOutWalk walk) {
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
#ifdef QUORVANE_SSE2
  __m128d previousPhase = _mm_load_sd(phase + j);
  __m128d previousMagnitude = _mm_load_sd(magnitude + j);
  __m128d m = _mm_setzero_pd();
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const std::int32_t next = j + walk.deltas[s];
    const __m128d q = _mm_load_sd(phase + next);
    const __m128d g = _mm_load_sd(magnitude + next);
    const __m128d changed = _mm_cmpneq_sd(q, previousPhase);
    const __m128d larger = _mm_max_sd(m, _mm_add_sd(previousMagnitude, g));
    m = _mm_or_pd(_mm_and_pd(changed, larger), _mm_andnot_pd(changed, m));
    previousPhase = q;
    previousMagnitude = g;
  }
  return _mm_cvtsd_f64(m);
#else
  double previousPhase = phase[j];
  double previousMagnitude = magnitude[j];
  double m = 0.0;
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const std::int32_t next = j + walk.deltas[s];
    const double q = phase[next];
    const double g = magnitude[next];
    if (q != previousPhase) {
      const double sum = previousMagnitude + g;
      if (!(m >= sum))
        m = sum;
    }
    previousPhase = q;
    previousMagnitude = g;
  }
  return m;
#endif
}

// Crossing strength of one entry, start j at (rowJ, colJ), end i != j.
inline double entryStrength(const CallState& c, std::int32_t j, std::int32_t rowJ,
                            std::int32_t colJ, std::int32_t i) {
  std::int32_t rowI, colI;
  splitPixel(c, i, rowI, colI);
  const LaidOutWalk walk = findWalk(c, rowI - rowJ, colI - colJ);
  if (walk.length >= 0)
    return walkStrength(c, j, walk);
  return crossingStrength(c.grid, c.magnitude, c.phase, j, i);
}

}  // namespace quorvane::engine
