// The disc-pattern generator against its definition: every pixel pair within the radius,
// by brute force over all pairs.
#include <gtest/gtest.h>

#include <algorithm>
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

// Parts within one column, across a column boundary, of whole columns, empty ones and the
// whole: the whole pattern's columns with their starts shifted to 0.
void expectPartsAreSlices(int nr, int nc, double radius, const Pattern& whole) {
  const std::int64_t n = std::int64_t{nr} * nc;
  for (const auto& [first, last] : {std::pair{std::int64_t{0}, n},
                                    {0, 0},
                                    {n, n},
                                    {0, 1},
                                    {n - 1, n},
                                    {1, std::min(n, std::int64_t{nr} + 2)},
                                    {nr / 2, n - nr / 2},
                                    {std::int64_t{nr}, std::min(n, std::int64_t{3} * nr)}}) {
    if (first > last)
      continue;
    const std::uint32_t base = whole.jc[first];
    const std::uint64_t entries = whole.jc[last] - base;
    ASSERT_EQ(quorvane::discPatternEntries(nr, nc, radius, {first, last}), entries)
        << nr << " x " << nc << " radius " << radius << " part " << first << "-" << last;
    std::vector<std::uint32_t> ir(entries), jc(last - first + 1);
    quorvane::fillDiscPattern(nr, nc, radius, {first, last}, ir.data(), jc.data());
    for (std::int64_t p = first; p <= last; ++p)
      ASSERT_EQ(jc[p - first], whole.jc[p] - base) << "part " << first << "-" << last;
    EXPECT_TRUE(std::equal(ir.begin(), ir.end(), whole.ir.begin() + base))
        << nr << " x " << nc << " radius " << radius << " part " << first << "-" << last;
  }
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
      expectPartsAreSlices(nr, nc, radius, expected);
    }
  }
}

TEST(DiscPattern, CountsBeyondUint32AreReportedAsSuch) {
  EXPECT_EQ(quorvane::discPatternEntries(500, 500, 10), 77901200u);
  // About five pairs for each of 2^31 - 2^16 pixels, and a line paired with itself: more
  // than JC can hold, found without counting every pair.
  EXPECT_GT(quorvane::discPatternEntries(65536, 32767, 1), std::uint64_t{UINT32_MAX});
  EXPECT_GT(quorvane::discPatternEntries(1, 2147483647, 1e300), std::uint64_t{UINT32_MAX});
  // A part of such a pattern can still be made: its count is exact. The first ten pixels of
  // column 0 at radius 1 pair with the rows next to them and with one pixel to the right.
  EXPECT_EQ(quorvane::discPatternEntries(65536, 32767, 1, {0, 10}), 3u + 9 * 4);
  EXPECT_GT(quorvane::discPatternEntries(65536, 32767, 1, {0, 65536LL * 32767}),
            std::uint64_t{UINT32_MAX});
}

}  // namespace
