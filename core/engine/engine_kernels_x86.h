#pragma once

// The engine's vector kernels for x86 processors. Each carries its instruction set as a
// target attribute: the library builds for the baseline processor, and the engine calls a
// kernel only after the run-time check of the processor (instructionSetAvailable).

#include <cstddef>
#include <cstdint>

#include "engine_context.h"

#ifdef QUORVANE_X86

namespace quorvane::engine {

// Block kernels (BlockKernel): stacked lanes (stride 1) read contiguous vectors, side-by-side
// lanes (stride nr) gather. Without the tables only the AVX kernel runs, on strengths.
QUORVANE_TARGET("avx")
void walkBlockAvx(const Context& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                  const std::int32_t* program, int count, double* found);
QUORVANE_TARGET("avx")
void walkBlockTablesAvx(const Context& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                        const std::int32_t* program, int count, double* found);
QUORVANE_TARGET("avx512f")
void walkBlockTablesAvx512(const Context& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                           const std::int32_t* program, int count, double* found);
QUORVANE_TARGET("avx512f")
void walkRowTablesAvx512(const Context& c, std::int32_t j, std::int32_t stride, unsigned laneMask,
                         const std::int32_t* program, int count, double* found);

// Writes the weights of eight lanes, found[p * 8 + l] for positions p < count, to out[l][p].
QUORVANE_TARGET("avx512f")
void transposeWeights(const double* found, std::uint32_t count, double* const* out);

// streamDoubles and streamRowIndices (output_stores.h) with 64-byte stores.
QUORVANE_TARGET("avx512f") void streamDoublesAvx512(double* out, const double* from, std::size_t n);
QUORVANE_TARGET("avx512f")
void streamRowIndicesAvx512(RowIndexOutput rows, std::size_t at, const std::uint32_t* ir,
                            std::size_t n);

// Whether b[p] + shift == a[p] for p < count (unsigned 32-bit arithmetic).
QUORVANE_TARGET("avx512f")
bool sameShiftedAvx512(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t count,
                       std::uint32_t shift);

}  // namespace quorvane::engine

#endif
