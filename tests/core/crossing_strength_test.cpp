#include "crossing_strength.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace {

using quorvane::crossingStrength;
using quorvane::PixelGrid;

struct Image {
  PixelGrid grid;
  std::vector<double> magnitude, phase;

  Image(int nr, int nc) : grid{nr, nc, nr * nc}, magnitude(nr * nc, 1.0), phase(nr * nc, 0.0) {}
  int pixel(int row, int col) const { return row + col * grid.nr; }
  double strength(int from, int to) const {
    return crossingStrength(grid, magnitude.data(), phase.data(), from, to);
  }
};

// The pixels a walk visits, seen from outside: with unit magnitudes and a phase that differs
// at one pixel only, the walk reports a crossing exactly when it passes that pixel.
std::set<std::pair<int, int>> visited(int nr, int nc, std::pair<int, int> from,
                                      std::pair<int, int> to) {
  Image image(nr, nc);
  std::set<std::pair<int, int>> pixels;
  for (int row = 0; row < nr; ++row) {
    for (int col = 0; col < nc; ++col) {
      std::fill(image.phase.begin(), image.phase.end(), 0.0);
      image.phase[image.pixel(row, col)] = 1.0;
      const double m =
          image.strength(image.pixel(from.first, from.second), image.pixel(to.first, to.second));
      if (m != 0.0)
        pixels.insert({row, col});
    }
  }
  return pixels;
}

using Path = std::set<std::pair<int, int>>;

TEST(CrossingStrengthPath, StraightAndDiagonalLines) {
  EXPECT_EQ(visited(3, 3, {0, 0}, {0, 2}), (Path{{0, 0}, {0, 1}, {0, 2}}));
  EXPECT_EQ(visited(3, 3, {2, 1}, {0, 1}), (Path{{2, 1}, {1, 1}, {0, 1}}));
  EXPECT_EQ(visited(3, 3, {0, 0}, {2, 2}), (Path{{0, 0}, {1, 1}, {2, 2}}));
  EXPECT_EQ(visited(3, 3, {2, 0}, {0, 2}), (Path{{2, 0}, {1, 1}, {0, 2}}));
}

TEST(CrossingStrengthPath, HalfWayPointsGoToTheLargerIndexBothWays) {
  const Path a{{0, 0}, {1, 1}, {1, 2}}, b{{2, 0}, {2, 1}, {1, 2}}, c{{0, 0}, {1, 1}, {2, 1}};
  EXPECT_EQ(visited(3, 3, {0, 0}, {1, 2}), a);
  EXPECT_EQ(visited(3, 3, {1, 2}, {0, 0}), a);
  EXPECT_EQ(visited(3, 3, {2, 0}, {1, 2}), b);
  EXPECT_EQ(visited(3, 3, {1, 2}, {2, 0}), b);
  EXPECT_EQ(visited(3, 3, {0, 0}, {2, 1}), c);
  EXPECT_EQ(visited(3, 3, {2, 1}, {0, 0}), c);
}

TEST(CrossingStrengthPath, StaysInsideTheSpannedRectangleOnLongLines) {
  // 22 by 15 and its mirror images: every visited pixel lies in the bounding box.
  for (auto [from, to] : std::vector<std::pair<std::pair<int, int>, std::pair<int, int>>>{
           {{1, 2}, {23, 17}}, {{23, 17}, {1, 2}}, {{2, 1}, {17, 23}}, {{0, 24}, {15, 2}}}) {
    const Path path = visited(26, 26, from, to);
    EXPECT_EQ(path.size(), static_cast<size_t>(std::max(std::abs(to.first - from.first),
                                                        std::abs(to.second - from.second)) +
                                               1));
    for (auto [row, col] : path) {
      EXPECT_GE(row, std::min(from.first, to.first));
      EXPECT_LE(row, std::max(from.first, to.first));
      EXPECT_GE(col, std::min(from.second, to.second));
      EXPECT_LE(col, std::max(from.second, to.second));
    }
  }
}

TEST(CrossingStrength, OneRowExample) {
  Image image(1, 3);
  image.magnitude = {2, 4, 8};
  image.phase = {0, 1, 1};
  EXPECT_EQ(image.strength(0, 2), 6.0);
  EXPECT_EQ(image.strength(2, 0), 6.0);
  EXPECT_EQ(image.strength(1, 2), 0.0);
  EXPECT_EQ(image.strength(0, 1), 6.0);
  EXPECT_EQ(image.strength(1, 0), 6.0);
}

TEST(CrossingStrength, ConstantPhaseGivesZeroWhateverTheMagnitudes) {
  Image image(4, 5);
  for (int p = 0; p < image.grid.np; ++p)
    image.magnitude[p] = p % 3 == 0 ? -7.0 : 1e300;
  image.phase.assign(image.grid.np, -0.0);
  image.phase[7] = 0.0;  // -0.0 equals 0.0: no change
  for (int from = 0; from < image.grid.np; ++from) {
    for (int to = 0; to < image.grid.np; ++to) {
      if (from != to) {
        EXPECT_EQ(image.strength(from, to), 0.0) << from << " " << to;
      }
    }
  }
}

TEST(CrossingStrength, OnlyTheLargestCrossingCountsAndNegativeSumsDoNot) {
  Image image(1, 5);
  image.magnitude = {1, 2, 1, 3, 2};
  image.phase = {0, 1, 1, 2, 2};  // changes between 0-1 (sum 3) and 2-3 (sum 4)
  EXPECT_EQ(image.strength(0, 4), 4.0);
  image.magnitude = {-1, -2, -1, -3, -2};
  EXPECT_EQ(image.strength(0, 4), 0.0);  // m starts at 0.0 and no sum beats it
}

TEST(CrossingStrength, NanPhaseIsAChangeAndANanSumIsReplacedLater) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Image image(1, 5);
  image.magnitude = {1, 1, 1, 1, 1};
  image.phase = {nan, nan, 0, 0, 0};  // NaN never equals NaN
  EXPECT_EQ(image.strength(0, 1), 2.0);
  EXPECT_EQ(image.strength(1, 0), 2.0);

  image.phase = {0, 1, 1, 2, 2};
  image.magnitude = {nan, 1, 1, 2, 5};
  EXPECT_EQ(image.strength(0, 4), 3.0);           // NaN at the first crossing, replaced by 1 + 2
  EXPECT_TRUE(std::isnan(image.strength(0, 2)));  // nothing after the NaN crossing
  // The other way round the NaN crossing comes last and replaces 3: the walk's direction counts.
  EXPECT_TRUE(std::isnan(image.strength(4, 0)));
}

}  // namespace
