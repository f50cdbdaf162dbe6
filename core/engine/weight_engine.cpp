// The weight engine: the same weights as the definition (crossingStrength, then edgeWeight
// for each entry), computed with less work: walks laid out once per offset, edge tables that
// turn a walk's step into one load and one comparison, blocks of start pixels walked together
// in vector lanes, plans reused down and across columns. See docs/engine.md.

#include "weight_engine.h"

#include <algorithm>
#include <cstdint>

#include "column_ranges.h"
#include "column_scan.h"
#include "crossing_strength.h"
#include "engine_context.h"
#include "engine_kernels.h"
#include "weight_rule.h"
#include "working_memory.h"

namespace quorvane {
namespace engine {
namespace {

// The phases of a call, in the order computeWeights takes them.
CallState setUpCall(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, RowIndexOutput rows);
int workerCount(const Workers& workers, std::uint32_t entries, std::int32_t columns);
void walkEveryEntry(const PixelGrid& grid, const double* magnitude, const double* phase,
                    const Pattern& pattern, double factor, double* weights, RowIndexOutput rows);
void scanOnWorkers(const CallState& call, const Kernels& kernels, const Pattern& pattern,
                   double* weights, const WorkingMemory& memory, const Workers& workers);

}  // namespace
}  // namespace engine

using namespace engine;

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
  scanOnWorkers(call, kernels, pattern, weights, memory, options.workers);
}

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

namespace engine {
namespace {

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

// As many workers as asked for, but none beyond the image columns or below entriesEach
// entries (one at least).
int workerCount(const Workers& workers, std::uint32_t entries, std::int32_t columns) {
  const std::uint32_t each = std::max<std::uint32_t>(workers.entriesEach, 1);
  const auto most = static_cast<std::int64_t>(std::max<std::uint32_t>(entries / each, 1));
  return static_cast<int>(std::max<std::int64_t>(
      1, std::min({static_cast<std::int64_t>(workers.count), most, std::int64_t{columns}})));
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

// The image columns cut into ranges of about equal entry counts, one per worker, and the
// workers run on them (by the caller's runner, or one after the other here).
void scanOnWorkers(const CallState& call, const Kernels& kernels, const Pattern& pattern,
                   double* weights, const WorkingMemory& memory, const Workers& workers) {
  auto* bounds = reinterpret_cast<std::int32_t*>(memory.base + memory.layout.bounds);
  const int ranges = columnRanges(pattern.jc, call.grid.nr, call.grid.nc,
                                  memory.layout.sizes.workers, kernels.groupLanes, bounds);
  Job job{&call, &kernels, &pattern, weights, &memory.layout, memory.base, bounds};
  if (ranges > 1 && workers.run != nullptr) {
    workers.run(ranges, runWorker, &job);
  } else {
    for (int w = 0; w < ranges; ++w)
      runWorker(&job, w);
  }
}

}  // namespace
}  // namespace engine
}  // namespace quorvane
