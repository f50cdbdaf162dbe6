// The weight engine: the same weights as the plain walk (crossingStrength, then edgeWeight for
// each entry), computed with less work.
//
// - The pixel steps of a walk depend only on the offset between its two pixels, except where
//   the minor coordinate lies within rounding distance of an integer boundary (see
//   layOutWalk). Each offset's steps are laid out once per call, as pixel-index deltas from
//   the start, and walks use them instead of recomputing coordinates.
// - Start pixels that hold the same entries (same count, each end shifted by the same amount
//   as the start) walk every shared offset together, one vector lane per start pixel. Stacked
//   down an image column, lane l reads pixel start + l + delta, so every step is one
//   contiguous vector load of the phases and one of the magnitudes; rows where the pattern
//   is cut differently from row to row (a disc at the top and bottom borders) are set side by
//   side along the row instead, with gathered loads.
// - Consecutive blocks down a column usually hold the same offsets, so the sorting of a
//   block's entries into vector walks and others (its plan) is reused when it still holds.
// - Every crossing strength is 0 or the sum of the magnitudes of one pair of 8-adjacent
//   pixels. With the AVX-512 kernel a walk keeps, besides m, which pair last replaced it (a
//   pair code: the pair's lower pixel and one of four directions). The weight of each
//   pair's sum is computed once per call, when first needed, in a table of 4 * np + 1
//   weights (the last for a zero strength); the kernel gathers its lanes' weights from it,
//   with no hashing, near their start pixels, and writes a block's weights out eight
//   positions at a time through a transpose in registers. m holds the bits of that pair's
//   sum (IEEE addition is commutative; with a NaN operand both orders give NaN), so the
//   weight is the one edgeWeight(m) gives.
// - The AVX and scalar kernels, without gathers, keep only m (tracking the pair costs them
//   more than it saves) and look weights up in a small direct-mapped cache keyed by the
//   strength's bits.
//
// Working memory: one allocation per call. With the AVX-512 kernel it holds the pair table,
// 32 bytes per pixel (small against the output, which holds at least np entries of 16 bytes
// for a pattern with the diagonal); otherwise the weight cache (at most 256 KiB, so that it
// stays in the second-level cache). Besides that at most about 440 KiB: the laid-out walks
// with their pair codes for offsets up to kMaxReach rows and columns (at most about
// 310 KiB), the offset table (about 20 KiB) and one block plan with its results (about
// 110 KiB); plus a few small arrays on the stack. No memory per entry, no threads.

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
// Entry positions of a block handled per pass (a radius-20 disc holds 1257).
constexpr std::uint32_t kPlanPositions = 1280;
constexpr int kMaxLanes = 8;

// Slot states of the offset table besides a pool index.
constexpr std::int32_t kNotLaidOut = -1;
constexpr std::int32_t kStartDependent = -2;

struct LaidOutWalk {
  const std::int32_t* deltas;  // pixel-index delta of each path pixel after the start
  const std::int32_t* pairs;   // pair code of each step, relative to the start (pairCode)
  std::int32_t length;         // number of steps
};

// A walk's result before its weight is looked up: the pair code of the step that last
// replaced the crossing strength, relative to the start pixel, or kNoPair when none did.
constexpr std::int64_t kNoPair = INT64_MIN;
constexpr double kOne = 1.0;
constexpr std::uint32_t kMaxCacheSlots = 16384;

// A weight cache slot: the strength's bits and its weight side by side, so that a lookup
// touches one cache line.
struct CacheSlot {
  std::uint64_t key;
  double value;
};

struct OffsetSlot {
  std::int32_t start;  // index into the pool, or kNotLaidOut / kStartDependent
  std::int32_t length;
};

enum PositionKind : unsigned char { kDiagonal, kVector, kLaneByLane };

// How a block's entry positions are walked: kinds[p] for every position, and the vector
// walks in position order with their positions. A plan made for stacked lanes at (row, col)
// from start pixel j holds for a later block of the same column whose entries are those of
// pixel j shifted by as many rows, as long as no vector position's end row then passes the
// column's last row (maxEndRow + shift + lanes - 1 < nr).
struct Plan {
  PositionKind* kinds;
  LaidOutWalk* walks;
  int* slots;
  std::int64_t* found;  // kPlanPositions x 8 lanes: pair codes (kNoPair: nothing crossed)
  std::uint32_t positions;
  int vectorCount;
  bool reusable;
  std::int32_t j, row, col, maxEndRow;
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
  // The pair table: the weight of pixel pair 4 * a + d (pixel a and a + pairStep[d]) once
  // computed, kUnknown bits before; slot 4 * np holds the weight of a zero strength.
  double* pairWeights;
  // Kernels without gathers (AVX, scalar) key weights by the strength's bits instead: a
  // direct-mapped cache, and walks that keep only m. byPair tells which way this call goes.
  bool byPair;
  CacheSlot* cache;
  std::uint64_t cacheMask;
  std::int32_t pairStep[4];
  double zeroWeight;
  Plan plan;
  // Where the row indices go, and the pattern's first entry.
  RowIndexSink rows;
  std::uint32_t first;
};

// Hands the row indices of start pixels j ... j + columns - 1 to the sink.
inline void copyRows(const Context& c, const IndexPair& pattern, std::int32_t j,
                     std::int32_t columns) {
  if (c.rows.copy == nullptr)
    return;
  const std::uint32_t from = pattern.jc[j], to = pattern.jc[j + columns];
  c.rows.copy(c.rows.target, pattern.ir + from, from - c.first, to - from);
}

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

// The direction part of a pair code: which of pairStep (1, nr, nr + 1, nr - 1) is the
// pixel-index distance between two 8-adjacent pixels. For nr of 1 or 2 two of these
// distances coincide; the first match is taken, and it names the same two pixels.
inline std::int32_t pairDirection(std::int32_t distance, std::int32_t nr) {
  return distance == 1 ? 0 : distance == nr ? 1 : distance == nr + 1 ? 2 : 3;
}

// The pair code of the step from pixel a to the 8-adjacent pixel b: 4 * min(a, b) plus the
// direction. Codes relative to a start pixel j (a and b as deltas from j) become table
// slots by adding 4 * j.
inline std::int32_t pairCode(std::int32_t a, std::int32_t b, std::int32_t nr) {
  return 4 * std::min(a, b) + pairDirection(std::abs(b - a), nr);
}

// Lays out the steps of the walk over offset (dRow, dCol), with the arithmetic of
// crossingStrength. The minor coordinate there is trunc(t + minor0) with
// t = slope * walked + 0.5; it equals floor(t) + minor0 for every start inside the grid
// unless t lies just below an integer: then adding the start's coordinate (below 2^31, where
// doubles are at most 2^-22 apart) may round the sum up to that integer. Such walks depend on
// the start and are refused (false); every other step is start-independent, because the gap
// to the next integer exceeds 2^-20 and the sum, being positive for pixels in the grid,
// truncates to floor(t) + minor0.
bool layOutWalk(std::int32_t dRow, std::int32_t dCol, std::int32_t nr, std::int32_t* deltas,
                std::int32_t* pairs) {
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
    pairs[n] = pairCode(n == 0 ? 0 : deltas[n - 1], deltas[n], nr);
    ++n;
  }
  return true;
}

// The laid-out walk of an offset, or length -1 when the offset lies outside the table or its
// walk depends on the start.
inline LaidOutWalk findWalk(Context& c, std::int32_t dRow, std::int32_t dCol) {
  if (dRow < -c.reachRows || dRow > c.reachRows || dCol < -c.reachCols || dCol > c.reachCols)
    return {nullptr, nullptr, -1};
  OffsetSlot& slot = c.slots[(dCol + c.reachCols) * (2 * c.reachRows + 1) + (dRow + c.reachRows)];
  if (slot.start == kNotLaidOut) {
    const std::int32_t length = std::max(std::abs(dRow), std::abs(dCol));
    std::int32_t* deltas = c.pool + c.poolUsed;
    if (layOutWalk(dRow, dCol, c.nr, deltas, deltas + length)) {
      slot.start = c.poolUsed;
      slot.length = length;
      c.poolUsed += 2 * length;
    } else {
      slot.start = kStartDependent;
    }
  }
  if (slot.start == kStartDependent)
    return {nullptr, nullptr, -1};
  return {c.pool + slot.start, c.pool + slot.start + slot.length, slot.length};
}

// The walk from pixel j along a laid-out walk: crossingStrength's loop with the pixel indices
// read from the table, keeping besides the strength m the pair code of the step that last
// replaced it (kNoPair while none has). m's bits are then those of that pair's sum, so its
// weight is the pair's. Where SSE2 is part of the baseline (every x86-64), the step is
// branch-free: a branch on whether the phase changes is mispredicted about as often as the
// phase changes.
inline std::int64_t walkPair(const Context& c, std::int32_t j, LaidOutWalk walk) {
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
#ifdef __SSE2__
  __m128d previousPhase = _mm_load_sd(phase + j);
  __m128d previousMagnitude = _mm_load_sd(magnitude + j);
  __m128d m = _mm_setzero_pd();
  // The pair code as the bits of a double, selected by the same mask as m.
  __m128d pair = _mm_castsi128_pd(_mm_cvtsi64_si128(kNoPair));
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const std::int32_t next = j + walk.deltas[s];
    const __m128d q = _mm_load_sd(phase + next);
    const __m128d g = _mm_load_sd(magnitude + next);
    const __m128d sum = _mm_add_sd(previousMagnitude, g);
    // Replaced when the phase changes (NaN counts) and !(m >= sum) (NaN m or sum counts).
    const __m128d replaced = _mm_and_pd(_mm_cmpneq_sd(q, previousPhase), _mm_cmpnge_sd(m, sum));
    m = _mm_or_pd(_mm_and_pd(replaced, sum), _mm_andnot_pd(replaced, m));
    const __m128d code = _mm_castsi128_pd(_mm_cvtsi64_si128(walk.pairs[s]));
    pair = _mm_or_pd(_mm_and_pd(replaced, code), _mm_andnot_pd(replaced, pair));
    previousPhase = q;
    previousMagnitude = g;
  }
  return _mm_cvtsi128_si64(_mm_castpd_si128(pair));
#else
  std::int64_t pair = kNoPair;
  double previousPhase = phase[j];
  double previousMagnitude = magnitude[j];
  double m = 0.0;
  for (std::int32_t s = 0; s < walk.length; ++s) {
    const std::int32_t next = j + walk.deltas[s];
    const double q = phase[next];
    const double g = magnitude[next];
    if (q != previousPhase) {
      const double sum = previousMagnitude + g;
      if (!(m >= sum)) {
        m = sum;
        pair = walk.pairs[s];
      }
    }
    previousPhase = q;
    previousMagnitude = g;
  }
  return pair;
#endif
}

// The pair-table slot of a walk's result for start pixel j.
inline std::int64_t pairSlot(const Context& c, std::int32_t j, std::int64_t pair) {
  return pair == kNoPair ? 4 * static_cast<std::int64_t>(c.np)
                         : 4 * static_cast<std::int64_t>(j) + pair;
}

// crossingStrength's walk (for walks that depend on the start or lie beyond the laid-out
// reach), returning the pair-table slot of its strength.
std::int64_t crossingSlot(const Context& c, std::int32_t j, std::int32_t i) {
  std::int64_t slot = 4 * static_cast<std::int64_t>(c.np);
  walkCrossings(c.grid, c.magnitude, c.phase, j, i, [&](std::int32_t current, std::int32_t next) {
    slot = 4 * static_cast<std::int64_t>(std::min(current, next)) +
           pairDirection(std::abs(next - current), c.nr);
  });
  return slot;
}

// Pair-table slot of one entry's strength, start j at (rowJ, colJ), end i != j.
inline std::int64_t entrySlot(Context& c, std::int32_t j, std::int32_t rowJ, std::int32_t colJ,
                              std::int32_t i) {
  std::int32_t rowI, colI;
  splitPixel(c, i, rowI, colI);
  const LaidOutWalk walk = findWalk(c, rowI - rowJ, colI - colJ);
  if (walk.length >= 0)
    return pairSlot(c, j, walkPair(c, j, walk));
  return crossingSlot(c, j, i);
}

// Bits of a pair-table slot whose weight is not known yet (all ones, a NaN). A weight can
// have these bits too; such a slot is only computed again, with the same result.
constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

// The weight of the strength in pair-table slot `slot`: edgeWeight of the pair's sum (the
// same value as the walk's m; IEEE addition is commutative, NaN staying NaN), computed on
// first use.
inline double slotWeight(const Context& c, std::int64_t slot) {
  double w = c.pairWeights[slot];
  std::uint64_t bits;
  std::memcpy(&bits, &w, sizeof bits);
  if (__builtin_expect(bits != kUnknown, 1))
    return w;
  if (slot == 4 * static_cast<std::int64_t>(c.np)) {
    w = c.zeroWeight;
  } else {
    const std::int64_t a = slot >> 2;
    w = edgeWeight(c.magnitude[a] + c.magnitude[a + c.pairStep[slot & 3]], c.factor);
  }
  c.pairWeights[slot] = w;
  return w;
}

// The crossing strength along a laid-out walk from pixel j: crossingStrength's loop with the
// pixel indices read from the table. Where SSE2 is part of the baseline (every x86-64), the
// step is branch-free, as in the vector kernels below (see there why max and then a select
// give the same weights): a branch on whether the phase changes is mispredicted about as
// often as the phase changes.
inline double walkStrength(const Context& c, std::int32_t j, LaidOutWalk walk) {
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
#ifdef __SSE2__
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
inline double entryStrength(Context& c, std::int32_t j, std::int32_t rowJ, std::int32_t colJ,
                            std::int32_t i) {
  std::int32_t rowI, colI;
  splitPixel(c, i, rowI, colI);
  const LaidOutWalk walk = findWalk(c, rowI - rowJ, colI - colJ);
  if (walk.length >= 0)
    return walkStrength(c, j, walk);
  return crossingStrength(c.grid, c.magnitude, c.phase, j, i);
}

// The cache slot of a strength: its bits folded, the low mantissa bits (which differ most
// between sums of magnitudes) mixed with the exponent and high mantissa.
inline std::uint64_t cacheSlotOf(const Context& c, std::uint64_t bits) {
  return (bits ^ (bits >> 13) ^ (bits >> 31)) & c.cacheMask;
}

// edgeWeight(m, factor), from the cache when the same strength (same bits) came before.
// Every slot starts valid, holding the weight of +0.0.
inline double weightOf(const Context& c, double m) {
  std::uint64_t bits;
  std::memcpy(&bits, &m, sizeof bits);
  CacheSlot& slot = c.cache[cacheSlotOf(c, bits)];
  if (slot.key == bits)
    return slot.value;
  const double w = edgeWeight(m, c.factor);
  slot.key = bits;
  slot.value = w;
  return w;
}

// The weight of one entry, start j at (row, col), end i != j, the way this call goes.
inline double entryWeight(Context& c, std::int32_t j, std::int32_t row, std::int32_t col,
                          std::int32_t i) {
  return c.byPair ? slotWeight(c, entrySlot(c, j, row, col, i))
                  : weightOf(c, entryStrength(c, j, row, col, i));
}

// One start pixel j at (row, col), entry by entry.
void processColumn(Context& c, const IndexPair& pattern, std::int32_t j, std::int32_t row,
                   std::int32_t col, double* weights) {
  const std::uint32_t end = pattern.jc[j + 1];
  for (std::uint32_t k = pattern.jc[j]; k < end; ++k) {
    const auto i = static_cast<std::int32_t>(pattern.ir[k]);
    *weights++ = i == j ? 1.0 : entryWeight(c, j, row, col, i);
  }
  copyRows(c, pattern, j, 1);
}

// Whether b[p] + shift == a[p] for p < count (unsigned 32-bit arithmetic).
bool sameShifted(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                 std::uint32_t shift) {
  for (std::uint32_t p0 = 0; p0 < count; p0 += 64) {
    const std::uint32_t end = std::min(count, p0 + 64);
    std::uint32_t differ = 0;
    for (std::uint32_t p = p0; p < end; ++p)
      differ |= a[p] ^ (b[p] + shift);
    if (differ != 0)
      return false;
  }
  return true;
}

// Walks laid-out walks for `lanes` start pixels at once, lane l starting at pixel
// stride * l after the first, writing for walk w, lane l, to
// found[slots[w] * lanes + l] the pair code of its strength relative to the lane's start
// pixel (kNoPair: nothing crossed). phase and magnitude point at the first start pixel.
// Kernels that weigh (Kernels::weighs) write instead the weight itself, as the bits of a double.
using BlockKernel = void (*)(const Context& c, std::int32_t j, std::int32_t stride,
                             unsigned laneMask, const LaidOutWalk* walks, const int* slots,
                             int count, std::int64_t* found);
using CompareKernel = bool (*)(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                               std::uint32_t shift);

struct Kernels {
  int lanes = 1;       // stacked lanes; 1 without vector kernels
  int groupLanes = 1;  // side-by-side lanes; 1 without a row kernel
  BlockKernel stacked = nullptr, sideBySide = nullptr;
  bool weighs = false;  // the block kernels write weights, not pair codes
  CompareKernel compare = sameShifted;
};

// Whether start pixels j, j + stride, ..., j + (lanes - 1) * stride hold the same number of
// entries and entry p of each is entry p of pixel j shifted by the same amount.
bool sameEntries(const Kernels& k, const IndexPair& pattern, std::int32_t j, std::int32_t stride,
                 int lanes) {
  const std::uint32_t* jc = pattern.jc;
  const std::uint32_t count = jc[j + 1] - jc[j];
  for (int l = 1; l < lanes; ++l) {
    const std::int32_t start = j + l * stride;
    if (jc[start + 1] - jc[start] != count)
      return false;
  }
  for (int l = 1; l < lanes; ++l) {
    if (!k.compare(pattern.ir + jc[j + l * stride], pattern.ir + jc[j], count,
                   static_cast<std::uint32_t>(l * stride)))
      return false;
  }
  return true;
}

// The lanes among `candidates` (bit l: start pixel j + l * stride) whose entries are those
// of lane `ref` shifted by their distance from it; ref itself included.
unsigned agreeingLanes(const Kernels& k, const IndexPair& pattern, std::int32_t j,
                       std::int32_t stride, int lanes, unsigned candidates, int ref) {
  const std::uint32_t* jc = pattern.jc;
  const std::int32_t jRef = j + ref * stride;
  const std::uint32_t count = jc[jRef + 1] - jc[jRef];
  unsigned agree = 1u << ref;
  for (int l = 0; l < lanes; ++l) {
    const std::int32_t start = j + l * stride;
    if (l == ref || !(candidates & (1u << l)) || jc[start + 1] - jc[start] != count)
      continue;
    if (k.compare(pattern.ir + jc[start], pattern.ir + jc[jRef], count,
                  static_cast<std::uint32_t>((l - ref) * stride)))
      agree |= 1u << l;
  }
  return agree;
}

#ifdef QUORVANE_X86
// The vector step is the written one, lane by lane: a lane's strength m is replaced by the
// sum when the phase changes (q != previous, or either NaN: unordered not-equal) and
// !(m >= sum) (not-greater-or-equal, unordered: true when either is NaN); the lane's pair
// code follows each replacement.
//
// These functions carry their instruction set as a target attribute, so the rest of the
// library builds for the baseline processor and runs them only after the run-time check.
// Nothing here multiplies and adds in one expression, so no fused multiply-add can arise.

// Weights of the lanes in `on` from their pair codes (slotBase: 4 * each lane's start
// pixel), gathered from the pair table; the few not known yet are computed one by one.
// Writes them to out[0 .. 7] as bits of doubles.
__attribute__((target("avx512f"))) inline void weighLanes(const Context& c, __m512i pair,
                                                          __m512i slotBase, __mmask8 on,
                                                          std::int64_t* out) {
  const __m512i none = _mm512_set1_epi64(kNoPair);
  const __m512i slot =
      _mm512_mask_mov_epi64(_mm512_add_epi64(slotBase, pair), _mm512_cmpeq_epi64_mask(pair, none),
                            _mm512_set1_epi64(4 * static_cast<std::int64_t>(c.np)));
  const __m512i w = _mm512_castpd_si512(
      _mm512_mask_i64gather_pd(_mm512_setzero_pd(), on, slot, c.pairWeights, 8));
  _mm512_storeu_si512(out, w);
  unsigned unknown = _mm512_mask_cmpeq_epi64_mask(on, w, _mm512_set1_epi64(-1));
  if (__builtin_expect(unknown != 0, 0)) {
    alignas(64) std::int64_t slots[8];
    _mm512_store_si512(slots, slot);
    for (; unknown != 0; unknown &= unknown - 1) {
      const int l = __builtin_ctz(unknown);
      const double weight = slotWeight(c, slots[l]);
      std::memcpy(out + l, &weight, sizeof weight);
    }
  }
}

// Writes the weights of eight lanes, found[p * 8 + l] for positions p < count, to out[l][p]:
// eight positions at a time as an 8 x 8 transpose in registers. (The zero-masking forms
// with a full mask are the plain instructions; the unmasked intrinsics make GCC 12 warn
// about their undefined pass-through operand.)
__attribute__((target("avx512f"))) void transposeWeights(const std::int64_t* found,
                                                         std::uint32_t count, double* const* out) {
  const auto* from = reinterpret_cast<const double*>(found);
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

// Stacked start pixels (stride 1): contiguous loads.
// The AVX kernel keeps only the strengths (Context::byPair is false), as doubles in found:
// a lane changes when q != previous or either is NaN (unordered not-equal), and then takes
// max(m, sum), which is sum unless m > sum, where the written rule takes sum unless
// m >= sum. The two differ only when m == sum, that is for the same value or for +0.0
// against -0.0, and a zero strength of either sign gives the same weight bits (its square is
// -0.0 either way) and the same later comparisons.
__attribute__((target("avx"))) void walkBlockAvx(const Context& c, std::int32_t j,
                                                 std::int32_t /*stride*/, unsigned /*laneMask*/,
                                                 const LaidOutWalk* walks, const int* slots,
                                                 int count, std::int64_t* found) {
  const double* phase = c.phase + j;
  const double* magnitude = c.magnitude + j;
  auto* strengths = reinterpret_cast<double*>(found);
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
      // A select by masks: GCC 12 turns blendv on a comparison's result into a branch
      // per lane here.
      m = _mm256_or_pd(_mm256_and_pd(changed, larger), _mm256_andnot_pd(changed, m));
      previousPhase = q;
      previousMagnitude = g;
    }
    _mm256_storeu_pd(strengths + slots[w] * 4, m);
  }
}

__attribute__((target("avx512f"))) void walkBlockAvx512(const Context& c, std::int32_t j,
                                                        std::int32_t /*stride*/,
                                                        unsigned /*laneMask*/,
                                                        const LaidOutWalk* walks, const int* slots,
                                                        int count, std::int64_t* found) {
  const double* phase = c.phase + j;
  const double* magnitude = c.magnitude + j;
  const __m512i slotBase = _mm512_add_epi64(_mm512_set1_epi64(4 * static_cast<std::int64_t>(j)),
                                            _mm512_set_epi64(28, 24, 20, 16, 12, 8, 4, 0));
  const __m512d startPhase = _mm512_loadu_pd(phase);
  const __m512d startMagnitude = _mm512_loadu_pd(magnitude);
  const __m512i none = _mm512_set1_epi64(kNoPair);
  for (int w = 0; w < count; ++w) {
    const std::int32_t* deltas = walks[w].deltas;
    const std::int32_t* pairs = walks[w].pairs;
    __m512d previousPhase = startPhase, previousMagnitude = startMagnitude;
    __m512d m = _mm512_setzero_pd();
    __m512i pair = none;
    for (std::int32_t s = 0; s < walks[w].length; ++s) {
      const __m512d q = _mm512_loadu_pd(phase + deltas[s]);
      const __m512d g = _mm512_loadu_pd(magnitude + deltas[s]);
      const __m512d sum = _mm512_add_pd(previousMagnitude, g);
      const __mmask8 changed = _mm512_cmp_pd_mask(q, previousPhase, _CMP_NEQ_UQ);
      const __mmask8 replaced = _mm512_mask_cmp_pd_mask(changed, m, sum, _CMP_NGE_UQ);
      m = _mm512_mask_mov_pd(m, replaced, sum);
      pair = _mm512_mask_mov_epi64(pair, replaced, _mm512_set1_epi64(pairs[s]));
      previousPhase = q;
      previousMagnitude = g;
    }
    weighLanes(c, pair, slotBase, 0xff, found + slots[w] * 8);
  }
}

// Start pixels side by side in a row (stride nr): the same step, with gathered loads.
__attribute__((target("avx512f"))) void walkRowAvx512(const Context& c, std::int32_t j,
                                                      std::int32_t stride, unsigned laneMask,
                                                      const LaidOutWalk* walks, const int* slots,
                                                      int count, std::int64_t* found) {
  const double* phase = c.phase + j;
  const double* magnitude = c.magnitude + j;
  const std::int64_t s4 = 4 * static_cast<std::int64_t>(stride);
  const __m512i slotBase =
      _mm512_add_epi64(_mm512_set1_epi64(4 * static_cast<std::int64_t>(j)),
                       _mm512_set_epi64(7 * s4, 6 * s4, 5 * s4, 4 * s4, 3 * s4, 2 * s4, s4, 0));
  const __m256i lanes = _mm256_set_epi32(7 * stride, 6 * stride, 5 * stride, 4 * stride, 3 * stride,
                                         2 * stride, stride, 0);
  // Lanes outside the mask load nothing (their start pixels may not share the walk).
  const auto on = static_cast<__mmask8>(laneMask);
  const __m512d zero = _mm512_setzero_pd();
  const __m512i none = _mm512_set1_epi64(kNoPair);
  const __m512d startPhase = _mm512_mask_i32gather_pd(zero, on, lanes, phase, 8);
  const __m512d startMagnitude = _mm512_mask_i32gather_pd(zero, on, lanes, magnitude, 8);
  for (int w = 0; w < count; ++w) {
    const std::int32_t* deltas = walks[w].deltas;
    const std::int32_t* pairs = walks[w].pairs;
    __m512d previousPhase = startPhase, previousMagnitude = startMagnitude;
    __m512d m = _mm512_setzero_pd();
    __m512i pair = none;
    for (std::int32_t s = 0; s < walks[w].length; ++s) {
      const __m512d q = _mm512_mask_i32gather_pd(zero, on, lanes, phase + deltas[s], 8);
      const __m512d g = _mm512_mask_i32gather_pd(zero, on, lanes, magnitude + deltas[s], 8);
      const __m512d sum = _mm512_add_pd(previousMagnitude, g);
      const __mmask8 changed = _mm512_cmp_pd_mask(q, previousPhase, _CMP_NEQ_UQ);
      const __mmask8 replaced = _mm512_mask_cmp_pd_mask(changed, m, sum, _CMP_NGE_UQ);
      m = _mm512_mask_mov_pd(m, replaced, sum);
      pair = _mm512_mask_mov_epi64(pair, replaced, _mm512_set1_epi64(pairs[s]));
      previousPhase = q;
      previousMagnitude = g;
    }
    weighLanes(c, pair, slotBase, on, found + slots[w] * 8);
  }
}

__attribute__((target("avx512f"))) bool sameShiftedAvx512(const std::uint32_t* a,
                                                          const std::uint32_t* b,
                                                          std::uint32_t count,
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
#endif

// A block of start pixels with the same entries (sameEntries): lane l starts at pixel
// j + l * stride, where stride 1 stacks the lanes down an image column from (row, col) and
// stride nr sets them side by side along a row. Only the lanes in laneMask take part; their
// entries are those of lane `ref` shifted by their distance from it. Entry positions whose
// offset is the same for every lane and has a laid-out walk go through the kernel; the rest
// walk lane by lane. weights points at the weight of pattern entry `first`.
void processBlock(Context& c, const Kernels& k, const IndexPair& pattern, std::int32_t j,
                  std::int32_t row, std::int32_t col, std::int32_t stride, int lanes,
                  unsigned laneMask, int ref, std::uint32_t first, double* weights) {
  Plan& plan = c.plan;
  double* outs[kMaxLanes];
  for (int l = 0; l < lanes; ++l)
    outs[l] = weights + (pattern.jc[j + l * stride] - first);
  const bool stacked = stride == 1;
  const std::int32_t rowStep = stacked ? 1 : 0, colStep = 1 - rowStep;
  const BlockKernel kernel = stacked ? k.stacked : k.sideBySide;
  // The reference lane's start pixel and coordinates.
  const std::int32_t jRef = j + ref * stride;
  const std::int32_t rowRef = row + ref * rowStep, colRef = col + ref * colStep;

  const std::uint32_t count = pattern.jc[jRef + 1] - pattern.jc[jRef];
  const std::uint32_t* ends = pattern.ir + pattern.jc[jRef];
  for (std::uint32_t p0 = 0; p0 < count; p0 += kPlanPositions) {
    const std::uint32_t chunk = std::min(kPlanPositions, count - p0);
    const std::int32_t shift = row - plan.row;
    const bool reuse = stacked && ref == 0 && count <= kPlanPositions && plan.reusable &&
                       plan.col == col && plan.positions == count &&
                       plan.maxEndRow + shift + lanes - 1 < c.nr &&
                       k.compare(ends, pattern.ir + pattern.jc[plan.j], count,
                                 static_cast<std::uint32_t>(j - plan.j));
    if (!reuse) {
      plan.vectorCount = 0;
      plan.maxEndRow = -1;
      for (std::uint32_t p = 0; p < chunk; ++p) {
        const auto i = static_cast<std::int32_t>(ends[p0 + p]);
        plan.kinds[p] = kLaneByLane;
        if (i == jRef) {
          plan.kinds[p] = kDiagonal;
          // Weighing kernels leave these positions alone: their weight stays with the plan.
          for (int l = 0; l < lanes && k.weighs; ++l)
            std::memcpy(plan.found + p * lanes + l, &kOne, sizeof kOne);
          continue;
        }
        std::int32_t rowI, colI;
        splitPixel(c, i, rowI, colI);
        // Stacked lanes' ends must not wrap into the next image column. Side by side, lane
        // l's end is the pattern's entry i + l * nr, in the grid, so in the same row.
        if (rowI + rowStep * (lanes - 1) >= c.nr)
          continue;
        const LaidOutWalk walk = findWalk(c, rowI - rowRef, colI - colRef);
        if (walk.length < 0)
          continue;
        plan.kinds[p] = kVector;
        plan.walks[plan.vectorCount] = walk;
        plan.slots[plan.vectorCount++] = static_cast<int>(p);
        plan.maxEndRow = std::max(plan.maxEndRow, rowI);
      }
      plan.positions = chunk;
      plan.reusable = stacked && ref == 0 && count <= kPlanPositions;
      plan.j = j;
      plan.row = row;
      plan.col = col;
    }
    std::int64_t* found = plan.found;
    kernel(c, j, stride, laneMask, plan.walks, plan.slots, plan.vectorCount, found);
    for (std::uint32_t p = 0; p < chunk; ++p) {
      if (plan.kinds[p] != kLaneByLane)
        continue;
      const auto i = static_cast<std::int32_t>(ends[p0 + p]);
      for (int l = 0; l < lanes; ++l) {
        if (laneMask & (1u << l)) {
          // The weight itself, as the bits of a double, whatever the kernel writes.
          const double w = entryWeight(c, j + l * stride, row + l * rowStep, col + l * colStep,
                                       i + (l - ref) * stride);
          std::memcpy(found + p * lanes + l, &w, sizeof w);
        }
      }
    }
    // Weights straight into each lane's stretch of the output.
#ifdef QUORVANE_X86
    if (k.weighs && lanes == 8 && laneMask == 0xff) {
      double* laneOuts[8];
      for (int l = 0; l < 8; ++l)
        laneOuts[l] = outs[l] + p0;
      transposeWeights(found, chunk, laneOuts);
      continue;
    }
#endif
    for (int l = 0; l < lanes; ++l) {
      if (!(laneMask & (1u << l)))
        continue;
      double* out = outs[l] + p0;
      if (k.weighs) {
        for (std::uint32_t p = 0; p < chunk; ++p)
          std::memcpy(out + p, found + p * lanes + l, sizeof(double));
      } else {
        // Strengths at vector positions, weights at the others.
        for (std::uint32_t p = 0; p < chunk; ++p) {
          double value;
          std::memcpy(&value, found + p * lanes + l, sizeof value);
          out[p] = plan.kinds[p] == kDiagonal ? 1.0
                   : plan.kinds[p] == kVector ? weightOf(c, value)
                                              : value;
        }
      }
    }
  }
  if (stacked) {
    copyRows(c, pattern, j, lanes);
  } else {
    for (int l = 0; l < lanes; ++l) {
      if (laneMask & (1u << l))
        copyRows(c, pattern, j + l * stride, 1);
    }
  }
}

// The weights without the engine's working memory, as the plain walk computes them.
void plainWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                  const IndexPair& pattern, double factor, double* weights, RowIndexSink rows) {
  const std::uint32_t first = pattern.jc[0], last = pattern.jc[grid.np];
  if (rows.copy != nullptr)
    rows.copy(rows.target, pattern.ir + first, 0, last - first);
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
#ifdef QUORVANE_X86
  // The processor's features as the compiler's runtime reads them (including whether the
  // operating system saves the wide registers); cheap after the first call.
  __builtin_cpu_init();
#endif
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
                    const IndexPair& pattern, double factor, double* weights, EngineKernel kernel,
                    RowIndexSink rows) {
  if (!engineKernelAvailable(kernel))
    kernel = EngineKernel::kPlain;
  // The AVX-512 kernel weighs by pair, and pair codes are 32-bit: 4 * np + 4 must stay below
  // 2^31. Larger grids walk with the AVX kernel, which keys weights by strength.
  if (kernel == EngineKernel::kAvx512 && grid.np > (std::int32_t{1} << 28))
    kernel = EngineKernel::kAvx;
  Kernels k;
#ifdef QUORVANE_X86
  if (kernel == EngineKernel::kAvx512) {
    k.lanes = k.groupLanes = 8;
    k.stacked = walkBlockAvx512;
    k.sideBySide = walkRowAvx512;
    k.compare = sameShiftedAvx512;
    k.weighs = true;
  } else if (kernel == EngineKernel::kAvx) {
    k.lanes = 4;
    k.stacked = walkBlockAvx;
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
  c.rows = rows;
  c.first = pattern.jc[0];
  c.reachRows = std::min(kMaxReach, grid.nr - 1);
  c.reachCols = std::min(kMaxReach, grid.nc - 1);

  c.byPair = k.weighs;
  // Sizes of the one allocation: the pair table (4 * np + 1 weights) or the weight cache
  // (which shrinks for small patterns so that filling it costs no more than the call), the
  // offset slots, the pool of laid-out steps (each offset needs as many steps and pair codes
  // as its larger coordinate) and the plan.
  const std::size_t slotCount =
      static_cast<std::size_t>(2 * c.reachRows + 1) * static_cast<std::size_t>(2 * c.reachCols + 1);
  std::size_t poolSize = 0;
  for (std::int32_t dCol = -c.reachCols; dCol <= c.reachCols; ++dCol) {
    for (std::int32_t dRow = -c.reachRows; dRow <= c.reachRows; ++dRow)
      poolSize += 2 * static_cast<std::size_t>(std::max(std::abs(dRow), std::abs(dCol)));
  }
  const std::size_t pairSlots = c.byPair ? 4 * static_cast<std::size_t>(grid.np) + 1 : 0;
  const std::uint32_t entries = pattern.jc[grid.np] - pattern.jc[0];
  std::uint32_t cacheSlots = 0;
  if (!c.byPair) {
    cacheSlots = 64;
    while (cacheSlots < kMaxCacheSlots && cacheSlots < entries / 8)
      cacheSlots *= 2;
  }
  c.cacheMask = cacheSlots - 1;
  const std::size_t planPositions = k.lanes > 1 ? kPlanPositions : 0;

  const std::size_t bytes =
      pairSlots * sizeof(double) + cacheSlots * sizeof(CacheSlot) +
      planPositions * (kMaxLanes * sizeof(std::int64_t) + sizeof(LaidOutWalk) + sizeof(int) +
                       sizeof(PositionKind)) +
      slotCount * sizeof(OffsetSlot) + poolSize * sizeof(std::int32_t);
  auto* memory = new (std::nothrow) unsigned char[bytes];
  if (memory == nullptr) {
    plainWeights(grid, magnitude, phase, pattern, factor, weights, rows);
    return;
  }
  // Carved in order of alignment: 8-byte items first.
  c.pairWeights = reinterpret_cast<double*>(memory);
  c.cache = reinterpret_cast<CacheSlot*>(c.pairWeights + pairSlots);
  c.plan.found = reinterpret_cast<std::int64_t*>(c.cache + cacheSlots);
  c.plan.walks = reinterpret_cast<LaidOutWalk*>(c.plan.found + planPositions * kMaxLanes);
  c.slots = reinterpret_cast<OffsetSlot*>(c.plan.walks + planPositions);
  c.pool = reinterpret_cast<std::int32_t*>(c.slots + slotCount);
  c.plan.slots = c.pool + poolSize;
  c.plan.kinds = reinterpret_cast<PositionKind*>(c.plan.slots + planPositions);
  c.plan.reusable = false;

  c.zeroWeight = edgeWeight(0.0, factor);
  c.pairStep[0] = 1;
  c.pairStep[1] = grid.nr;
  c.pairStep[2] = grid.nr + 1;
  c.pairStep[3] = grid.nr - 1;
  std::memset(c.pairWeights, 0xff, pairSlots * sizeof(double));  // every byte of kUnknown
  for (std::uint32_t s = 0; s < cacheSlots; ++s)
    c.cache[s] = CacheSlot{0, c.zeroWeight};  // 0: the bits of +0.0
  for (std::size_t s = 0; s < slotCount; ++s)
    c.slots[s] = OffsetSlot{kNotLaidOut, 0};

  // Image columns go in groups of `lanes` (or one at a time without a row kernel). In each
  // column, start pixels are stacked into blocks wherever their entries agree; the rows above
  // the first block and below the last one (where a disc is cut by the image border, each
  // row differently) wait until the group's columns are done, and are then set side by side
  // across the group when their entries agree, or walked one by one.
  const std::uint32_t first = pattern.jc[0];
  const std::int32_t nr = grid.nr;
  for (std::int32_t col0 = 0, group = 1; col0 < grid.nc; col0 += group) {
    group = col0 + k.groupLanes <= grid.nc ? k.groupLanes : 1;
    std::int32_t waitAbove[kMaxLanes], waitBelow[kMaxLanes];
    for (int g = 0; g < group; ++g) {
      const std::int32_t col = col0 + g;
      std::int32_t firstBlock = -1, afterLast = 0;
      for (std::int32_t row = 0; row < nr;) {
        const std::int32_t j = row + col * nr;
        if (k.lanes > 1 && row + k.lanes <= nr && sameEntries(k, pattern, j, 1, k.lanes)) {
          // Rows above the first block wait for the border pass; rows between two blocks
          // are walked now.
          if (firstBlock < 0) {
            firstBlock = row;
          } else {
            for (std::int32_t r = afterLast; r < row; ++r)
              processColumn(c, pattern, r + col * nr, r, col,
                            weights + (pattern.jc[r + col * nr] - first));
          }
          processBlock(c, k, pattern, j, row, col, 1, k.lanes, (1u << k.lanes) - 1, 0, first,
                       weights);
          row += k.lanes;
          afterLast = row;
        } else {
          ++row;
        }
      }
      if (firstBlock < 0)
        firstBlock = afterLast = nr;
      waitAbove[g] = firstBlock;
      waitBelow[g] = afterLast;
    }
    std::int32_t above = 0, below = nr;
    for (int g = 0; g < group; ++g) {
      above = std::max(above, waitAbove[g]);
      below = std::min(below, waitBelow[g]);
    }
    for (std::int32_t row = 0; row < nr; ++row) {
      if (row == above && below > above) {
        row = below - 1;  // no column waits in between: go on at row `below`
        continue;
      }
      const std::int32_t j = row + col0 * nr;
      unsigned waiting = 0;
      for (int g = 0; g < group; ++g) {
        if (row < waitAbove[g] || row >= waitBelow[g])
          waiting |= 1u << g;
      }
      const unsigned all = (1u << group) - 1;
      unsigned together = 0;
      int ref = 0;
      if (group > 1 && waiting == all && sameEntries(k, pattern, j, nr, group)) {
        together = all;
      } else if (group > 1 && waiting != 0) {
        // Near a corner the columns of a group differ: set side by side those that agree
        // with the first or with the last waiting column, whichever more do.
        for (int candidate : {__builtin_ctz(waiting), 31 - __builtin_clz(waiting)}) {
          const unsigned agree = agreeingLanes(k, pattern, j, nr, group, waiting, candidate);
          if (__builtin_popcount(agree) > __builtin_popcount(together)) {
            together = agree;
            ref = candidate;
          }
        }
        if (__builtin_popcount(together) < 2)
          together = 0;
      }
      if (together != 0)
        processBlock(c, k, pattern, j, row, col0, nr, group, together, ref, first, weights);
      for (int g = 0; g < group; ++g) {
        if ((waiting & ~together) & (1u << g))
          processColumn(c, pattern, j + g * nr, row, col0 + g,
                        weights + (pattern.jc[j + g * nr] - first));
      }
    }
  }
  delete[] memory;
}

}  // namespace quorvane
