#pragma once

// The engine's working memory: one allocation per call, its layout computed in one place
// (layOutMemory) that both sizes the allocation and says where each part lies, and the
// pointing of the call's and each worker's state at their parts. docs/engine.md gives the
// parts' sizes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "block_plan.h"
#include "engine_context.h"
#include "engine_walks.h"
#include "fresh_memory.h"
#include "weight_engine.h"
#include "worker_context.h"

namespace quorvane::engine {

// The edge tables need a pattern of at least this many entries per pixel (so that they
// repay their filling and take at most about half the output's memory; a radius-2 disc
// holds 13), and table indices (4 * np) in 32 bits with room to spare.
constexpr std::uint32_t kTableEntriesPerPixel = 8;
constexpr std::int32_t kMaxTablePixels = std::int32_t{1} << 28;

// How large the parts of the engine's working memory are.
struct MemorySizes {
  std::size_t tableSize;  // doubles per edge table, 4 * np (0 without the tables)
  std::size_t slotCount, poolSize, cacheSlots, planPositions;
  int workers;
};

// The parts' sizes: the edge tables when wanted; the offset slots and the pool of laid-out
// steps (each offset needs as many pixel deltas and table steps as its larger coordinate);
// each worker's weight cache (always there, for calls whose tables meet a NaN sum; smaller
// for small patterns, so that clearing it costs no more than the worker's share of the
// call) and plan (none for the scalar kernel).
inline MemorySizes memorySizes(const CallState& c, std::uint32_t entries, InstructionSet set,
                               WeightSource source, int workers) {
  MemorySizes s{};
  const bool tablesWanted =
      source != WeightSource::kStrengthCache && c.grid.np <= kMaxTablePixels &&
      (source == WeightSource::kEdgeTables ||
       entries / kTableEntriesPerPixel >= static_cast<std::uint32_t>(c.grid.np));
  s.tableSize = tablesWanted ? 4 * static_cast<std::size_t>(c.grid.np) : 0;
  s.slotCount =
      static_cast<std::size_t>(2 * c.reachRows + 1) * static_cast<std::size_t>(2 * c.reachCols + 1);
  for (std::int32_t dCol = -c.reachCols; dCol <= c.reachCols; ++dCol) {
    for (std::int32_t dRow = -c.reachRows; dRow <= c.reachRows; ++dRow)
      s.poolSize += 2 * static_cast<std::size_t>(walkLength(dRow, dCol));
  }
  const std::uint32_t share = entries / static_cast<std::uint32_t>(workers);
  s.cacheSlots = 64;
  while (s.cacheSlots < kMaxCacheSlots && s.cacheSlots < share / 8)
    s.cacheSlots *= 2;
  s.planPositions = set != InstructionSet::kScalar ? kPlanPositions : 0;
  s.workers = workers;
  return s;
}

// The engine's one allocation as byte offsets from its start, which lies on a cache line:
// the parts the workers share, then one part per worker (whole cache lines each), holding
// that worker's block results and stage (each on a cache line, for whole-line vector stores
// and loads), weight cache and plan.
struct MemoryLayout {
  MemorySizes sizes;
  std::size_t tables, list, slots, pool, bounds;
  std::size_t workerParts, workerBytes;
  std::size_t found, stage, cache, walks, program, order, laneByLane, kinds;  // in a worker's part
  std::size_t bytes;
};

// Where `bytes` bytes aligned to `align` go at or after `end`; moves `end` past them.
inline std::size_t place(std::size_t& end, std::size_t bytes, std::size_t align) {
  const std::size_t at = (end + align - 1) / align * align;
  end = at + bytes;
  return at;
}

// Both the size of the allocation and where its parts lie.
inline MemoryLayout layOutMemory(const MemorySizes& s) {
  MemoryLayout m{};
  m.sizes = s;
  std::size_t end = 0;
  // The edge tables, and a list of up to np pixels while they are filled.
  m.tables = place(end, 2 * s.tableSize * sizeof(double), 64);
  m.list = place(end, s.tableSize / 4 * sizeof(std::int32_t), alignof(std::int32_t));
  m.slots = place(end, s.slotCount * sizeof(OffsetSlot), alignof(OffsetSlot));
  m.pool = place(end, s.poolSize * sizeof(std::int32_t), alignof(std::int32_t));
  m.bounds = place(end, (s.workers + std::size_t{1}) * sizeof(std::int32_t), alignof(std::int32_t));
  const std::size_t positions = s.planPositions;
  std::size_t part = 0;
  m.found = place(part, (positions + 1) * kMaxLanes * sizeof(double), 64);
  m.stage = place(part, positions * kMaxLanes * sizeof(double), 64);
  m.cache = place(part, s.cacheSlots * sizeof(CacheSlot), alignof(CacheSlot));
  m.walks = place(part, 2 * positions * sizeof(LaidOutWalk), alignof(LaidOutWalk));
  m.program = place(part, positions * 2 * kMaxReach * sizeof(std::int32_t), alignof(std::int32_t));
  m.order = place(part, 3 * positions * sizeof(std::int32_t), alignof(std::int32_t));
  m.laneByLane = place(part, positions * sizeof(std::int32_t), alignof(std::int32_t));
  m.kinds = place(part, positions * sizeof(PositionKind), alignof(PositionKind));
  m.workerBytes = place(part, 0, 64);
  m.workerParts = place(end, s.workers * m.workerBytes, 64);
  m.bytes = end;
  return m;
}

// The working memory of a call: its layout, the allocation, and the allocation's first cache
// line, where the layout begins (base null when no memory could be had).
struct WorkingMemory {
  MemoryLayout layout;
  std::unique_ptr<unsigned char[]> allocation;
  unsigned char* base;
};

// `bytes` bytes, or null. Large allocations are advised for huge pages (fresh_memory.h): the
// edge tables of a large image span tens of thousands of pages, each a fault.
inline unsigned char* allocateBytes(std::size_t bytes) {
  auto* memory = new (std::nothrow) unsigned char[bytes];
  adviseHugePages(memory, bytes);
  return memory;
}

// The working memory laid out for `sizes`, or, when that cannot be had and it holds edge
// tables, for the same without them.
inline WorkingMemory obtainWorkingMemory(MemorySizes sizes) {
  WorkingMemory w{layOutMemory(sizes), nullptr, nullptr};
  // (+ 63: the start is moved to a cache line.)
  w.allocation.reset(allocateBytes(w.layout.bytes + 63));
  if (w.allocation == nullptr && sizes.tableSize != 0) {
    sizes.tableSize = 0;
    w.layout = layOutMemory(sizes);
    w.allocation.reset(allocateBytes(w.layout.bytes + 63));
  }
  if (w.allocation != nullptr) {
    w.base = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<std::uintptr_t>(w.allocation.get()) + 63) & ~std::uintptr_t{63});
  }
  return w;
}

// Points the call at its shared parts, fills the edge tables (when the layout holds them)
// and clears the offset table, giving each offset its place in the pool.
inline void prepareShared(CallState& c, const MemoryLayout& m, unsigned char* base) {
  auto* tables = reinterpret_cast<double*>(base + m.tables);
  const std::size_t tableSize = m.sizes.tableSize;
  c.byTable = tableSize != 0 && fillEdgeTables(c, tables, tables + tableSize,
                                               reinterpret_cast<std::int32_t*>(base + m.list));
  c.edgeSums = tables;
  c.edgeWeights = tables + tableSize;
  c.slots = reinterpret_cast<OffsetSlot*>(base + m.slots);
  c.pool = reinterpret_cast<std::int32_t*>(base + m.pool);
  OffsetSlot* slot = c.slots;  // in findWalk's order: column offsets, then row offsets
  std::int32_t at = 0;
  for (std::int32_t dCol = -c.reachCols; dCol <= c.reachCols; ++dCol) {
    for (std::int32_t dRow = -c.reachRows; dRow <= c.reachRows; ++dRow) {
      const std::int32_t length = walkLength(dRow, dCol);
      new (slot++) OffsetSlot{{kNotLaidOut}, length, at};  // begins the slots' lifetime
      at += 2 * length;
    }
  }
}

// Worker w's state: the call's, its own part of the memory, its weight cache cleared.
inline Context workerContext(const CallState& call, const MemoryLayout& m, unsigned char* base,
                             int w) {
  Context c{};
  static_cast<CallState&>(c) = call;
  unsigned char* part = base + m.workerParts + static_cast<std::size_t>(w) * m.workerBytes;
  const std::size_t cacheSlots = m.sizes.cacheSlots;
  c.cache = reinterpret_cast<CacheSlot*>(part + m.cache);
  c.cacheMask = cacheSlots - 1;
  for (std::size_t s = 0; s < cacheSlots; ++s)
    c.cache[s] = CacheSlot{0, c.zeroWeight};  // 0: the bits of +0.0
  c.plan.found = reinterpret_cast<double*>(part + m.found);
  c.stage = reinterpret_cast<double*>(part + m.stage);
  c.plan.walks = reinterpret_cast<LaidOutWalk*>(part + m.walks);
  c.plan.program = reinterpret_cast<std::int32_t*>(part + m.program);
  c.plan.order = reinterpret_cast<std::int32_t*>(part + m.order);
  c.plan.laneByLane = reinterpret_cast<std::int32_t*>(part + m.laneByLane);
  c.plan.kinds = reinterpret_cast<PositionKind*>(part + m.kinds);
  c.plan.reusable = false;
  return c;
}

}  // namespace quorvane::engine
