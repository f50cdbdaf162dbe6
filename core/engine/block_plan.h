#pragma once

// The plan of a block of start pixels: which of its entry positions go through a block
// kernel and which are walked lane by lane, and the kernel's program for the former. A plan
// is made for one block and reused by later blocks whose entries are the same shifted.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine_context.h"
#include "engine_kernels.h"
#include "engine_walks.h"
#include "pattern.h"

namespace quorvane::engine {

// Entry positions of a block handled per pass (a radius-20 disc holds 1257).
constexpr std::uint32_t kPlanPositions = 1280;
constexpr int kMaxLanes = 8;

enum class PositionKind : unsigned char { kDiagonal, kVector, kLaneByLane };

// How a block's entry positions are walked: kinds[p] for every position, and the vector
// walks as a program for the block kernels, which read it front to back.
// - Without the tables: each walk in position order as its position, its number of steps
//   and its pixel deltas.
// - With the tables the state of a walk after s steps (m and its weight) depends only on
//   the table entries of those steps, and walks to nearby offsets often begin with the same
//   steps (docs/engine.md counts them for a disc). The program holds one step per node of
//   the walks' prefix tree: its edge-table index and its depth d, which takes the state at
//   depth d - 1 and leaves the state at depth d; a walk's last step also names its
//   position. Nodes come in the walks' order, each walk adding the steps it does not share
//   with the walk before it; stacked plans, which are reused, order the walks by their steps
//   so that neighbours share the most.
// A plan made for stacked lanes at row `row` from start pixel j holds for a later block
// whose entries are those of pixel j shifted by as many pixels, as long as every vector
// position's end row stays inside the image column (minEndRow + shift >= 0 and
// maxEndRow + shift + lanes - 1 < nr, shift being the difference in rows): the offsets of
// the ends are then the same.
struct Plan {
  PositionKind* kinds;
  std::int32_t* laneByLane;  // the positions of kind kLaneByLane
  int laneByLaneCount;
  std::int32_t* program;  // kPlanPositions x 2 x kMaxReach at most
  // (kPlanPositions + 1) x 8 lanes: weights (edge tables) or strengths (cache); the last row
  // takes what steps inside a walk write.
  double* found;
  // While the program is made: the vector walks and their positions (kPlanPositions each,
  // with room to sort them).
  LaidOutWalk* walks;
  std::int32_t* order;
  std::uint32_t positions;
  int vectorCount, programCount;
  bool reusable;
  std::int32_t j, row, minEndRow, maxEndRow;
};

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

// The functions below have internal linkage: this header is weight_engine.cpp's alone, and
// the compiler then inlines them as it does the functions of that file.
namespace {

void makeProgram(Plan& plan, bool byTable);

// Whether the plan made for an earlier block holds for this one, whose reference lane's
// `count` entries are `ends` (see Plan): stacked lanes, reference lane 0, one pass, the same
// entries shifted, and every vector position's end row still inside the image column.
bool planHolds(const CallState& c, const Plan& plan, const Kernels& kernels, const Pattern& pattern,
               const Block& b, std::uint32_t count, const std::uint32_t* ends) {
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
void makePlan(const CallState& c, Plan& plan, const Kernels& kernels, const Block& b,
              const std::uint32_t* ends, std::uint32_t p0, std::uint32_t chunk,
              std::uint32_t count) {
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

// The program without the tables: each vector walk as its position, its length and its
// pixel deltas.
void writeWalkProgram(Plan& plan) {
  std::int32_t* op = plan.program;
  const int walks = plan.vectorCount;
  for (int w = 0; w < walks; ++w) {
    const LaidOutWalk& walk = plan.walks[w];
    op[0] = plan.order[w];
    op[1] = walk.length;
    std::memcpy(op + 2, walk.deltas, walk.length * sizeof(std::int32_t));
    op += 2 + walk.length;
  }
  plan.programCount = walks;
}

// Sorts the vector walks and their positions together, by the walks' steps (the room
// behind both arrays takes the sorted copies).
void sortWalksBySteps(Plan& plan) {
  const int walks = plan.vectorCount;
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

// The program with the tables: the nodes of the vector walks' prefix tree (see Plan).
void writePrefixTreeProgram(Plan& plan) {
  std::int32_t* op = plan.program;
  int nodes = 0;
  const LaidOutWalk* previous = nullptr;
  for (int w = 0; w < plan.vectorCount; ++w) {
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

// The kernels' program for a plan's vector walks (plan.walks, positions in plan.order), as
// described at Plan.
void makeProgram(Plan& plan, bool byTable) {
  if (!byTable) {
    writeWalkProgram(plan);
    return;
  }
  if (plan.reusable)
    sortWalksBySteps(plan);
  writePrefixTreeProgram(plan);
}

}  // namespace
}  // namespace quorvane::engine
