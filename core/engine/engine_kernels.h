#pragma once

// The code a call runs its blocks with: the kinds of kernel, the vector kernels for x86
// processors (engine_kernels_x86.cpp), and the choice among them for a call (chooseKernels).
// Each vector kernel carries its instruction set as a target attribute: the library builds
// for the baseline processor, and the engine calls a kernel only after the run-time check of
// the processor (instructionSetAvailable).

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine_context.h"

namespace quorvane::engine {

// Runs the `count` items of a plan's program (walks without the tables, prefix-tree steps
// with them; see Plan) for `lanes` start pixels at once, lane l starting at pixel
// j + stride * l, writing for the walk at position p, lane l, to found[p * lanes + l] the
// weight (edge tables: Kernels::weighs) or the crossing strength (otherwise).
using BlockKernel = void (*)(const CallState& c, std::int32_t j, std::int32_t stride,
                             unsigned laneMask, const std::int32_t* program, int count,
                             double* found);

// Whether b[p] + shift == a[p] for p < count (unsigned 32-bit arithmetic).
using ShiftedCompare = bool (*)(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                                std::uint32_t shift);

// The portable ShiftedCompare, 64 entries between early exits.
inline bool sameShifted(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
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

#ifdef QUORVANE_X86

// Block kernels (BlockKernel): stacked lanes (stride 1) read contiguous vectors, side-by-side
// lanes (stride nr) gather. Without the tables only the AVX kernel runs, on strengths.
QUORVANE_TARGET("avx")
void walkBlockAvx(const CallState& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                  const std::int32_t* program, int count, double* found);
QUORVANE_TARGET("avx")
void walkBlockTablesAvx(const CallState& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                        const std::int32_t* program, int count, double* found);
QUORVANE_TARGET("avx512f")
void walkBlockTablesAvx512(const CallState& c, std::int32_t j, std::int32_t stride,
                           unsigned laneMask, const std::int32_t* program, int count,
                           double* found);
QUORVANE_TARGET("avx512f")
void walkRowTablesAvx512(const CallState& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                         const std::int32_t* program, int count, double* found);

// Writes the weights of eight lanes, found[p * 8 + l] for positions p < count, to out[l][p].
QUORVANE_TARGET("avx512f")
void transposeWeights(const double* found, std::uint32_t count, double* const* out);

// streamDoubles and streamRowIndices (output_stores.h) with 64-byte stores.
QUORVANE_TARGET("avx512f") void streamDoublesAvx512(double* out, const double* from, std::size_t n);
QUORVANE_TARGET("avx512f")
void streamRowIndicesAvx512(RowIndexOutput rows, std::size_t at, const std::uint32_t* ir,
                            std::size_t n);

// sameShifted in 512-bit registers (a ShiftedCompare).
QUORVANE_TARGET("avx512f")
bool sameShiftedAvx512(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                       std::uint32_t shift);

#endif

// The code a call runs with, chosen once per call (chooseKernels): the block kernels, their
// lane counts and the comparison of start pixels' entries.
struct Kernels {
  int lanes = 1;       // stacked lanes; 1 without vector kernels
  int groupLanes = 1;  // side-by-side lanes; 1 without a row kernel
  BlockKernel stacked = nullptr, sideBySide = nullptr;
  bool weighs = false;  // the block kernels write weights, not strengths
  ShiftedCompare compare = sameShifted;
};

// The kernels for the instruction set and the source of weights.
inline Kernels chooseKernels(InstructionSet set, bool byTable) {
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

}  // namespace quorvane::engine
