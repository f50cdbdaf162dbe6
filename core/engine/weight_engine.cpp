// The weight engine: the same weights as the definition (crossingStrength, then edgeWeight for
// each entry), computed with less work.
//
// - The pixel steps of a walk depend only on the offset between its two pixels, except where
//   the minor coordinate lies within rounding distance of an integer boundary (see
//   layOutWalk). Each offset's steps are laid out once per call, as pixel-index deltas from
//   the start, and walks use them instead of recomputing coordinates.
// - Every crossing strength is 0 or the sum of the magnitudes of one pair of 8-adjacent
//   pixels whose phases differ. Unless some such sum is NaN, the engine tabulates once per
//   call, for every pixel and four directions (down, right, down-right, up-right), the sum of
//   the pair where it can raise a strength (phases differ and the sum is above zero; -inf
//   elsewhere) and the weight of that sum: the edge tables. Without NaN, crossingStrength's
//   step (take the sum when the phase changes and !(m >= sum)) is "take the tabulated value
//   when it exceeds m": m starts at +0.0 and only grows, so sums at or below zero (either
//   zero included) never replace it, and an equal value has the same bits and so the same
//   weight. A walk then keeps m and the weight of the pair that gave it: per step one load
//   and one comparison, and a load of the weight where m grows; no exp and no lookup per
//   entry. The tabulated sum has the bits of the walk's sum (IEEE addition is commutative),
//   so the weight is the one edgeWeight(m) gives.
// - With a NaN sum the order of the crossings matters (a NaN m is replaced by the next sum,
//   whatever its size), and for patterns of fewer than eight entries per pixel the tables
//   would cost more time or memory than they save. Those calls walk the phases and
//   magnitudes, keep only m, and look weights up in a small direct-mapped cache keyed by the
//   strength's bits.
// - Start pixels that hold the same entries (same count, each end shifted by the same amount
//   as the start) walk every shared offset together, one vector lane per start pixel. Stacked
//   down an image column, lane l reads pixel start + l + delta, so every step is one
//   contiguous vector load per table (the tables are direction-major, index
//   direction * np + lower pixel of the pair); rows where the pattern is cut differently from
//   row to row (a disc at the top and bottom borders) are set side by side along the row
//   instead, with gathered loads.
// - A block's sorting of its entries into vector walks and others, with the kernels' program
//   (a prefix tree of the walks, see Plan), is its plan; later blocks whose entries are the
//   same shifted reuse it, down the column and across columns.
// - Outputs of many megabytes are written once, with non-temporal stores (output_stores.h):
//   a stacked block's weights leave through a stage in one stretch, and each column's row
//   indices in one pass just ahead of the comparisons that read them.
//
// - A call may be shared by workers, each scanning its own range of image columns (ranges of
//   about equal entry counts, column_ranges.h) into its own stretch of the output. The edge
//   tables are the call's, made before the workers start and only read by them; so is the
//   offset table, where the worker that first meets an offset lays out its walk for all (its
//   slot's state is set atomically). Each worker has its own weight cache, plan and stage. Streamed
//   stores fill only whole cache lines inside a worker's stretch (the partial lines at its ends
//   take ordinary stores), and each worker fences them before it returns. The engine starts no
//   thread itself: its caller's runner does (Workers).
//
// Working memory (working_memory.h): one allocation per call. With the edge tables it holds them,
// 68 bytes per pixel with a list used while filling them (at most about half the output: such
// patterns hold eight entries of 16 bytes per pixel or more). Besides that, shared by the workers,
// the laid-out walks with their table steps for offsets up to kMaxReach rows and columns (at most
// about 310 KiB) and the offset table (about 28 KiB); and for each worker at most about
// 0.73 MiB: the weight cache (at most 256 KiB, so that it stays in the second-level cache;
// there in every call, for calls whose tables meet a NaN sum) and one block plan with its
// program, results and stage (about 480 KiB). Plus, on each worker's stack, the kernels'
// state stacks (about 3 KiB) and a few small arrays. No memory per entry.

#include "weight_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "column_ranges.h"
#include "crossing_strength.h"
#include "engine_context.h"
#include "engine_kernels_x86.h"
#include "engine_walks.h"
#include "weight_rule.h"
#include "working_memory.h"

namespace quorvane {
namespace engine {
namespace {

// Writes the row indices of start pixels j ... j + columns - 1 (streaming calls write them
// in the column scan instead, see scanColumn).
inline void writeRows(const Context& c, const Pattern& pattern, std::int32_t j,
                      std::int32_t columns) {
  if (c.rows.target == nullptr || c.stream)
    return;
  const std::uint32_t from = pattern.jc[j], to = pattern.jc[j + columns];
  copyRowIndices(c.rows, from - c.first, pattern.ir + from, to - from);
}
// One start pixel j at (row, col), entry by entry.
void processStartPixel(Context& c, const Pattern& pattern, std::int32_t j, std::int32_t row,
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

// sameShifted or a vector version of it.
using ShiftedCompare = bool (*)(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                                std::uint32_t shift);

// The code a call runs with, chosen once per call (chooseKernels): the block kernels, their
// lane counts and the comparison of start pixels' entries.
struct Kernels {
  int lanes = 1;       // stacked lanes; 1 without vector kernels
  int groupLanes = 1;  // side-by-side lanes; 1 without a row kernel
  BlockKernel stacked = nullptr, sideBySide = nullptr;
  bool weighs = false;  // the block kernels write weights, not strengths
  ShiftedCompare compare = sameShifted;
};

// Asks for the row indices of start pixels from ... to - 1 to be brought into the caches.
inline void prefetchRowIndices(const Pattern& pattern, std::int32_t from, std::int32_t to) {
  const auto* line = reinterpret_cast<const char*>(pattern.ir + pattern.jc[from]);
  const auto* end = reinterpret_cast<const char*>(pattern.ir + pattern.jc[to]);
  for (; line < end; line += 64)
    prefetchForReading(line);
}

// Whether start pixels j, j + stride, ..., j + (lanes - 1) * stride hold the same number of
// entries and entry p of each is entry p of pixel j shifted by the same amount.
bool sameEntries(const Kernels& kernels, const Pattern& pattern, std::int32_t j,
                 std::int32_t stride, int lanes) {
  const std::uint32_t* jc = pattern.jc;
  const std::uint32_t count = jc[j + 1] - jc[j];
  for (int l = 1; l < lanes; ++l) {
    const std::int32_t start = j + l * stride;
    if (jc[start + 1] - jc[start] != count)
      return false;
  }
  for (int l = 1; l < lanes; ++l) {
    if (!kernels.compare(pattern.ir + jc[j + l * stride], pattern.ir + jc[j], count,
                         static_cast<std::uint32_t>(l * stride)))
      return false;
  }
  return true;
}

// The lanes among `candidates` (bit l: start pixel j + l * stride) whose entries are those
// of lane `ref` shifted by their distance from it; ref itself included.
unsigned agreeingLanes(const Kernels& kernels, const Pattern& pattern, std::int32_t j,
                       std::int32_t stride, int lanes, unsigned candidates, int ref) {
  const std::uint32_t* jc = pattern.jc;
  const std::int32_t jRef = j + ref * stride;
  const std::uint32_t count = jc[jRef + 1] - jc[jRef];
  unsigned agree = 1u << ref;
  for (int l = 0; l < lanes; ++l) {
    const std::int32_t start = j + l * stride;
    if (l == ref || !(candidates & (1u << l)) || jc[start + 1] - jc[start] != count)
      continue;
    if (kernels.compare(pattern.ir + jc[start], pattern.ir + jc[jRef], count,
                        static_cast<std::uint32_t>((l - ref) * stride)))
      agree |= 1u << l;
  }
  return agree;
}

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
// entries are those of lane `ref` shifted by their distance from it.
struct Block {
  std::int32_t j, row, col;
  std::int32_t stride;
  int lanes;
  unsigned laneMask;
  int ref;
};

// Whether the plan made for an earlier block holds for this one, whose reference lane's
// `count` entries are `ends` (see Plan): stacked lanes, reference lane 0, one pass, the same
// entries shifted, and every vector position's end row still inside the image column.
bool planHolds(const Context& c, const Kernels& kernels, const Pattern& pattern, const Block& b,
               std::uint32_t count, const std::uint32_t* ends) {
  const Plan& plan = c.plan;
  const std::int32_t shift = b.row - plan.row;
  return b.stride == 1 && b.ref == 0 && count <= kPlanPositions && plan.reusable &&
         plan.positions == count && plan.minEndRow + shift >= 0 &&
         plan.maxEndRow + shift + b.lanes - 1 < c.grid.nr &&
         kernels.compare(ends, pattern.ir + pattern.jc[plan.j], count,
                         static_cast<std::uint32_t>(b.j - plan.j));
}

// The plan for the `chunk` entry positions from p0 on of a block whose reference lane has
// `count` entries, `ends`: positions whose offset is the same for every lane and has a
// laid-out walk go through the kernel (kVector), the rest walk lane by lane; then the
// kernel's program.
void makePlan(Context& c, const Kernels& kernels, const Block& b, const std::uint32_t* ends,
              std::uint32_t p0, std::uint32_t chunk, std::uint32_t count) {
  Plan& plan = c.plan;
  const bool stacked = b.stride == 1;
  const std::int32_t rowStep = stacked ? 1 : 0, colStep = 1 - rowStep;
  // The reference lane's start pixel and coordinates.
  const std::int32_t jRef = b.j + b.ref * b.stride;
  const std::int32_t rowRef = b.row + b.ref * rowStep, colRef = b.col + b.ref * colStep;
  const int lanes = b.lanes;
  plan.vectorCount = 0;
  plan.minEndRow = c.grid.nr;
  plan.maxEndRow = -1;
  for (std::uint32_t p = 0; p < chunk; ++p) {
    const auto i = static_cast<std::int32_t>(ends[p0 + p]);
    plan.kinds[p] = PositionKind::kLaneByLane;
    if (i == jRef) {
      plan.kinds[p] = PositionKind::kDiagonal;
      // Weighing kernels leave these positions alone: their weight stays with the plan.
      for (int l = 0; l < lanes && kernels.weighs; ++l)
        plan.found[p * lanes + l] = 1.0;
      continue;
    }
    std::int32_t rowI, colI;
    splitPixel(c, i, rowI, colI);
    // Stacked lanes' ends must not wrap into the next image column. Side by side, lane
    // l's end is the pattern's entry i + l * nr, in the grid, so in the same row.
    if (rowI + rowStep * (lanes - 1) >= c.grid.nr)
      continue;
    const LaidOutWalk walk = findWalk(c, rowI - rowRef, colI - colRef);
    if (walk.length < 0)
      continue;
    plan.kinds[p] = PositionKind::kVector;
    plan.walks[plan.vectorCount] = walk;
    plan.order[plan.vectorCount++] = static_cast<std::int32_t>(p);
    plan.minEndRow = std::min(plan.minEndRow, rowI);
    plan.maxEndRow = std::max(plan.maxEndRow, rowI);
  }
  plan.laneByLaneCount = 0;
  for (std::uint32_t p = 0; p < chunk; ++p) {
    if (plan.kinds[p] == PositionKind::kLaneByLane)
      plan.laneByLane[plan.laneByLaneCount++] = static_cast<std::int32_t>(p);
  }
  plan.positions = chunk;
  plan.reusable = stacked && b.ref == 0 && count <= kPlanPositions;
  plan.j = b.j;
  plan.row = b.row;
  makeProgram(plan, c.byTable);
}

// The weights of the plan's lane-by-lane positions into found, whatever the kernel wrote
// there; ends are the reference lane's entries of this pass.
void walkLaneByLane(Context& c, const Block& b, const std::uint32_t* ends, double* found) {
  const Plan& plan = c.plan;
  const std::int32_t rowStep = b.stride == 1 ? 1 : 0, colStep = 1 - rowStep;
  const int lanes = b.lanes;
  for (int n = 0; n < plan.laneByLaneCount; ++n) {
    const std::int32_t p = plan.laneByLane[n];
    const auto i = static_cast<std::int32_t>(ends[p]);
    for (int l = 0; l < lanes; ++l) {
      if (b.laneMask & (1u << l)) {
        found[p * lanes + l] = entryWeight(c, b.j + l * b.stride, b.row + l * rowStep,
                                           b.col + l * colStep, i + (l - b.ref) * b.stride);
      }
    }
  }
}

// A pass's `chunk` weights from the plan's results into each lane's stretch, laneOuts[l]:
// weighing kernels left weights there; the others strengths at vector positions and
// weights at the rest.
void storeWeights(const Context& c, const Kernels& kernels, const Block& b, std::uint32_t chunk,
                  double* const* laneOuts) {
  const Plan& plan = c.plan;
  const double* found = plan.found;
  const int lanes = b.lanes;
#ifdef QUORVANE_X86
  if (kernels.weighs && lanes == 8 && b.laneMask == 0xff) {
    transposeWeights(found, chunk, laneOuts);
    return;
  }
#endif
  for (int l = 0; l < lanes; ++l) {
    if (!(b.laneMask & (1u << l)))
      continue;
    double* out = laneOuts[l];
    if (kernels.weighs) {
      for (std::uint32_t p = 0; p < chunk; ++p)
        out[p] = found[p * lanes + l];
    } else {
      for (std::uint32_t p = 0; p < chunk; ++p) {
        const double value = found[p * lanes + l];
        out[p] = plan.kinds[p] == PositionKind::kDiagonal ? 1.0
                 : plan.kinds[p] == PositionKind::kVector ? weightOf(c, value)
                                                          : value;
      }
    }
  }
}

// The weights of a block, pass by pass (kPlanPositions entry positions at a time), into the
// output (weights: the weight of the call's first entry), and its row indices. Large
// outputs take a stacked block's weights through the stage, to stream them out in one
// stretch: the stacked lanes' entries are one stretch of the output, lane after lane.
void processBlock(Context& c, const Kernels& kernels, const Pattern& pattern, const Block& b,
                  double* weights) {
  Plan& plan = c.plan;
  const bool stacked = b.stride == 1;
  double* outs[kMaxLanes];
  for (int l = 0; l < b.lanes; ++l)
    outs[l] = weights + (pattern.jc[b.j + l * b.stride] - c.first);
  const BlockKernel kernel = stacked ? kernels.stacked : kernels.sideBySide;
  const std::int32_t jRef = b.j + b.ref * b.stride;
  const std::uint32_t count = pattern.jc[jRef + 1] - pattern.jc[jRef];
  const std::uint32_t* ends = pattern.ir + pattern.jc[jRef];
  const bool staged = c.stream && stacked && count <= kPlanPositions;
  for (std::uint32_t p0 = 0; p0 < count; p0 += kPlanPositions) {
    const std::uint32_t chunk = std::min(kPlanPositions, count - p0);
    if (!planHolds(c, kernels, pattern, b, count, ends))
      makePlan(c, kernels, b, ends, p0, chunk, count);
    kernel(c, b.j, b.stride, b.laneMask, plan.program, plan.programCount, plan.found);
    walkLaneByLane(c, b, ends + p0, plan.found);
    double* laneOuts[kMaxLanes];
    for (int l = 0; l < b.lanes; ++l)
      laneOuts[l] = staged ? c.stage + l * count : outs[l] + p0;
    storeWeights(c, kernels, b, chunk, laneOuts);
  }
  if (staged) {
#ifdef QUORVANE_X86
    if (b.lanes == 8)
      streamDoublesAvx512(outs[0], c.stage, b.lanes * count);
    else
#endif
      streamDoubles(outs[0], c.stage, b.lanes * count);
  } else if (stacked) {
    writeRows(c, pattern, b.j, b.lanes);
  } else {
    for (int l = 0; l < b.lanes; ++l) {
      if (b.laneMask & (1u << l))
        writeRows(c, pattern, b.j + l * b.stride, 1);
    }
  }
}

// The weights without the engine's working memory: every entry walked by crossingStrength,
// on the calling thread.
void walkEveryEntry(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, double* weights, RowIndexOutput rows) {
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

// What the call needs besides its working memory.
CallState setUpCall(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, RowIndexOutput rows) {
  CallState c{};
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
  return c;
}

// The kernels for the instruction set and the source of weights.
Kernels chooseKernels(InstructionSet set, bool byTable) {
  Kernels kernels;
#ifdef QUORVANE_X86
  if (set == InstructionSet::kAvx512)
    kernels.compare = sameShiftedAvx512;
  if (byTable && set == InstructionSet::kAvx512) {
    kernels.lanes = kernels.groupLanes = 8;
    kernels.stacked = walkBlockTablesAvx512;
    kernels.sideBySide = walkRowTablesAvx512;
  } else if (byTable && set == InstructionSet::kAvx) {
    kernels.lanes = 4;
    kernels.stacked = walkBlockTablesAvx;
  } else if (set != InstructionSet::kScalar) {
    kernels.lanes = 4;
    kernels.stacked = walkBlockAvx;
  }
#else
  (void)set;
#endif
  kernels.weighs = byTable;
  return kernels;
}

// Where an image column's stacked blocks leave rows for the border pass: the rows above the
// first block and from the end of the last block on (both nr when there is no block).
struct ColumnWait {
  std::int32_t above, below;
};

// Stacks the start pixels of image column `col` into blocks wherever their entries agree,
// walks the rows between two blocks one by one, and leaves the rest to the border pass.
// Streaming calls write the column's row indices (if wanted) just ahead of the comparisons,
// in one pass: the comparisons then find them in the caches.
ColumnWait scanColumn(Context& c, const Kernels& kernels, const Pattern& pattern, double* weights,
                      std::int32_t col) {
  const std::int32_t nr = c.grid.nr;
  const std::uint32_t first = c.first;
  std::int32_t firstBlock = -1, afterLast = 0;
  std::int32_t rowsWritten = col * nr;
  auto writeRowsUpTo = [&](std::int32_t end) {
    if (!c.stream || end <= rowsWritten)
      return;
    if (c.rows.target != nullptr) {
      const std::uint32_t from = pattern.jc[rowsWritten];
#ifdef QUORVANE_X86
      if (kernels.lanes == 8)
        streamRowIndicesAvx512(c.rows, from - first, pattern.ir + from, pattern.jc[end] - from);
      else
#endif
        streamRowIndices(c.rows, from - first, pattern.ir + from, pattern.jc[end] - from);
    }
    // The row indices four blocks further on are asked for now, so that they have arrived
    // from memory when their turn comes (the processor's own prefetching falls behind here).
    const std::int32_t ahead = std::min(end + 4 * kernels.lanes, (col + 1) * nr);
    const std::int32_t asked = std::max(end, std::min(rowsWritten + 4 * kernels.lanes, ahead));
    prefetchRowIndices(pattern, asked, ahead);
    rowsWritten = end;
  };
  for (std::int32_t row = 0; row < nr;) {
    const std::int32_t j = row + col * nr;
    writeRowsUpTo(std::min(j + 2 * kernels.lanes, (col + 1) * nr));
    const int lanes = kernels.lanes;
    if (lanes > 1 && row + lanes <= nr && sameEntries(kernels, pattern, j, 1, lanes)) {
      // Rows above the first block wait for the border pass; rows between two blocks are
      // walked now.
      if (firstBlock < 0) {
        firstBlock = row;
      } else {
        for (std::int32_t r = afterLast; r < row; ++r)
          processStartPixel(c, pattern, r + col * nr, r, col,
                            weights + (pattern.jc[r + col * nr] - first));
      }
      processBlock(c, kernels, pattern, Block{j, row, col, 1, lanes, (1u << lanes) - 1, 0},
                   weights);
      row += lanes;
      afterLast = row;
    } else {
      ++row;
    }
  }
  writeRowsUpTo((col + 1) * nr);
  if (firstBlock < 0)
    return {nr, nr};
  return {firstBlock, afterLast};
}

// The rows that the columns col0 ... col0 + group - 1 left waiting: side by side across the
// group where their entries agree, one by one otherwise.
void scanBorderRows(Context& c, const Kernels& kernels, const Pattern& pattern, double* weights,
                    std::int32_t col0, int group, const ColumnWait* wait) {
  const std::int32_t nr = c.grid.nr;
  std::int32_t above = 0, below = nr;
  for (int g = 0; g < group; ++g) {
    above = std::max(above, wait[g].above);
    below = std::min(below, wait[g].below);
  }
  for (std::int32_t row = 0; row < nr; ++row) {
    if (row == above && below > above) {
      row = below - 1;  // no column waits in between: go on at row `below`
      continue;
    }
    const std::int32_t j = row + col0 * nr;
    unsigned waiting = 0;
    for (int g = 0; g < group; ++g) {
      if (row < wait[g].above || row >= wait[g].below)
        waiting |= 1u << g;
    }
    const unsigned all = (1u << group) - 1;
    unsigned together = 0;
    int ref = 0;
    if (group > 1 && waiting == all && sameEntries(kernels, pattern, j, nr, group)) {
      together = all;
    } else if (group > 1 && waiting != 0) {
      // Near a corner the columns of a group differ: set side by side those that agree with
      // the first or with the last waiting column, whichever more do.
      for (int candidate : {lowestBit(waiting), highestBit(waiting)}) {
        const unsigned agree = agreeingLanes(kernels, pattern, j, nr, group, waiting, candidate);
        if (bitCount(agree) > bitCount(together)) {
          together = agree;
          ref = candidate;
        }
      }
      if (bitCount(together) < 2)
        together = 0;
    }
    if (together != 0)
      processBlock(c, kernels, pattern, Block{j, row, col0, nr, group, together, ref}, weights);
    for (int g = 0; g < group; ++g) {
      if ((waiting & ~together) & (1u << g))
        processStartPixel(c, pattern, j + g * nr, row, col0 + g,
                          weights + (pattern.jc[j + g * nr] - c.first));
    }
  }
}

// Image columns colBegin ... colEnd - 1 in groups of the side-by-side lane count (one at a
// time without a row kernel, and for the last columns of the range that do not fill a
// group): first each column's stacked blocks, then the group's border rows.
void scanColumns(Context& c, const Kernels& kernels, const Pattern& pattern, double* weights,
                 std::int32_t colBegin, std::int32_t colEnd) {
  for (std::int32_t col0 = colBegin, group = 1; col0 < colEnd; col0 += group) {
    group = col0 + kernels.groupLanes <= colEnd ? kernels.groupLanes : 1;
    ColumnWait wait[kMaxLanes];
    for (int g = 0; g < group; ++g)
      wait[g] = scanColumn(c, kernels, pattern, weights, col0 + g);
    scanBorderRows(c, kernels, pattern, weights, col0, group, wait);
  }
}

// What every worker of a call starts from.
struct Job {
  const CallState* call;
  const Kernels* kernels;
  const Pattern* pattern;
  double* weights;
  const MemoryLayout* memory;
  unsigned char* base;
  const std::int32_t* bounds;  // worker w scans image columns bounds[w] ... bounds[w + 1] - 1
};

// One worker's share of the call (a JobRunner job). Its streamed stores are fenced before it
// returns; whoever waits for it then sees its output.
void runWorker(void* data, int w) {
  const Job& job = *static_cast<const Job*>(data);
  Context c = workerContext(*job.call, *job.memory, job.base, w);
  scanColumns(c, *job.kernels, *job.pattern, job.weights, job.bounds[w], job.bounds[w + 1]);
  if (c.stream)
    finishStreaming();
}

// As many workers as asked for, but none beyond the image columns or below entriesEach
// entries (one at least).
int workerCount(const Workers& workers, std::uint32_t entries, std::int32_t columns) {
  const std::uint32_t each = std::max<std::uint32_t>(workers.entriesEach, 1);
  const auto most = static_cast<std::int64_t>(std::max<std::uint32_t>(entries / each, 1));
  return static_cast<int>(std::max<std::int64_t>(
      1, std::min({static_cast<std::int64_t>(workers.count), most, std::int64_t{columns}})));
}

}  // namespace
}  // namespace engine

using namespace engine;

bool instructionSetAvailable(InstructionSet set) {
  switch (set) {
    case InstructionSet::kScalar:
      return true;
#ifdef QUORVANE_X86
    case InstructionSet::kAvx:
      return processorHasAvx();
    case InstructionSet::kAvx512:
      return processorHasAvx512();
#else
    case InstructionSet::kAvx:
    case InstructionSet::kAvx512:
      return false;
#endif
  }
  return false;
}

InstructionSet bestInstructionSet() {
  if (instructionSetAvailable(InstructionSet::kAvx512))
    return InstructionSet::kAvx512;
  if (instructionSetAvailable(InstructionSet::kAvx))
    return InstructionSet::kAvx;
  return InstructionSet::kScalar;
}

void computeWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, double* weights, RowIndexOutput rows,
                    const EngineOptions& options) {
  // Set up: the instruction set, what the call shares, how many workers.
  InstructionSet set = options.instructionSet.value_or(bestInstructionSet());
  if (!instructionSetAvailable(set))
    set = InstructionSet::kScalar;
  CallState call = setUpCall(grid, magnitude, phase, pattern, factor, rows);
  const std::uint32_t entries = pattern.jc[grid.np] - pattern.jc[0];
  const int workers = workerCount(options.workers, entries, grid.nc);
  // Lay out the working memory, or do without it.
  const MemorySizes sizes = memorySizes(call, entries, set, options.source, workers);
  const WorkingMemory memory = obtainWorkingMemory(sizes);
  if (memory.base == nullptr) {
    walkEveryEntry(grid, magnitude, phase, pattern, factor, weights, rows);
    return;
  }
  const std::uint64_t bytesPerEntry = sizeof(double) + (rows.target != nullptr ? rows.bytes : 0);
  call.stream = sizes.planPositions != 0 && entries * bytesPerEntry >= kStreamBytes;
  prepareShared(call, memory.layout, memory.base);
  // Choose the kernels, then scan the image columns (each range's columns, then their
  // border rows) on the workers.
  const Kernels kernels = chooseKernels(set, call.byTable);
  auto* bounds = reinterpret_cast<std::int32_t*>(memory.base + memory.layout.bounds);
  const int ranges = columnRanges(pattern.jc, grid.nr, grid.nc, memory.layout.sizes.workers,
                                  kernels.groupLanes, bounds);
  Job job{&call, &kernels, &pattern, weights, &memory.layout, memory.base, bounds};
  if (ranges > 1 && options.workers.run != nullptr) {
    options.workers.run(ranges, runWorker, &job);
  } else {
    for (int w = 0; w < ranges; ++w)
      runWorker(&job, w);
  }
}

}  // namespace quorvane
