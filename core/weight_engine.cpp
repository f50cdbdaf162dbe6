// The weight engine: the same weights as the plain walk (crossingStrength, then edgeWeight for
// each entry), computed with less work.
//
// - The pixel steps of a walk depend only on the offset between its two pixels, except where
//   the minor coordinate lies within rounding distance of an integer boundary (see
//   layOutWalk). Each offset's steps are laid out once per call, as pixel-index deltas from
//   the start, and walks use them instead of recomputing coordinates.
// - Start pixels that lie one below the other in an image column and hold the same entries
//   (same count, each end shifted by the same amount) walk every shared offset together:
//   lane l reads pixel start + l + delta, so every step is one contiguous vector load of the
//   phases and one of the magnitudes for all lanes.
// - The weight is a function of the crossing strength alone, and many entries share one, so
//   weights are kept in a small direct-mapped cache keyed by the strength's bits.
//
// Working memory: one allocation per call (the cache, at most 64 KiB, and the laid-out walks
// of offsets up to kMaxReach rows and columns, at most about 180 KiB), plus a 4 KiB buffer
// and a few small arrays on the stack.

#include "weight_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "build_weight_matrix.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVANE_X86 1
#endif

namespace quorvane {
namespace {

// Offsets with at most this many rows and columns get their walks laid out once per call;
// longer ones walk the plain way.
constexpr std::int32_t kMaxReach = 24;
// Positions of a block handled per pass; the strengths buffer holds kChunk x 8 doubles.
constexpr int kChunk = 64;
constexpr int kMaxLanes = 8;
constexpr std::uint32_t kMaxCacheSlots = 4096;

// Slot states of the offset table besides a pool index.
constexpr std::int32_t kNotLaidOut = -1;
constexpr std::int32_t kStartDependent = -2;

struct LaidOutWalk {
  const std::int32_t* deltas;  // pixel-index delta of each path pixel after the start
  std::int32_t length;         // number of steps
};

struct OffsetSlot {
  std::int32_t start;  // index into the pool, or kNotLaidOut / kStartDependent
  std::int32_t length;
};

struct Context {
  // The call.
  std::int32_t nr, np;
  const double* magnitude;
  const double* phase;
  PixelGrid grid;
  double factor;
  double inverseRows;  // 1.0 / nr, for splitting pixel indices
  // The offset table, rows -reachRows..reachRows by columns -reachCols..reachCols.
  std::int32_t reachRows, reachCols;
  OffsetSlot* slots;
  std::int32_t* pool;
  std::int32_t poolUsed;
  // The weight cache.
  std::uint64_t* cacheKeys;
  double* cacheValues;
  std::uint32_t cacheShift;
};

// Row and column of pixel p, without a division: the quotient from the reciprocal is off by
// at most one for p < 2^31, and the remainder's range corrects it.
inline void splitPixel(const Context& c, std::int32_t p, std::int32_t& row, std::int32_t& col) {
  std::int64_t q = static_cast<std::int64_t>(static_cast<double>(p) * c.inverseRows);
  std::int64_t r = static_cast<std::int64_t>(p) - q * c.nr;
  if (r < 0) {
    --q;
    r += c.nr;
  } else if (r >= c.nr) {
    ++q;
    r -= c.nr;
  }
  row = static_cast<std::int32_t>(r);
  col = static_cast<std::int32_t>(q);
}

// Lays out the steps of the walk over offset (dRow, dCol), with the arithmetic of
// crossingStrength. The minor coordinate there is trunc(t + minor0) with
// t = slope * walked + 0.5; it equals floor(t) + minor0 for every start inside the grid
// unless t lies just below an integer: then adding the start's coordinate (below 2^31, where
// doubles are at most 2^-22 apart) may round the sum up to that integer. Such walks depend on
// the start and are refused (false); every other step is start-independent, because the gap
// to the next integer exceeds 2^-20 and the sum, being positive for pixels in the grid,
// truncates to floor(t) + minor0.
bool layOutWalk(std::int32_t dRow, std::int32_t dCol, std::int32_t nr, std::int32_t* deltas) {
  const bool rowsMajor = std::abs(dRow) >= std::abs(dCol);
  const std::int32_t dMajor = rowsMajor ? dRow : dCol;
  const double slope =
      rowsMajor ? static_cast<double>(dCol) / dRow : static_cast<double>(dRow) / dCol;
  const std::int32_t step = dMajor >= 0 ? 1 : -1;
  const std::int32_t majorStride = rowsMajor ? 1 : nr;
  const std::int32_t minorStride = rowsMajor ? nr : 1;
  std::int32_t n = 0;
  for (std::int32_t walked = step, steps = std::abs(dMajor); steps > 0; walked += step, --steps) {
    const double t = slope * static_cast<double>(walked) + 0.5;
    const double whole = std::floor(t);
    if (t != whole && (whole + 1.0) - t <= 0x1p-20)
      return false;
    deltas[n++] = walked * majorStride + static_cast<std::int32_t>(whole) * minorStride;
  }
  return true;
}

// The laid-out walk of an offset, or length -1 when the offset lies outside the table or its
// walk depends on the start.
inline LaidOutWalk findWalk(Context& c, std::int32_t dRow, std::int32_t dCol) {
  if (dRow < -c.reachRows || dRow > c.reachRows || dCol < -c.reachCols || dCol > c.reachCols)
    return {nullptr, -1};
  OffsetSlot& slot = c.slots[(dCol + c.reachCols) * (2 * c.reachRows + 1) + (dRow + c.reachRows)];
  if (slot.start == kNotLaidOut) {
    std::int32_t* deltas = c.pool + c.poolUsed;
    if (layOutWalk(dRow, dCol, c.nr, deltas)) {
      slot.start = c.poolUsed;
      slot.length = std::max(std::abs(dRow), std::abs(dCol));
      c.poolUsed += slot.length;
    } else {
      slot.start = kStartDependent;
    }
  }
  if (slot.start == kStartDependent)
    return {nullptr, -1};
  return {c.pool + slot.start, slot.length};
}

// The crossing strength along a laid-out walk from pixel j: crossingStrength's loop with the
// pixel indices read from the table.
inline double walkStrength(const Context& c, std::int32_t j, LaidOutWalk walk) {
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
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
}

// Crossing strength of one entry, start j at (rowJ, colJ), end i != j.
inline double entryStrength(Context& c, std::int32_t j, std::int32_t rowJ, std::int32_t colJ,
                            std::int32_t i) {
  std::int32_t rowI, colI;
  splitPixel(c, i, rowI, colI);
  const LaidOutWalk walk = findWalk(c, rowI - rowJ, colI - colJ);
  if (walk.length >= 0)
    return walkStrength(c, j, walk);
  return crossingStrength(c.grid, c.magnitude, c.phase, j, i);
}

// edgeWeight(m, factor), from the cache when the same strength (same bits) came before.
// Every slot starts valid, holding the weight of +0.0.
inline double weightOf(const Context& c, double m) {
  std::uint64_t bits;
  std::memcpy(&bits, &m, sizeof bits);
  const std::uint64_t slot = (bits * 0x9E3779B97F4A7C15ull) >> c.cacheShift;
  if (c.cacheKeys[slot] == bits)
    return c.cacheValues[slot];
  const double w = edgeWeight(m, c.factor);
  c.cacheKeys[slot] = bits;
  c.cacheValues[slot] = w;
  return w;
}

// One start pixel j at (row, col), entry by entry.
void processColumn(Context& c, const IndexPair& pattern, std::int32_t j, std::int32_t row,
                   std::int32_t col, double* weights) {
  const std::uint32_t end = pattern.jc[j + 1];
  for (std::uint32_t k = pattern.jc[j]; k < end; ++k) {
    const auto i = static_cast<std::int32_t>(pattern.ir[k]);
    *weights++ = i == j ? 1.0 : weightOf(c, entryStrength(c, j, row, col, i));
  }
}

// Whether start pixels j ... j + lanes - 1 hold the same number of entries and entry p of
// each is entry p of pixel j shifted by the lane.
bool sameEntries(const IndexPair& pattern, std::int32_t j, int lanes) {
  const std::uint32_t* jc = pattern.jc;
  const std::uint32_t count = jc[j + 1] - jc[j];
  for (int l = 1; l < lanes; ++l) {
    if (jc[j + l + 1] - jc[j + l] != count)
      return false;
  }
  const std::uint32_t* first = pattern.ir + jc[j];
  for (int l = 1; l < lanes; ++l) {
    const std::uint32_t* other = pattern.ir + jc[j + l];
    const auto shift = static_cast<std::uint32_t>(l);
    std::uint32_t differ = 0;
    for (std::uint32_t p = 0; p < count; ++p)
      differ |= other[p] ^ (first[p] + shift);
    if (differ != 0)
      return false;
  }
  return true;
}

// Walks the given laid-out walks for `lanes` consecutive start pixels at once, writing the
// strength of walk w, lane l, to strengths[slots[w] * lanes + l]. phase and magnitude point
// at the first start pixel.
using BlockKernel = void (*)(const double* phase, const double* magnitude, const LaidOutWalk* walks,
                             const int* slots, int count, double* strengths);

#ifdef QUORVANE_X86
// The vector step keeps NaN as written: a lane changes when q != previous or either is NaN
// (unordered not-equal), and then takes max(m, sum), which is sum unless m > sum, where the
// written rule takes sum unless m >= sum. The two differ only when m == sum, that is for the
// same value or for +0.0 against -0.0, and a zero strength of either sign gives the same
// weight bits (its square is -0.0 either way) and the same later comparisons.
__attribute__((target("avx"))) void walkBlockAvx(const double* phase, const double* magnitude,
                                                 const LaidOutWalk* walks, const int* slots,
                                                 int count, double* strengths) {
  const __m256d startPhase = _mm256_loadu_pd(phase);
  const __m256d startMagnitude = _mm256_loadu_pd(magnitude);
  for (int w = 0; w < count; ++w) {
    const std::int32_t* deltas = walks[w].deltas;
    __m256d previousPhase = startPhase, previousMagnitude = startMagnitude;
    __m256d m = _mm256_setzero_pd();
    for (std::int32_t s = 0; s < walks[w].length; ++s) {
      const __m256d q = _mm256_loadu_pd(phase + deltas[s]);
      const __m256d g = _mm256_loadu_pd(magnitude + deltas[s]);
      const __m256d changed = _mm256_cmp_pd(q, previousPhase, _CMP_NEQ_UQ);
      const __m256d larger = _mm256_max_pd(m, _mm256_add_pd(previousMagnitude, g));
      m = _mm256_blendv_pd(m, larger, changed);
      previousPhase = q;
      previousMagnitude = g;
    }
    _mm256_storeu_pd(strengths + slots[w] * 4, m);
  }
}

__attribute__((target("avx512f"))) void walkBlockAvx512(const double* phase,
                                                        const double* magnitude,
                                                        const LaidOutWalk* walks, const int* slots,
                                                        int count, double* strengths) {
  const __m512d startPhase = _mm512_loadu_pd(phase);
  const __m512d startMagnitude = _mm512_loadu_pd(magnitude);
  for (int w = 0; w < count; ++w) {
    const std::int32_t* deltas = walks[w].deltas;
    __m512d previousPhase = startPhase, previousMagnitude = startMagnitude;
    __m512d m = _mm512_setzero_pd();
    for (std::int32_t s = 0; s < walks[w].length; ++s) {
      const __m512d q = _mm512_loadu_pd(phase + deltas[s]);
      const __m512d g = _mm512_loadu_pd(magnitude + deltas[s]);
      const __mmask8 changed = _mm512_cmp_pd_mask(q, previousPhase, _CMP_NEQ_UQ);
      m = _mm512_mask_max_pd(m, changed, m, _mm512_add_pd(previousMagnitude, g));
      previousPhase = q;
      previousMagnitude = g;
    }
    _mm512_storeu_pd(strengths + slots[w] * 8, m);
  }
}
#endif

// Start pixels j ... j + lanes - 1, one below the other from (row, col), with the same
// entries (sameEntries). Entry positions whose end stays in the grid's column for every lane
// and whose offset has a laid-out walk go through the kernel; the rest walk lane by lane.
void processBlock(Context& c, const IndexPair& pattern, std::int32_t j, std::int32_t row,
                  std::int32_t col, int lanes, BlockKernel kernel, double* weights) {
  enum Kind : unsigned char { kDiagonal, kVector, kLaneByLane };
  double strengths[kChunk * kMaxLanes];
  LaidOutWalk walks[kChunk];
  int slots[kChunk];
  Kind kinds[kChunk];

  const std::uint32_t count = pattern.jc[j + 1] - pattern.jc[j];
  const std::uint32_t* ends = pattern.ir + pattern.jc[j];
  for (std::uint32_t p0 = 0; p0 < count; p0 += kChunk) {
    const int chunk = static_cast<int>(std::min<std::uint32_t>(kChunk, count - p0));
    int vectorCount = 0;
    for (int p = 0; p < chunk; ++p) {
      const auto i = static_cast<std::int32_t>(ends[p0 + p]);
      kinds[p] = kLaneByLane;
      if (i == j) {
        kinds[p] = kDiagonal;
        continue;
      }
      std::int32_t rowI, colI;
      splitPixel(c, i, rowI, colI);
      if (rowI + lanes > c.nr)
        continue;  // the lanes' ends wrap into the next image column
      const LaidOutWalk walk = findWalk(c, rowI - row, colI - col);
      if (walk.length < 0)
        continue;
      kinds[p] = kVector;
      walks[vectorCount] = walk;
      slots[vectorCount++] = p;
    }
    kernel(c.phase + j, c.magnitude + j, walks, slots, vectorCount, strengths);
    for (int p = 0; p < chunk; ++p) {
      if (kinds[p] != kLaneByLane)
        continue;
      const auto i = static_cast<std::int32_t>(ends[p0 + p]);
      for (int l = 0; l < lanes; ++l)
        strengths[p * lanes + l] = entryStrength(c, j + l, row + l, col, i + l);
    }
    for (int l = 0; l < lanes; ++l) {
      double* out = weights + static_cast<std::size_t>(l) * count + p0;
      for (int p = 0; p < chunk; ++p)
        out[p] = kinds[p] == kDiagonal ? 1.0 : weightOf(c, strengths[p * lanes + l]);
    }
  }
}

// The weights without the engine's working memory, as the plain walk computes them.
void plainWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                  const IndexPair& pattern, double factor, double* weights) {
  for (std::int32_t j = 0; j < grid.np; ++j) {
    for (std::uint32_t k = pattern.jc[j]; k < pattern.jc[j + 1]; ++k) {
      const auto i = static_cast<std::int32_t>(pattern.ir[k]);
      *weights++ =
          i == j ? 1.0 : edgeWeight(crossingStrength(grid, magnitude, phase, j, i), factor);
    }
  }
}

}  // namespace

bool engineKernelAvailable(EngineKernel kernel) {
  switch (kernel) {
    case EngineKernel::kPlain:
      return true;
#ifdef QUORVANE_X86
    case EngineKernel::kAvx:
      return __builtin_cpu_supports("avx");
    case EngineKernel::kAvx512:
      return __builtin_cpu_supports("avx512f");
#else
    case EngineKernel::kAvx:
    case EngineKernel::kAvx512:
      return false;
#endif
  }
  return false;
}

EngineKernel bestEngineKernel() {
  if (engineKernelAvailable(EngineKernel::kAvx512))
    return EngineKernel::kAvx512;
  if (engineKernelAvailable(EngineKernel::kAvx))
    return EngineKernel::kAvx;
  return EngineKernel::kPlain;
}

void computeWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const IndexPair& pattern, double factor, double* weights, EngineKernel kernel) {
  if (!engineKernelAvailable(kernel))
    kernel = EngineKernel::kPlain;
  int lanes = 1;
  BlockKernel blockKernel = nullptr;
#ifdef QUORVANE_X86
  if (kernel == EngineKernel::kAvx512) {
    lanes = 8;
    blockKernel = walkBlockAvx512;
  } else if (kernel == EngineKernel::kAvx) {
    lanes = 4;
    blockKernel = walkBlockAvx;
  }
#endif

  Context c{};
  c.nr = grid.nr;
  c.np = grid.np;
  c.magnitude = magnitude;
  c.phase = phase;
  c.grid = grid;
  c.factor = factor;
  c.inverseRows = 1.0 / grid.nr;
  c.reachRows = std::min(kMaxReach, grid.nr - 1);
  c.reachCols = std::min(kMaxReach, grid.nc - 1);

  // Sizes of the one allocation: the offset slots, the pool of laid-out steps (each offset
  // needs as many steps as its larger coordinate) and the weight cache, which shrinks for
  // small patterns so that filling it costs no more than the call.
  const std::size_t slotCount =
      static_cast<std::size_t>(2 * c.reachRows + 1) * static_cast<std::size_t>(2 * c.reachCols + 1);
  std::size_t poolSize = 0;
  for (std::int32_t dCol = -c.reachCols; dCol <= c.reachCols; ++dCol) {
    for (std::int32_t dRow = -c.reachRows; dRow <= c.reachRows; ++dRow)
      poolSize += static_cast<std::size_t>(std::max(std::abs(dRow), std::abs(dCol)));
  }
  const std::uint32_t entries = pattern.jc[grid.np] - pattern.jc[0];
  std::uint32_t cacheSlots = 64;
  while (cacheSlots < kMaxCacheSlots && cacheSlots < entries / 8)
    cacheSlots *= 2;
  std::uint32_t cacheBits = 0;
  while ((1u << cacheBits) < cacheSlots)
    ++cacheBits;
  c.cacheShift = 64 - cacheBits;

  const std::size_t bytes = cacheSlots * (sizeof(std::uint64_t) + sizeof(double)) +
                            slotCount * sizeof(OffsetSlot) + poolSize * sizeof(std::int32_t);
  auto* memory = new (std::nothrow) unsigned char[bytes];
  if (memory == nullptr) {
    plainWeights(grid, magnitude, phase, pattern, factor, weights);
    return;
  }
  c.cacheKeys = reinterpret_cast<std::uint64_t*>(memory);
  c.cacheValues = reinterpret_cast<double*>(c.cacheKeys + cacheSlots);
  c.slots = reinterpret_cast<OffsetSlot*>(c.cacheValues + cacheSlots);
  c.pool = reinterpret_cast<std::int32_t*>(c.slots + slotCount);
  const double zeroWeight = edgeWeight(0.0, factor);
  for (std::uint32_t s = 0; s < cacheSlots; ++s) {
    c.cacheKeys[s] = 0;  // the bits of +0.0
    c.cacheValues[s] = zeroWeight;
  }
  for (std::size_t s = 0; s < slotCount; ++s)
    c.slots[s] = OffsetSlot{kNotLaidOut, 0};

  const std::uint32_t first = pattern.jc[0];
  std::int32_t row = 0, col = 0;
  for (std::int32_t j = 0; j < grid.np;) {
    double* out = weights + (pattern.jc[j] - first);
    if (lanes > 1 && row + lanes <= grid.nr && sameEntries(pattern, j, lanes)) {
      processBlock(c, pattern, j, row, col, lanes, blockKernel, out);
      j += lanes;
      row += lanes;
    } else {
      processColumn(c, pattern, j, row, col, out);
      ++j;
      ++row;
    }
    if (row == grid.nr) {
      row = 0;
      ++col;
    }
  }
  delete[] memory;
}

}  // namespace quorvane
