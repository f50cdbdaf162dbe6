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
//   contiguous vector load per table; rows where the pattern is cut differently from row to
//   row (a disc at the top and bottom borders) are set side by side along the row instead,
//   with gathered loads.
// - Consecutive blocks down a column usually hold the same offsets, so the sorting of a
//   block's entries into vector walks and others (its plan) is reused when it still holds.
// - Every crossing strength is 0 or the sum of the magnitudes of one pair of 8-adjacent
//   pixels whose phases differ. Unless some such sum is NaN, the engine tabulates once per
//   call, for every pixel and four directions (down, right, down-right, up-right), the sum of
//   the pair where it can raise a strength (phases differ and the sum is above zero; -inf
//   elsewhere) and the weight of that sum: the edge tables. Without NaN the written step
//   (take the sum when the phase changes and !(m >= sum)) is "take the tabulated value when
//   it exceeds m": m starts at +0.0 and only grows, so sums at or below zero (either zero
//   included) never replace it, and an equal value has the same bits and so the same weight.
//   A walk then keeps m and the weight of the pair that gave it: per step one load and one
//   comparison, and a load of the weight where m grows; no exp and no lookup per entry. The
//   tabulated sum has the bits of the walk's sum (IEEE addition is commutative), so the
//   weight is the one edgeWeight(m) gives. In the direction-major layout (index
//   direction * np + lower pixel of the pair) stacked lanes read neighbouring table entries.
// - With a NaN sum the order of the crossings matters (a NaN m is replaced by the next sum,
//   whatever its size), and for patterns of less than two entries per pixel the tables would
//   cost more than they save. Those calls walk the phases and magnitudes, keep only m, and
//   look weights up in a small direct-mapped cache keyed by the strength's bits.
//
// Working memory: one allocation per call. With the edge tables it holds them, 68 bytes per
// pixel with a list used while filling them (against an output of at least 32 bytes per
// pixel, as such patterns hold two entries of 16 bytes per pixel or more). Besides that at
// most about 880 KiB: the weight cache (at most 256 KiB, so that it stays in the
// second-level cache; there in every call, for calls whose tables meet a NaN sum), the
// laid-out walks with their table steps for offsets up to kMaxReach rows and columns (at
// most about 310 KiB), the offset table (about 20 KiB) and one block plan with its program,
// results and stage (about 290 KiB); plus a few small arrays on the stack. No memory per
// entry, no threads.

#include "weight_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
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
// Outputs of this many bytes or more are written with streamed stores: they do not stay in
// the caches anyway.
constexpr std::uint64_t kStreamBytes = std::uint64_t{16} << 20;
// The edge tables need a pattern of at least this many entries per pixel, and table indices
// (4 * np) in 32 bits with room to spare.
constexpr std::uint32_t kTableEntriesPerPixel = 2;
constexpr std::int32_t kMaxTablePixels = std::int32_t{1} << 28;

// Slot states of the offset table besides a pool index.
constexpr std::int32_t kNotLaidOut = -1;
constexpr std::int32_t kStartDependent = -2;

struct LaidOutWalk {
  const std::int32_t* deltas;  // pixel-index delta of each path pixel after the start
  const std::int32_t* edges;   // edge-table index of each step, relative to the start pixel
  std::int32_t length;         // number of steps
};

constexpr double kNoEdge = -std::numeric_limits<double>::infinity();
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
// walks as a program for the block kernels, which read it front to back.
// - Without the tables: each walk in position order as its position, its number of steps
//   and its pixel deltas.
// - With the tables the state of a walk after s steps (m and its weight) depends only on
//   the table entries of those steps, and walks to nearby offsets often begin with the same
//   steps (a radius-15 disc's 708 walks take 6372 steps, of which 1712 differ as prefixes).
//   The program holds one step per node of the walks' prefix tree: its edge-table index and
//   its depth d, which takes the state at depth d - 1 and leaves the state at depth d; a
//   walk's last step also names its position. Nodes come in the walks' order, each walk
//   adding the steps it does not share with the walk before it; stacked plans, which are
//   reused, order the walks by their steps so that neighbours share the most.
// A plan made for stacked lanes at row `row` from start pixel j holds for a later block
// whose entries are those of pixel j shifted by as many pixels, as long as every vector
// position's end row stays inside the image column (minEndRow + shift >= 0 and
// maxEndRow + shift + lanes - 1 < nr, shift being the difference in rows): the offsets of
// the ends are then the same.
struct Plan {
  PositionKind* kinds;
  std::int32_t* program;  // kPlanPositions x 2 x kMaxReach at most
  // (kPlanPositions + 1) x 8 lanes: weights (edge tables) or strengths (cache); the last row
  // takes what steps inside a walk write.
  double* found;
  // While the program is made: the vector walks and their positions (kPlanPositions each,
  // and as much again to sort them).
  LaidOutWalk* walks;
  std::int32_t* order;
  std::uint32_t positions;
  int vectorCount, programSize, programCount;
  bool reusable;
  std::int32_t j, row, minEndRow, maxEndRow;
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
  // The edge tables (byTable): for pair index d * np + a, pixels a and a + pairStep[d], the
  // sum that can raise a strength (kNoEdge if none) and its weight.
  bool byTable;
  const double* edgeSums;
  const double* edgeWeights;
  std::int32_t pairStep[4];
  // Otherwise weights keyed by the strength's bits: a direct-mapped cache.
  CacheSlot* cache;
  std::uint64_t cacheMask;
  double zeroWeight;
  Plan plan;
  // Where the row indices go, and the pattern's first entry.
  RowIndexOutput rows;
  std::uint32_t first;
  // Large outputs: stacked blocks gather their weights in the stage (kMaxLanes x
  // kPlanPositions) and stream them out with their row indices.
  bool stream;
  double* stage;
};

// Writes the row indices of start pixels j ... j + columns - 1 (streaming calls write them
// in the column scan instead, see computeWeights).
inline void writeRows(const Context& c, const IndexPair& pattern, std::int32_t j,
                      std::int32_t columns) {
  if (c.rows.target == nullptr || c.stream)
    return;
  const std::uint32_t from = pattern.jc[j], to = pattern.jc[j + columns];
  copyRowIndices(c.rows, from - c.first, pattern.ir + from, to - from);
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

// Fills the edge tables (see the top of this file); false, with the tables unfinished, when
// a pair whose phases differ has a NaN sum. Pairs that no walk takes (those that wrap from
// an image column's last row to the next column, and for nr == 1 the zero step of the last
// direction) are tabulated too, which at worst sends a call the cache's way for nothing.
// Branch-free (whether phases differ is as unpredictable as the image), with the pairs that
// can raise a strength listed in `raising` (np entries) for their weights.
bool fillEdgeTables(const Context& c, double* sums, double* weights, std::int32_t* raising) {
  const std::int32_t np = c.np;
  const double* phase = c.phase;
  const double* magnitude = c.magnitude;
  for (int d = 0; d < 4; ++d) {
    const std::int32_t step = c.pairStep[d];
    double* sum = sums + static_cast<std::size_t>(d) * np;
    double* weight = weights + static_cast<std::size_t>(d) * np;
    const std::int32_t pairs = np - step;  // pixels a with a + step in the grid
    std::int32_t a = 0, n = 0;
    int nanSum = 0;
#ifdef __SSE2__
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
bool layOutWalk(std::int32_t dRow, std::int32_t dCol, std::int32_t nr, std::int32_t edgeStride,
                std::int32_t* deltas, std::int32_t* edges) {
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

// The laid-out walk of an offset, or length -1 when the offset lies outside the table or its
// walk depends on the start.
inline LaidOutWalk findWalk(Context& c, std::int32_t dRow, std::int32_t dCol) {
  if (dRow < -c.reachRows || dRow > c.reachRows || dCol < -c.reachCols || dCol > c.reachCols)
    return {nullptr, nullptr, -1};
  OffsetSlot& slot = c.slots[(dCol + c.reachCols) * (2 * c.reachRows + 1) + (dRow + c.reachRows)];
  if (slot.start == kNotLaidOut) {
    const std::int32_t length = std::max(std::abs(dRow), std::abs(dCol));
    std::int32_t* deltas = c.pool + c.poolUsed;
    if (layOutWalk(dRow, dCol, c.nr, c.byTable ? c.np : 0, deltas, deltas + length)) {
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

// The weight of the walk from pixel j along a laid-out walk, from the edge tables. Where
// SSE2 is part of the baseline (every x86-64) the step is branch-free: whether m grows is
// as unpredictable as where the phase changes.
inline double walkTables(const Context& c, std::int32_t j, LaidOutWalk walk) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
#ifdef __SSE2__
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
double crossingWeightByTable(const Context& c, std::int32_t j, std::int32_t i) {
  double w = c.zeroWeight;
  walkCrossings(c.grid, c.magnitude, c.phase, j, i, [&](std::int32_t current, std::int32_t next) {
    w = c.edgeWeights[edgeIndex(current, next, c.nr, c.np)];
  });
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
  if (!c.byTable)
    return weightOf(c, entryStrength(c, j, row, col, i));
  std::int32_t rowI, colI;
  splitPixel(c, i, rowI, colI);
  const LaidOutWalk walk = findWalk(c, rowI - row, colI - col);
  return walk.length >= 0 ? walkTables(c, j, walk) : crossingWeightByTable(c, j, i);
}

// One start pixel j at (row, col), entry by entry.
void processColumn(Context& c, const IndexPair& pattern, std::int32_t j, std::int32_t row,
                   std::int32_t col, double* weights) {
  const std::uint32_t end = pattern.jc[j + 1];
  for (std::uint32_t k = pattern.jc[j]; k < end; ++k) {
    const auto i = static_cast<std::int32_t>(pattern.ir[k]);
    *weights++ = i == j ? 1.0 : entryWeight(c, j, row, col, i);
  }
  writeRows(c, pattern, j, 1);
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

// Walks the `count` walks of a plan's program for `lanes` start pixels at once, lane l
// starting at pixel j + stride * l, writing for the walk at position p, lane l, to
// found[p * lanes + l] the weight (edge tables: Kernels::weighs) or the crossing strength
// (otherwise).
using BlockKernel = void (*)(const Context& c, std::int32_t j, std::int32_t stride,
                             unsigned laneMask, const std::int32_t* program, int count,
                             double* found);
using CompareKernel = bool (*)(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                               std::uint32_t shift);

struct Kernels {
  int lanes = 1;       // stacked lanes; 1 without vector kernels
  int groupLanes = 1;  // side-by-side lanes; 1 without a row kernel
  BlockKernel stacked = nullptr, sideBySide = nullptr;
  bool weighs = false;  // the block kernels write weights, not strengths
  CompareKernel compare = sameShifted;
};

// Asks for the row indices of start pixels from ... to - 1 to be brought into the caches.
inline void prefetchRowIndices(const IndexPair& pattern, std::int32_t from, std::int32_t to) {
  const auto* line = reinterpret_cast<const char*>(pattern.ir + pattern.jc[from]);
  const auto* end = reinterpret_cast<const char*>(pattern.ir + pattern.jc[to]);
  for (; line < end; line += 64)
    __builtin_prefetch(line, 0, 3);
}

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
__attribute__((target("avx512f"))) void transposeWeights(const double* found, std::uint32_t count,
                                                         double* const* out) {
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
__attribute__((target("avx"))) void walkBlockAvx(const Context& c, std::int32_t j,
                                                 std::int32_t /*stride*/, unsigned /*laneMask*/,
                                                 const std::int32_t* program, int count,
                                                 double* found) {
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

__attribute__((target("avx"))) void walkBlockTablesAvx(const Context& c, std::int32_t j,
                                                       std::int32_t /*stride*/,
                                                       unsigned /*laneMask*/,
                                                       const std::int32_t* program, int count,
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

__attribute__((target("avx512f"))) void walkBlockTablesAvx512(const Context& c, std::int32_t j,
                                                              std::int32_t /*stride*/,
                                                              unsigned /*laneMask*/,
                                                              const std::int32_t* program,
                                                              int count, double* found) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
  __m512d strength[kMaxReach + 1], weight[kMaxReach + 1];
  strength[0] = _mm512_setzero_pd();
  weight[0] = _mm512_set1_pd(c.zeroWeight);
  for (int n = 0; n < count; ++n, program += 2) {
    const std::int32_t edge = program[0], depth = program[1] & 0xff, position = program[1] >> 8;
    const __m512d m = strength[depth - 1];
    const __m512d e = _mm512_loadu_pd(sums + edge);
    const __mmask8 grows = _mm512_cmp_pd_mask(m, e, _CMP_NGE_UQ);
    strength[depth] = _mm512_mask_mov_pd(m, grows, e);
    weight[depth] = _mm512_mask_loadu_pd(weight[depth - 1], grows, weights + edge);
    _mm512_storeu_pd(found + position * 8, weight[depth]);
  }
}

// Start pixels side by side in a row (stride nr): the same step, with gathered loads. Lanes
// outside laneMask load nothing (their start pixels may not share the walk).
__attribute__((target("avx512f"))) void walkRowTablesAvx512(const Context& c, std::int32_t j,
                                                            std::int32_t stride, unsigned laneMask,
                                                            const std::int32_t* program, int count,
                                                            double* found) {
  const double* sums = c.edgeSums + j;
  const double* weights = c.edgeWeights + j;
  const __m256i lanes = _mm256_set_epi32(7 * stride, 6 * stride, 5 * stride, 4 * stride, 3 * stride,
                                         2 * stride, stride, 0);
  const auto on = static_cast<__mmask8>(laneMask);
  __m512d strength[kMaxReach + 1], weight[kMaxReach + 1];
  strength[0] = _mm512_setzero_pd();
  weight[0] = _mm512_set1_pd(c.zeroWeight);
  for (int n = 0; n < count; ++n, program += 2) {
    const std::int32_t edge = program[0], depth = program[1] & 0xff, position = program[1] >> 8;
    const __m512d m = strength[depth - 1];
    const __m512d e = _mm512_mask_i32gather_pd(m, on, lanes, sums + edge, 8);
    const __mmask8 grows = _mm512_mask_cmp_pd_mask(on, m, e, _CMP_NGE_UQ);
    strength[depth] = _mm512_mask_mov_pd(m, grows, e);
    weight[depth] = _mm512_mask_i32gather_pd(weight[depth - 1], grows, lanes, weights + edge, 8);
    _mm512_storeu_pd(found + position * 8, weight[depth]);
  }
}

// streamDoubles and streamRowIndices with 64-byte stores.
__attribute__((target("avx512f"))) void streamDoublesAvx512(double* out, const double* from,
                                                            std::size_t n) {
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

__attribute__((target("avx512f"))) void streamRowIndicesAvx512(RowIndexOutput rows, std::size_t at,
                                                               const std::uint32_t* ir,
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

// The kernels' program for a plan's vector walks (plan.walks, positions in plan.order), as
// described at Plan.
void makeProgram(Plan& plan, bool byTable) {
  std::int32_t* op = plan.program;
  const int walks = plan.vectorCount;
  if (!byTable) {
    for (int w = 0; w < walks; ++w) {
      const LaidOutWalk& walk = plan.walks[w];
      op[0] = plan.order[w];
      op[1] = walk.length;
      std::memcpy(op + 2, walk.deltas, walk.length * sizeof(std::int32_t));
      op += 2 + walk.length;
    }
    plan.programCount = walks;
    return;
  }
  if (plan.reusable) {
    // Walks and positions sorted together, by their steps.
    std::int32_t* index = plan.order + kPlanPositions;
    for (int w = 0; w < walks; ++w)
      index[w] = w;
    std::sort(index, index + walks, [&plan](std::int32_t a, std::int32_t b) {
      const LaidOutWalk &x = plan.walks[a], &y = plan.walks[b];
      return std::lexicographical_compare(x.edges, x.edges + x.length, y.edges, y.edges + y.length);
    });
    LaidOutWalk* sortedWalks = plan.walks + kPlanPositions;
    std::int32_t* sortedOrder = index + kPlanPositions;
    for (int w = 0; w < walks; ++w) {
      sortedWalks[w] = plan.walks[index[w]];
      sortedOrder[w] = plan.order[index[w]];
    }
    std::memcpy(plan.walks, sortedWalks, walks * sizeof(LaidOutWalk));
    std::memcpy(plan.order, sortedOrder, walks * sizeof(std::int32_t));
  }
  int nodes = 0;
  const LaidOutWalk* previous = nullptr;
  for (int w = 0; w < walks; ++w) {
    const LaidOutWalk& walk = plan.walks[w];
    // The steps shared with the walk before (whose states the kernel still holds), but the
    // last step always, so that it writes this walk's weight.
    std::int32_t shared = 0;
    if (previous != nullptr) {
      const std::int32_t most = std::min(previous->length, walk.length - 1);
      while (shared < most && previous->edges[shared] == walk.edges[shared])
        ++shared;
    }
    for (std::int32_t d = shared + 1; d <= walk.length; ++d) {
      const std::int32_t position = d == walk.length ? plan.order[w] : kPlanPositions;
      op[0] = walk.edges[d - 1];
      op[1] = d | position << 8;
      op += 2;
      ++nodes;
    }
    previous = &walk;
  }
  plan.programCount = nodes;
}

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
  const bool staged = c.stream && stacked && count <= kPlanPositions;
  for (std::uint32_t p0 = 0; p0 < count; p0 += kPlanPositions) {
    const std::uint32_t chunk = std::min(kPlanPositions, count - p0);
    const std::int32_t shift = row - plan.row;
    const bool reuse = stacked && ref == 0 && count <= kPlanPositions && plan.reusable &&
                       plan.positions == count && plan.minEndRow + shift >= 0 &&
                       plan.maxEndRow + shift + lanes - 1 < c.nr &&
                       k.compare(ends, pattern.ir + pattern.jc[plan.j], count,
                                 static_cast<std::uint32_t>(j - plan.j));
    if (!reuse) {
      plan.vectorCount = 0;
      plan.minEndRow = c.nr;
      plan.maxEndRow = -1;
      for (std::uint32_t p = 0; p < chunk; ++p) {
        const auto i = static_cast<std::int32_t>(ends[p0 + p]);
        plan.kinds[p] = kLaneByLane;
        if (i == jRef) {
          plan.kinds[p] = kDiagonal;
          // Weighing kernels leave these positions alone: their weight stays with the plan.
          for (int l = 0; l < lanes && k.weighs; ++l)
            plan.found[p * lanes + l] = 1.0;
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
        plan.order[plan.vectorCount++] = static_cast<std::int32_t>(p);
        plan.minEndRow = std::min(plan.minEndRow, rowI);
        plan.maxEndRow = std::max(plan.maxEndRow, rowI);
      }
      plan.positions = chunk;
      plan.reusable = stacked && ref == 0 && count <= kPlanPositions;
      plan.j = j;
      plan.row = row;
      makeProgram(plan, c.byTable);
    }
    double* found = plan.found;
    kernel(c, j, stride, laneMask, plan.program, plan.programCount, found);
    for (std::uint32_t p = 0; p < chunk; ++p) {
      if (plan.kinds[p] != kLaneByLane)
        continue;
      const auto i = static_cast<std::int32_t>(ends[p0 + p]);
      for (int l = 0; l < lanes; ++l) {
        if (laneMask & (1u << l)) {
          // The weight itself, whatever the kernel writes.
          found[p * lanes + l] = entryWeight(c, j + l * stride, row + l * rowStep,
                                             col + l * colStep, i + (l - ref) * stride);
        }
      }
    }
    // Weights into each lane's stretch of the output, or of the stage.
    double* laneOuts[kMaxLanes];
    for (int l = 0; l < lanes; ++l)
      laneOuts[l] = staged ? c.stage + l * count : outs[l] + p0;
#ifdef QUORVANE_X86
    if (k.weighs && lanes == 8 && laneMask == 0xff) {
      transposeWeights(found, chunk, laneOuts);
      continue;
    }
#endif
    for (int l = 0; l < lanes; ++l) {
      if (!(laneMask & (1u << l)))
        continue;
      double* out = laneOuts[l];
      if (k.weighs) {
        for (std::uint32_t p = 0; p < chunk; ++p)
          out[p] = found[p * lanes + l];
      } else {
        // Strengths at vector positions, weights at the others.
        for (std::uint32_t p = 0; p < chunk; ++p) {
          const double value = found[p * lanes + l];
          out[p] = plan.kinds[p] == kDiagonal ? 1.0
                   : plan.kinds[p] == kVector ? weightOf(c, value)
                                              : value;
        }
      }
    }
  }
  if (staged) {
    // The stacked lanes' entries are one stretch of the output, lane after lane.
#ifdef QUORVANE_X86
    if (lanes == 8)
      streamDoublesAvx512(outs[0], c.stage, lanes * count);
    else
#endif
      streamDoubles(outs[0], c.stage, lanes * count);
  } else if (stacked) {
    writeRows(c, pattern, j, lanes);
  } else {
    for (int l = 0; l < lanes; ++l) {
      if (laneMask & (1u << l))
        writeRows(c, pattern, j + l * stride, 1);
    }
  }
}

// The weights without the engine's working memory, as the plain walk computes them.
void plainWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                  const IndexPair& pattern, double factor, double* weights, RowIndexOutput rows) {
  const std::uint32_t first = pattern.jc[0], last = pattern.jc[grid.np];
  if (rows.target != nullptr)
    copyRowIndices(rows, 0, pattern.ir + first, last - first);
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
                    RowIndexOutput rows, WeightSource source) {
  if (!engineKernelAvailable(kernel))
    kernel = EngineKernel::kPlain;

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
  c.zeroWeight = edgeWeight(0.0, factor);
  c.pairStep[0] = 1;
  c.pairStep[1] = grid.nr;
  c.pairStep[2] = grid.nr + 1;
  c.pairStep[3] = grid.nr - 1;

  // Sizes of the one allocation: the edge tables (two of 4 * np doubles) when wanted, the
  // weight cache (which shrinks for small patterns so that filling it costs no more than the
  // call; always there, for calls whose tables meet a NaN sum), the offset slots, the pool of
  // laid-out steps (each offset needs as many pixel deltas and table steps as its larger
  // coordinate) and the plan.
  const std::uint32_t entries = pattern.jc[grid.np] - pattern.jc[0];
  const bool tablesWanted =
      source != WeightSource::kStrengthCache && grid.np <= kMaxTablePixels &&
      (source == WeightSource::kEdgeTables ||
       entries / kTableEntriesPerPixel >= static_cast<std::uint32_t>(grid.np));
  const std::size_t slotCount =
      static_cast<std::size_t>(2 * c.reachRows + 1) * static_cast<std::size_t>(2 * c.reachCols + 1);
  std::size_t poolSize = 0;
  for (std::int32_t dCol = -c.reachCols; dCol <= c.reachCols; ++dCol) {
    for (std::int32_t dRow = -c.reachRows; dRow <= c.reachRows; ++dRow)
      poolSize += 2 * static_cast<std::size_t>(std::max(std::abs(dRow), std::abs(dCol)));
  }
  std::uint32_t cacheSlots = 64;
  while (cacheSlots < kMaxCacheSlots && cacheSlots < entries / 8)
    cacheSlots *= 2;
  c.cacheMask = cacheSlots - 1;
  const std::size_t planPositions = kernel != EngineKernel::kPlain ? kPlanPositions : 0;
  const std::size_t rest =
      cacheSlots * sizeof(CacheSlot) +
      planPositions * (2 * kMaxLanes * sizeof(double) + 2 * sizeof(LaidOutWalk) +
                       (2 * kMaxReach + 3) * sizeof(std::int32_t) + sizeof(PositionKind)) +
      kMaxLanes * sizeof(double) + slotCount * sizeof(OffsetSlot) + poolSize * sizeof(std::int32_t);
  // The tables, and a list of up to np pixels while they are filled.
  const std::size_t tableSize = tablesWanted ? 4 * static_cast<std::size_t>(grid.np) : 0;
  const std::size_t listSize = tablesWanted ? static_cast<std::size_t>(grid.np) : 0;
  // (+ 64: the block results and the stage start on a cache line.)
  std::size_t tableBytes =
      2 * tableSize * sizeof(double) + (listSize * sizeof(std::int32_t) + 15) / 16 * 16;
  auto* memory = new (std::nothrow) unsigned char[tableBytes + rest + 64];
  if (memory == nullptr && tablesWanted) {
    memory = new (std::nothrow) unsigned char[rest + 64];
    tableBytes = 0;
  }
  if (memory == nullptr) {
    plainWeights(grid, magnitude, phase, pattern, factor, weights, rows);
    return;
  }
  // Carved in order of alignment: 8-byte items first.
  auto* tables = reinterpret_cast<double*>(memory);
  c.cache = reinterpret_cast<CacheSlot*>(memory + tableBytes);
  c.plan.found = reinterpret_cast<double*>(
      (reinterpret_cast<std::uintptr_t>(c.cache + cacheSlots) + 63) & ~std::uintptr_t{63});
  c.stage = c.plan.found + (planPositions + 1) * kMaxLanes;
  c.plan.walks = reinterpret_cast<LaidOutWalk*>(c.stage + planPositions * kMaxLanes);
  c.slots = reinterpret_cast<OffsetSlot*>(c.plan.walks + 2 * planPositions);
  c.pool = reinterpret_cast<std::int32_t*>(c.slots + slotCount);
  c.plan.program = c.pool + poolSize;
  c.plan.order = c.plan.program + planPositions * 2 * kMaxReach;
  c.plan.kinds = reinterpret_cast<PositionKind*>(c.plan.order + 3 * planPositions);
  c.plan.reusable = false;
  c.stream = planPositions != 0 &&
             static_cast<std::uint64_t>(entries) * (sizeof(double) + rows.bytes) >= kStreamBytes;

  c.byTable =
      tableBytes != 0 && fillEdgeTables(c, tables, tables + tableSize,
                                        reinterpret_cast<std::int32_t*>(tables + 2 * tableSize));
  c.edgeSums = tables;
  c.edgeWeights = tables + tableSize;
  for (std::uint32_t s = 0; s < cacheSlots; ++s)
    c.cache[s] = CacheSlot{0, c.zeroWeight};  // 0: the bits of +0.0
  for (std::size_t s = 0; s < slotCount; ++s)
    c.slots[s] = OffsetSlot{kNotLaidOut, 0};

  Kernels k;
#ifdef QUORVANE_X86
  if (kernel == EngineKernel::kAvx512)
    k.compare = sameShiftedAvx512;
  if (c.byTable && kernel == EngineKernel::kAvx512) {
    k.lanes = k.groupLanes = 8;
    k.stacked = walkBlockTablesAvx512;
    k.sideBySide = walkRowTablesAvx512;
  } else if (c.byTable && kernel == EngineKernel::kAvx) {
    k.lanes = 4;
    k.stacked = walkBlockTablesAvx;
  } else if (kernel != EngineKernel::kPlain) {
    k.lanes = 4;
    k.stacked = walkBlockAvx;
  }
#endif
  k.weighs = c.byTable;

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
      // Streaming calls write the column's row indices just ahead of the comparisons, in
      // one pass: the comparisons then find them in the caches.
      std::int32_t rowsWritten = col * nr;
      auto writeRowsUpTo = [&](std::int32_t end) {
        if (!c.stream || c.rows.target == nullptr || end <= rowsWritten)
          return;
        const std::uint32_t from = pattern.jc[rowsWritten];
#ifdef QUORVANE_X86
        if (k.lanes == 8)
          streamRowIndicesAvx512(c.rows, from - first, pattern.ir + from, pattern.jc[end] - from);
        else
#endif
          streamRowIndices(c.rows, from - first, pattern.ir + from, pattern.jc[end] - from);
        // The row indices four blocks further on are asked for now, so that they have
        // arrived from memory when their turn comes (the processor's own prefetching
        // falls behind here).
        const std::int32_t ahead = std::min(end + 4 * k.lanes, (col + 1) * nr);
        const std::int32_t asked = std::max(end, std::min(rowsWritten + 4 * k.lanes, ahead));
        prefetchRowIndices(pattern, asked, ahead);
        rowsWritten = end;
      };
      for (std::int32_t row = 0; row < nr;) {
        const std::int32_t j = row + col * nr;
        writeRowsUpTo(std::min(j + 2 * k.lanes, (col + 1) * nr));
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
      writeRowsUpTo((col + 1) * nr);
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
  if (c.stream)
    finishStreaming();
  delete[] memory;
}

}  // namespace quorvane
