#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pattern.h"
#include "pixel_grid.h"

namespace quorvane {

// Where row indices go: element k of `target`, an array of signed or unsigned integers of
// `bytes` bytes (4 or 8). Row indices are below 2^31, so any such type holds them as they are.
struct RowIndexOutput {
  void* target;
  unsigned bytes;
};

// The instruction sets the engine can walk with. Each gives bit-for-bit the weights of the
// definition (crossingStrength followed by edgeWeight); they differ only in speed.
enum class InstructionSet {
  kScalar,  // scalar code only, any x86-64 (or other) processor
  kAvx,     // four start pixels per step in 256-bit registers
  kAvx512,  // eight start pixels per step in 512-bit registers
};

// Where weights come from. The engine chooses (kChosen) the edge tables for patterns of eight
// or more entries per pixel: a sum and a weight per pixel and direction, computed once per
// call; otherwise, and whenever a pair of pixels whose phases differ has a NaN magnitude sum,
// a small cache of weights keyed by the crossing strength. Tests name one to reach the other.
enum class WeightSource {
  kChosen,
  kEdgeTables,     // the tables whenever they can be used (no NaN sum, memory available)
  kStrengthCache,  // the cache only
};

// Runs job(data, 0) ... job(data, count - 1), each exactly once, and returns when all of them
// have returned. The jobs may run at the same time.
using JobRunner = void (*)(int count, void (*job)(void* data, int index), void* data);

// Below this many entries per worker a call is not worth another worker: starting a thread
// and its working memory cost about as much as computing them.
inline constexpr std::uint32_t kEntriesPerWorker = std::uint32_t{1} << 16;

// Who computes a call's weights: up to `count` workers, each over its own range of image
// columns, the ranges holding about equal numbers of entries and at least `entriesEach`
// each (so fewer workers for small patterns, and never more than there are image columns).
// `run` runs them, null: one after the other on the calling thread. The weights are the
// same whatever the count.
struct Workers {
  int count = 1;
  JobRunner run = nullptr;
  std::uint32_t entriesEach = kEntriesPerWorker;
};

// How the engine goes about a call; none of it changes the weights.
struct EngineOptions {
  std::optional<InstructionSet> instructionSet;  // none: bestInstructionSet()
  WeightSource source = WeightSource::kChosen;
  Workers workers = {};
};

// Whether this processor can run the instruction set (kScalar always can).
bool instructionSetAvailable(InstructionSet set);

// The fastest instruction set this processor runs, decided at run time.
InstructionSet bestInstructionSet();

// Writes the weight of every pattern entry k, jc[0] <= k < jc[np], to weights[k - jc[0]]:
// 1.0 when ir[k] is the column pixel, edgeWeight(crossingStrength(...), factor) otherwise;
// and, when rows.target is not null, ir[k] to element k - jc[0] of rows.target, in the same
// pass (while the pattern is in the processor's caches). Outputs of many megabytes are
// written with streamed stores (see engine/output_stores.h), fenced before the call returns.
// The pattern must be valid for the grid (see checkPattern). Runs on the calling thread
// unless options.workers says otherwise; its working memory is one allocation per call, none
// of it per entry (docs/engine.md gives its size); if that allocation fails it computes the
// same weights without the tables, or, failing that too, entry by entry on the calling
// thread. An instruction set this processor cannot run is taken as kScalar.
void computeWeights(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, double* weights,
                    RowIndexOutput rows = {nullptr, 8}, const EngineOptions& options = {});

}  // namespace quorvane
