// The disc-pattern generator against its definition: every pixel pair within the radius,
// by brute force over all pairs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "disc_pattern.h"

namespace {

struct Pattern {
  std::vector<std::uint32_t> ir, jc;
};

Pattern bruteForce(int nr, int nc, double radius) {
  Pattern p;
  p.jc.push_back(0);
  for (int j = 0; j < nr * nc; ++j) {
    for (int i = 0; i < nr * nc; ++i) {
      const double dr = i % nr - j % nr, dc = i / nr - j / nr;
      if (std::sqrt(dr * dr + dc * dc) <= radius)
        p.ir.push_back(static_cast<std::uint32_t>(i));
    }
    p.jc.push_back(static_cast<std::uint32_t>(p.ir.size()));
  }
  return p;
}

TEST(DiscPattern, EveryPairWithinTheRadiusInPixelOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& [nr, nc] : {std::pair{1, 1}, {1, 9}, {9, 1}, {4, 6}, {13, 11}, {30, 3}}) {
    // Radii between grid distances, on them, and sqrt(k), whose square rounds below k.
    for (double radius :
         {0.0, 0.99, 1.0, std::sqrt(2.0), 2.5, std::sqrt(13.0), std::sqrt(29.0), 7.0, 40.0, inf}) {
      const Pattern expected = bruteForce(nr, nc, radius);
      ASSERT_EQ(quorvane::discPatternEntries(nr, nc, radius), expected.ir.size());
      Pattern got{std::vector<std::uint32_t>(expected.ir.size()),
                  std::vector<std::uint32_t>(expected.jc.size())};
      quorvane::fillDiscPattern(nr, nc, radius, got.ir.data(), got.jc.data());
      EXPECT_EQ(got.jc, expected.jc) << nr << " x " << nc << " radius " << radius;
      EXPECT_EQ(got.ir, expected.ir) << nr << " x " << nc << " radius " << radius;
    }
  }
}

TEST(DiscPattern, CountsBeyondUint32AreReportedAsSuch) {
  EXPECT_EQ(quorvane::discPatternEntries(500, 500, 10), 77901200u);
  // About five pairs for each of 2^31 - 2^16 pixels, and a line paired with itself: more
  // than JC can hold, found without counting every pair.
  EXPECT_GT(quorvane::discPatternEntries(65536, 32767, 1), std::uint64_t{UINT32_MAX});
  EXPECT_GT(quorvane::discPatternEntries(1, 2147483647, 1e300), std::uint64_t{UINT32_MAX});
}

}  // namespace
