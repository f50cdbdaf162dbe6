// The core against the reference transcription in tests/support, bit for bit, on many random
// grids, patterns and awkward values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "build_weight_matrix.h"
#include "crossing_strength.h"
#include "reference_weights.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  int nr, nc;
  std::vector<double> magnitude, phase;
  std::vector<std::uint32_t> ir, jc;
  std::optional<double> sigma;
};

// Values that exercise every comparison: NaN, both zeros, negatives, infinities, ties.
double awkward(std::mt19937& rng, const std::vector<double>& pool) {
  if (rng() % 4 == 0)
    return std::uniform_real_distribution<double>(-1.0, 10.0)(rng);
  return pool[rng() % pool.size()];
}

Case randomCase(std::mt19937& rng) {
  Case c;
  c.nr = 1 + static_cast<int>(rng() % 7);
  c.nc = 1 + static_cast<int>(rng() % 7);
  const int np = c.nr * c.nc;
  const std::vector<double> magnitudes{0.0, -0.0, 1.0, 2.5, -3.0, kNan, kInf, -kInf, 4.0};
  const std::vector<double> phases{0.0, -0.0, 1.0, 1.0, 2.0, kNan};
  for (int p = 0; p < np; ++p) {
    c.magnitude.push_back(awkward(rng, magnitudes));
    c.phase.push_back(rng() % 3 == 0 ? awkward(rng, phases) : phases[rng() % 3]);
  }
  // Every pair on half of the grids; random, unsorted, duplicated rows with a leading
  // offset in the column starts on the rest.
  const bool allPairs = rng() % 2 == 0;
  c.jc.push_back(allPairs ? 0 : rng() % 3);
  c.ir.assign(c.jc[0], 12345u);
  for (int j = 0; j < np; ++j) {
    const int count = allPairs ? np : static_cast<int>(rng() % (np + 2));
    for (int n = 0; n < count; ++n) {
      c.ir.push_back(allPairs ? n : static_cast<std::uint32_t>(rng() % np));
    }
    c.jc.push_back(static_cast<std::uint32_t>(c.ir.size()));
  }
  const std::vector<std::optional<double>> sigmas{std::nullopt, 1.0,  0.0, -2.0, kInf,
                                                  -kInf,        kNan, 0.3, 7.5};
  c.sigma = sigmas[rng() % sigmas.size()];
  return c;
}

template <typename Index>
void expectSameAsReference(const Case& c) {
  const int np = c.nr * c.nc;
  const std::size_t capacity = c.jc.back();
  std::vector<double> pr(capacity);
  std::vector<Index> ir(capacity), jc(np + 1);
  quorvane::buildWeightMatrix(quorvane::PixelGrid{c.nr, c.nc, np}, c.magnitude.data(),
                              c.phase.data(), quorvane::Pattern{c.ir.data(), c.jc.data()},
                              quorvane::WeightMatrix<Index>{pr.data(), ir.data(), jc.data()},
                              {c.sigma});
  const reference::Sparse expected = reference::weights(
      c.nr, c.nc, c.magnitude, c.phase, c.ir, c.jc, c.sigma.has_value(), c.sigma.value_or(0.0));
  ASSERT_EQ(expected.starts.size(), jc.size());
  for (std::size_t n = 0; n < jc.size(); ++n)
    ASSERT_EQ(static_cast<std::int64_t>(jc[n]), expected.starts[n]);
  for (std::size_t k = 0; k < expected.values.size(); ++k) {
    ASSERT_EQ(static_cast<std::int64_t>(ir[k]), expected.rows[k]) << "entry " << k;
    ASSERT_TRUE(reference::sameBits(pr[k], expected.values[k]))
        << "entry " << k << ": " << pr[k] << " vs " << expected.values[k];
  }
}

TEST(Differential, RandomSmallGridsAndPatternsMatchBitForBit) {
  std::mt19937 rng(20261209);
  for (int trial = 0; trial < 4000; ++trial) {
    const Case c = randomCase(rng);
    SCOPED_TRACE("trial " + std::to_string(trial));
    if (trial % 2 == 0) {
      expectSameAsReference<std::int64_t>(c);
    } else {
      expectSameAsReference<std::uint32_t>(c);
    }
    if (HasFatalFailure())
      return;
  }
}

// Long lines: past about 20 pixels the rounding of the minor coordinate after adding the
// start's coordinate makes the walk depend on where it starts, not only on the offset.
TEST(Differential, LongLinesFromManyStartsMatchBitForBit) {
  std::mt19937 rng(7);
  const int nr = 67, nc = 59, np = nr * nc;
  std::vector<double> magnitude(np), phase(np);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int p = 0; p < np; ++p) {
    magnitude[p] = unit(rng);
    phase[p] = static_cast<double>(rng() % 2);
  }
  const quorvane::PixelGrid grid{nr, nc, np};
  int compared = 0;
  for (int startRow : {0, 1, 2, 30}) {
    for (int startCol : {0, 1, 2, 17}) {
      const int start = startRow + startCol * nr;
      for (int trial = 0; trial < 300; ++trial) {
        const int row = static_cast<int>(rng() % nr), col = static_cast<int>(rng() % nc);
        if (std::max(std::abs(row - startRow), std::abs(col - startCol)) <= 20)
          continue;
        const int end = row + col * nr;
        for (auto [from, to] : {std::pair{start, end}, std::pair{end, start}}) {
          const double fast =
              quorvane::crossingStrength(grid, magnitude.data(), phase.data(), from, to);
          const double slow = reference::strength(nr, magnitude.data(), phase.data(), from, to);
          ASSERT_TRUE(reference::sameBits(fast, slow)) << from << " -> " << to;
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 5000);
}

}  // namespace
