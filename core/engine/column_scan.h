#pragma once

// A worker's scan of its image columns: down each column, start pixels whose entries agree
// are stacked into blocks, the rest walked one by one; then the rows that the columns of a
// group left at their top and bottom borders, side by side across the group where they agree.

#include <algorithm>
#include <cstdint>

#include "block_plan.h"
#include "compiler_support.h"
#include "engine_kernels.h"
#include "output_stores.h"
#include "pattern.h"
#include "worker_context.h"

namespace quorvane::engine {

// Where an image column's stacked blocks leave rows for the border pass: the rows above the
// first block and from the end of the last block on (both nr when there is no block).
struct ColumnWait {
  std::int32_t above, below;
};

// The functions below have internal linkage: this header is weight_engine.cpp's alone, and
// the compiler then inlines them as it does the functions of that file.
namespace {

ColumnWait scanColumn(Context& c, const Kernels& kernels, const Pattern& pattern, double* weights,
                      std::int32_t col);
void scanBorderRows(Context& c, const Kernels& kernels, const Pattern& pattern, double* weights,
                    std::int32_t col0, int group, const ColumnWait* wait);
void processBlock(Context& c, const Kernels& kernels, const Pattern& pattern, const Block& b,
                  double* weights);
void walkLaneByLane(Context& c, const Block& b, const std::uint32_t* ends, double* found);
void storeWeights(const Context& c, const Kernels& kernels, const Block& b, std::uint32_t chunk,
                  double* const* laneOuts);
void processStartPixel(Context& c, const Pattern& pattern, std::int32_t j, std::int32_t row,
                       std::int32_t col, double* weights);
inline void writeRows(const Context& c, const Pattern& pattern, std::int32_t j,
                      std::int32_t columns);
bool sameEntries(const Kernels& kernels, const Pattern& pattern, std::int32_t j,
                 std::int32_t stride, int lanes);
unsigned agreeingLanes(const Kernels& kernels, const Pattern& pattern, std::int32_t j,
                       std::int32_t stride, int lanes, unsigned candidates, int ref);
inline void prefetchRowIndices(const Pattern& pattern, std::int32_t from, std::int32_t to);

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
    if (!planHolds(c, plan, kernels, pattern, b, count, ends))
      makePlan(c, plan, kernels, b, ends, p0, chunk, count);
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

// Writes the row indices of start pixels j ... j + columns - 1 (streaming calls write them
// in the column scan instead, see scanColumn).
inline void writeRows(const Context& c, const Pattern& pattern, std::int32_t j,
                      std::int32_t columns) {
  if (c.rows.target == nullptr || c.stream)
    return;
  const std::uint32_t from = pattern.jc[j], to = pattern.jc[j + columns];
  copyRowIndices(c.rows, from - c.first, pattern.ir + from, to - from);
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

// Asks for the row indices of start pixels from ... to - 1 to be brought into the caches.
inline void prefetchRowIndices(const Pattern& pattern, std::int32_t from, std::int32_t to) {
  const auto* line = reinterpret_cast<const char*>(pattern.ir + pattern.jc[from]);
  const auto* end = reinterpret_cast<const char*>(pattern.ir + pattern.jc[to]);
  for (; line < end; line += 64)
    prefetchForReading(line);
}

}  // namespace
}  // namespace quorvane::engine
