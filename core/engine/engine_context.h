#pragma once

// The weight engine's working state, shared by its parts (weight_engine.cpp, engine_walks.h,
// engine_kernels_x86.cpp, working_memory.h); nothing outside the engine uses it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "compiler_support.h"
#include "output_stores.h"
#include "pixel_grid.h"

namespace quorvane::engine {

// Offsets with at most this many rows and columns get their walks laid out once per call;
// longer ones are walked with their coordinates computed step by step
// (walkCrossings).
constexpr std::int32_t kMaxReach = 24;
// Entry positions of a block handled per pass (a radius-20 disc holds 1257).
constexpr std::uint32_t kPlanPositions = 1280;
constexpr int kMaxLanes = 8;
// Outputs of this many bytes or more are written with streamed stores: they do not stay in
// the caches anyway.
constexpr std::uint64_t kStreamBytes = std::uint64_t{16} << 20;
// The edge tables need a pattern of at least this many entries per pixel (so that they
// repay their filling and take at most about half the output's memory; a radius-2 disc
// holds 13), and table indices (4 * np) in 32 bits with room to spare.
constexpr std::uint32_t kTableEntriesPerPixel = 8;
constexpr std::int32_t kMaxTablePixels = std::int32_t{1} << 28;

// Slot states of the offset table besides a pool index.
constexpr std::int32_t kNotLaidOut = -1;
constexpr std::int32_t kStartDependent = -2;
constexpr std::int32_t kLayingOut = -3;  // by the worker that met the offset first

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

// Slots live in the call's working memory, made there and never destroyed.
static_assert(std::atomic<std::int32_t>::is_always_lock_free &&
              std::is_trivially_destructible_v<std::atomic<std::int32_t>>);

// An offset's entry in the offset table. Workers share the table: `start` is read and set
// atomically; the rest is fixed before they start.
struct OffsetSlot {
  std::atomic<std::int32_t> start;  // `at` once laid out, or kNotLaidOut / kLayingOut /
                                    // kStartDependent
  std::int32_t length;              // steps: the offset's larger coordinate
  std::int32_t at;  // its place in the pool: length pixel deltas, then length table steps
};

enum class PositionKind : unsigned char { kDiagonal, kVector, kLaneByLane };

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

// What the workers of a call share. Set up before any of them starts; afterwards only the
// offset table and its pool change, as walks are laid out where first met (findWalk).
struct CallState {
  // The call.
  PixelGrid grid;
  const double* magnitude;
  const double* phase;
  double factor;
  double inverseRows;  // 1.0 / nr, for splitting pixel indices
  // The offset table, rows -reachRows..reachRows by columns -reachCols..reachCols.
  std::int32_t reachRows, reachCols;
  OffsetSlot* slots;
  std::int32_t* pool;
  // The edge tables (byTable): for pair index d * np + a, pixels a and a + pairStep[d], the
  // sum that can raise a strength (kNoEdge if none) and its weight.
  bool byTable;
  const double* edgeSums;
  const double* edgeWeights;
  std::int32_t pairStep[4];
  double zeroWeight;  // the weight of a zero strength
  // Where the row indices go, and the pattern's first entry.
  RowIndexOutput rows;
  std::uint32_t first;
  // Large outputs: stacked blocks gather their weights in the stage to stream them out; the
  // column scan streams the row indices.
  bool stream;
};

// One worker's state: the call's, and what it alone writes.
struct Context : CallState {
  // Weights keyed by the strength's bits, for calls without the tables: a direct-mapped
  // cache.
  CacheSlot* cache;
  std::uint64_t cacheMask;
  Plan plan;
  double* stage;  // kMaxLanes x kPlanPositions
};

// Runs the `count` items of a plan's program (walks without the tables, prefix-tree steps
// with them) for `lanes` start pixels at once, lane l starting at pixel j + stride * l,
// writing for the walk at position p, lane l, to found[p * lanes + l] the weight (edge
// tables: Kernels::weighs) or the crossing strength (otherwise).
using BlockKernel = void (*)(const Context& c, std::int32_t j, std::int32_t stride,
                             unsigned laneMask, const std::int32_t* program, int count,
                             double* found);

}  // namespace quorvane::engine
