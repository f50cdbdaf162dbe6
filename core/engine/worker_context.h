#pragma once

// One worker's state (Context): the call's, and what the worker alone writes: its weight
// cache, its block plan and its stage. Also the weight of one entry, which may take the cache.

#include <cstdint>
#include <cstring>

#include "block_plan.h"
#include "engine_context.h"
#include "engine_walks.h"
#include "weight_rule.h"

namespace quorvane::engine {

// The weight cache's largest number of slots (memorySizes takes fewer for small patterns).
constexpr std::uint32_t kMaxCacheSlots = 16384;

// A weight cache slot: the strength's bits and its weight side by side, so that a lookup
// touches one cache line.
struct CacheSlot {
  std::uint64_t key;
  double value;
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

}  // namespace quorvane::engine
