#pragma once

// What the workers of a call share (CallState) and the offset table in it; each worker's own
// state builds on it (worker_context.h). Nothing outside the engine uses these.

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
// Outputs of this many bytes or more are written with streamed stores: they do not stay in
// the caches anyway.
constexpr std::uint64_t kStreamBytes = std::uint64_t{16} << 20;

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

}  // namespace quorvane::engine
