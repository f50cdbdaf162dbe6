// When the engine's one allocation fails it must still give the same weights: first without
// the edge tables (the strength cache), then, if that fails too, entry by entry. This
// binary replaces the array forms of operator new so that the next allocations can be made
// to fail; it is a program of its own because the replacement is global.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <vector>

#include "build_weight_matrix.h"
#include "disc_pattern.h"
#include "reference_weights.h"

namespace {
int failingAllocations = 0;  // how many of the next nothrow array allocations fail
}  // namespace

// Array allocations go through the single-object operators, so that every allocator (and
// AddressSanitizer's bookkeeping) sees matching pairs.
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  if (failingAllocations > 0) {
    --failingAllocations;
    return nullptr;
  }
  return ::operator new(size, tag);
}
void operator delete[](void* p) noexcept {
  ::operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  ::operator delete(p);
}

namespace {

TEST(EngineAllocation, FailedAllocationsStillGiveTheReferenceWeights) {
  const int nr = 29, nc = 23, np = nr * nc, radius = 3;
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> unit(0.0, 3.0);
  std::vector<double> magnitude(np), phase(np);
  for (int p = 0; p < np; ++p) {
    magnitude[p] = unit(rng);
    phase[p] = static_cast<double>(((p % nr) / 3 + (p / nr) / 4 + static_cast<int>(rng() % 3)) % 2);
  }
  std::vector<std::uint32_t> ir(quorvane::discPatternEntries(nr, nc, radius)), jc(np + 1);
  quorvane::fillDiscPattern(nr, nc, radius, ir.data(), jc.data());
  const reference::Sparse expected =
      reference::weights(nr, nc, magnitude, phase, ir, jc, true, 0.8);
  for (int failures : {0, 1, 2}) {
    for (quorvane::InstructionSet set :
         {quorvane::InstructionSet::kScalar, quorvane::InstructionSet::kAvx,
          quorvane::InstructionSet::kAvx512}) {
      SCOPED_TRACE(testing::Message()
                   << failures << " failed allocations, instruction set " << static_cast<int>(set));
      std::vector<double> weights(ir.size(), -1.0);
      std::vector<std::int64_t> rows(ir.size(), -1), starts(jc.size(), -1);
      failingAllocations = failures;
      quorvane::buildWeightMatrix(
          quorvane::PixelGrid{nr, nc, np}, magnitude.data(), phase.data(),
          quorvane::Pattern{ir.data(), jc.data()},
          quorvane::WeightMatrix<std::int64_t>{weights.data(), rows.data(), starts.data()},
          {0.8, {set, quorvane::WeightSource::kEdgeTables}});
      EXPECT_EQ(failingAllocations, 0) << "the engine asked for fewer allocations than failed";
      failingAllocations = 0;
      for (std::size_t k = 0; k < ir.size(); ++k) {
        ASSERT_TRUE(reference::sameBits(weights[k], expected.values[k])) << "entry " << k;
        ASSERT_EQ(rows[k], expected.rows[k]) << "row index of entry " << k;
      }
    }
  }
}

}  // namespace
