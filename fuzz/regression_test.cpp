// Faults found by fuzzing, kept as ordinary tests that fail without any sanitizer: the pattern
// and output arrays are followed by sentinels, so that reading past the column starts or
// writing past the output shows up as a changed sentinel or a wrong weight.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "build_weight_matrix.h"
#include "reference_weights.h"

namespace {

using quorvane::InstructionSet;

constexpr std::uint64_t kCanaryBits = 0x7ff4dead0000beefull;  // a signalling NaN nobody writes

double canary() {
  double value;
  std::memcpy(&value, &kCanaryBits, sizeof value);
  return value;
}

bool isCanary(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits == kCanaryBits;
}

struct Guarded {
  int nr, nc;
  std::vector<double> magnitude, phase;
  std::vector<std::uint32_t> ir, jc;  // followed by `extra` sentinel entries
};

constexpr std::uint32_t kExtra = 4;

// Every pixel paired with itself only: the start pixels of a column all agree, so the
// engine stacks whole image columns. Past jc[np] lies a column start that would add kExtra
// entries, and past ir[jc[np] - 1] lie kExtra valid row indices, so reading one column too
// many writes past the output instead of crashing.
Guarded diagonalOnly(int nr, int nc) {
  Guarded g{nr, nc, {}, {}, {}, {}};
  const int np = nr * nc;
  for (int p = 0; p < np; ++p) {
    g.magnitude.push_back(1.0 + p % 3);
    g.phase.push_back(p % 2);
    g.ir.push_back(static_cast<std::uint32_t>(p));
    g.jc.push_back(static_cast<std::uint32_t>(p));
  }
  g.jc.push_back(static_cast<std::uint32_t>(np));
  g.jc.push_back(static_cast<std::uint32_t>(np) + kExtra);
  for (std::uint32_t e = 0; e < kExtra; ++e)
    g.ir.push_back(static_cast<std::uint32_t>(np - 1 - e % np));
  return g;
}

// The weights of every instruction set this processor runs, into an output followed by
// sentinels.
void expectExactWithinBounds(const Guarded& g) {
  const int np = g.nr * g.nc;
  const std::vector<std::uint32_t> ir(g.ir.begin(), g.ir.end() - kExtra);
  const std::vector<std::uint32_t> jc(g.jc.begin(), g.jc.end() - 1);
  const reference::Sparse expected =
      reference::weights(g.nr, g.nc, g.magnitude, g.phase, ir, jc, false, 0.0);
  const std::size_t count = expected.values.size();
  const quorvane::PixelGrid grid = quorvane::makePixelGrid(g.nr, g.nc);
  const quorvane::Pattern pattern{g.ir.data(), g.jc.data()};
  for (InstructionSet set :
       {InstructionSet::kScalar, InstructionSet::kAvx, InstructionSet::kAvx512}) {
    for (auto source :
         {quorvane::WeightSource::kEdgeTables, quorvane::WeightSource::kStrengthCache}) {
      if (!quorvane::instructionSetAvailable(set))
        continue;
      SCOPED_TRACE(testing::Message()
                   << "instruction set " << static_cast<int>(set) << ", source "
                   << static_cast<int>(source) << ", grid " << g.nr << " x " << g.nc);
      std::vector<double> weights(count + kExtra, canary());
      std::vector<std::int64_t> starts(np + 1);
      quorvane::buildWeightMatrix(
          grid, g.magnitude.data(), g.phase.data(), pattern,
          quorvane::WeightMatrix<std::int64_t>{weights.data(), nullptr, starts.data()},
          {std::nullopt, {set, source}});
      for (std::size_t k = 0; k < count; ++k)
        EXPECT_TRUE(reference::sameBits(weights[k], expected.values[k])) << "entry " << k;
      for (std::size_t k = count; k < weights.size(); ++k)
        EXPECT_TRUE(isCanary(weights[k])) << "written past the output at " << k;
    }
  }
  // The whole matrix, through the template the hosts use.
  std::vector<double> pr(count + kExtra, canary());
  std::vector<std::int64_t> rows(count + kExtra, -7), starts(np + 1 + kExtra, -7);
  quorvane::buildWeightMatrix<std::int64_t>(
      grid, g.magnitude.data(), g.phase.data(), pattern,
      quorvane::WeightMatrix<std::int64_t>{pr.data(), rows.data(), starts.data()});
  for (std::size_t k = count; k < pr.size(); ++k) {
    EXPECT_TRUE(isCanary(pr[k])) << "value written past the output at " << k;
    EXPECT_EQ(rows[k], -7) << "row index written past the output at " << k;
  }
  for (std::size_t j = np + 1; j < starts.size(); ++j)
    EXPECT_EQ(starts[j], -7) << "column start written past the output at " << j;
}

// Found by engine_fuzzer (fuzz/corpus/engine/3586a0ab...): an 8 x 1 image, each pixel paired
// with itself. When every row of an image column went through stacked blocks, the border
// pass jumped to row nr, one past the column, and processed pixel np (reading jc[np + 1]
// and ir beyond the pattern, writing weights beyond the output).
TEST(FuzzRegression, StackedWholeColumnsStayInsideThePattern) {
  for (int nr : {4, 8, 16, 24}) {
    for (int nc : {1, 2, 3, 9}) {
      expectExactWithinBounds(diagonalOnly(nr, nc));
    }
  }
}

}  // namespace
