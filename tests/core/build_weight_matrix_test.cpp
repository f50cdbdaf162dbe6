#include "build_weight_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

using quorvane::buildWeightMatrix;
using quorvane::Pattern;
using quorvane::PixelGrid;
using quorvane::WeightMatrix;

// Output arrays with room for the pattern's capacity, pre-filled with junk so that every
// element the core should write is seen to be written.
template <typename Index>
struct Output {
  std::vector<double> pr;
  std::vector<Index> ir, jc;

  Output(std::size_t capacity, int np)
      : pr(capacity, -99.0), ir(capacity, static_cast<Index>(77)), jc(np + 1, 55) {}
  WeightMatrix<Index> view() { return {pr.data(), ir.data(), jc.data()}; }
};

template <typename Index>
Output<Index> build(PixelGrid grid, const std::vector<double>& magnitude,
                    const std::vector<double>& phase, const std::vector<std::uint32_t>& ir,
                    const std::vector<std::uint32_t>& jc, std::optional<double> sigma) {
  Output<Index> out(jc.back(), grid.np);
  buildWeightMatrix(grid, magnitude.data(), phase.data(), Pattern{ir.data(), jc.data()}, out.view(),
                    {sigma});
  return out;
}

const PixelGrid kRow3{1, 3, 3};
const std::vector<double> kMagnitude{2, 4, 8}, kPhase{0, 1, 1};
const std::vector<std::uint32_t> kAllIr{0, 1, 2, 0, 1, 2, 0, 1, 2}, kAllJc{0, 3, 6, 9};

template <typename Index>
class BuildWeightMatrix : public ::testing::Test {};
using IndexTypes = ::testing::Types<std::int64_t, std::uint64_t, std::int32_t, std::uint32_t>;
TYPED_TEST_SUITE(BuildWeightMatrix, IndexTypes);

TYPED_TEST(BuildWeightMatrix, OneRowExampleWithAndWithoutSigma) {
  const double a = std::exp(-4.5);
  auto out = build<TypeParam>(kRow3, kMagnitude, kPhase, kAllIr, kAllJc, 1.0);
  EXPECT_EQ(out.pr, (std::vector<double>{1, a, a, a, 1, 1, a, 1, 1}));
  EXPECT_EQ(out.ir, (std::vector<TypeParam>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
  EXPECT_EQ(out.jc, (std::vector<TypeParam>{0, 3, 6, 9}));

  const double b = std::exp(((-3.0) * 3.0) * (0.5 / ((8.0 / 6.0) * (8.0 / 6.0))));
  EXPECT_NEAR(b, 0.079560, 1e-6);
  out = build<TypeParam>(kRow3, kMagnitude, kPhase, kAllIr, kAllJc, std::nullopt);
  EXPECT_EQ(out.pr, (std::vector<double>{1, b, b, b, 1, 1, b, 1, 1}));
}

TYPED_TEST(BuildWeightMatrix, ColumnStartsCountFromZeroAndUnreadEntriesStayUnread) {
  // JC = [2, 3, 4]: IR[0] and IR[1] hold garbage that must never be read or copied.
  const PixelGrid grid{2, 1, 2};
  auto out =
      build<TypeParam>(grid, {1, 1}, {0, 1}, {4000000000u, 4000000000u, 1, 0}, {2, 3, 4}, 2.0);
  EXPECT_EQ(out.jc, (std::vector<TypeParam>{0, 1, 2}));
  EXPECT_EQ(out.ir[0], TypeParam{1});
  EXPECT_EQ(out.ir[1], TypeParam{0});
  EXPECT_EQ(out.pr[0], std::exp(-0.125));
  EXPECT_EQ(out.pr[2], -99.0);  // capacity 4, two entries written
  EXPECT_EQ(out.ir[2], TypeParam{77});
}

TEST(BuildWeightMatrix, RowsKeepTheirOrderDuplicatesAndEmptyColumns) {
  const PixelGrid grid{2, 3, 6};
  const std::vector<double> magnitude{1, 2, 3, 4, 5, 6}, phase{0, 0, 1, 1, 0, 0};
  // Column 0: rows 5, 3, 5, 0; column 1 empty; column 2: row 2; rest empty.
  auto out =
      build<std::int64_t>(grid, magnitude, phase, {5, 3, 5, 0, 2}, {0, 4, 4, 5, 5, 5, 5}, 1.0);
  EXPECT_EQ(out.ir, (std::vector<std::int64_t>{5, 3, 5, 0, 2}));
  EXPECT_EQ(out.jc, (std::vector<std::int64_t>{0, 4, 4, 5, 5, 5, 5}));
  EXPECT_EQ(out.pr[0], out.pr[2]);
  EXPECT_EQ(out.pr[3], 1.0);
  EXPECT_EQ(out.pr[4], 1.0);
}

TEST(BuildWeightMatrix, DiagonalOnlyGivesOnesEvenForNonFiniteImages) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const PixelGrid grid{2, 2, 4};
  auto out = build<std::int64_t>(grid, {nan, -1, kInfinity, 0}, {nan, nan, nan, nan}, {0, 1, 2, 3},
                                 {0, 1, 2, 3, 4}, 0.0);
  EXPECT_EQ(out.pr, (std::vector<double>(4, 1.0)));
}

TEST(BuildWeightMatrix, ConstantPhaseGivesOnesForAnyNonZeroSigma) {
  const PixelGrid grid{2, 2, 4};
  std::vector<std::uint32_t> ir, jc{0};
  for (std::uint32_t j = 0; j < 4; ++j) {
    for (std::uint32_t i = 0; i < 4; ++i)
      ir.push_back(i);
    jc.push_back(static_cast<std::uint32_t>(ir.size()));
  }
  for (double sigma : {1.0, -3.0, 1e-150, kInfinity}) {
    auto out = build<std::int64_t>(grid, {5, 6, 7, 8}, {3, 3, 3, 3}, ir, jc, sigma);
    EXPECT_EQ(out.pr, (std::vector<double>(16, 1.0))) << sigma;
  }
  // A sigma whose square underflows acts as sigma 0: 0 * inf.
  auto out = build<std::int64_t>(grid, {5, 6, 7, 8}, {3, 3, 3, 3}, ir, jc, 1e-300);
  EXPECT_TRUE(std::isnan(out.pr[1]));
}

TEST(BuildWeightMatrix, SigmaZeroGivesZeroAcrossEdgesAndNanElsewhere) {
  auto out = build<std::int64_t>(kRow3, kMagnitude, kPhase, kAllIr, kAllJc, 0.0);
  ASSERT_EQ(out.pr.size(), 9u);
  EXPECT_EQ(out.pr[0], 1.0);
  EXPECT_EQ(out.pr[1], 0.0);
  EXPECT_TRUE(std::isnan(out.pr[5]));  // (2,1): no crossing, 0 * inf
  EXPECT_TRUE(std::isnan(out.pr[7]));  // (1,2)
  EXPECT_EQ(out.pr[8], 1.0);
}

TEST(BuildWeightMatrix, DefaultSigmaOfNonPositiveMagnitudesIsZero) {
  auto out = build<std::int64_t>(kRow3, {-2, -4, -8}, kPhase, kAllIr, kAllJc, std::nullopt);
  for (std::size_t k : {1, 2, 3, 5, 6, 7})
    EXPECT_TRUE(std::isnan(out.pr[k])) << k;
  EXPECT_EQ(out.pr[0], 1.0);
}

TEST(DefaultSigma, RunningMaximumFollowsTheWrittenComparison) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A NaN replaces the maximum, and the next element replaces the NaN.
  EXPECT_EQ(quorvane::defaultSigma(std::vector<double>{12, nan, 3}.data(), 3), 0.5);
  EXPECT_TRUE(std::isnan(quorvane::defaultSigma(std::vector<double>{12, 3, nan}.data(), 3)));
  EXPECT_EQ(quorvane::defaultSigma(std::vector<double>{-1, -0.0}.data(), 2), 0.0);
  EXPECT_EQ(quorvane::defaultSigma(std::vector<double>{1, kInfinity}.data(), 2), kInfinity);
}

}  // namespace
