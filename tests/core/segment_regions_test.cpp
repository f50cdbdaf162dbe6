// The segmentation's steps after the basins on cases with known answers: the region sums and
// their graph, merging, whole segments and settled borders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "segment/merging.h"
#include "segment/region_graph.h"
#include "segment/settle_borders.h"
#include "segment/whole_segments.h"

namespace {

using quorvane::segment::RegionGraph;
using quorvane::segment::RegionSums;
using Labels = std::vector<std::int32_t>;

// Compressed columns over the pixels of a rows x columns image: each pixel paired with itself
// and its 4-neighbours, weighing weight(i, j).
struct Weights {
  std::vector<std::int32_t> starts{0}, rows;
  std::vector<double> values;

  Weights(std::int64_t h, std::int64_t w, const std::function<double(int, int)>& weight) {
    for (std::int64_t j = 0; j < h * w; ++j) {
      const std::int64_t r = j / w, c = j % w;
      for (std::int64_t i : {j - w, j - 1, j, j + 1, j + w}) {
        const std::int64_t ri = i / w, ci = i % w;
        if (i < 0 || i >= h * w || std::abs(ri - r) + std::abs(ci - c) > 1)
          continue;
        rows.push_back(static_cast<std::int32_t>(i));
        values.push_back(weight(static_cast<int>(i), static_cast<int>(j)));
      }
      starts.push_back(static_cast<std::int32_t>(rows.size()));
    }
  }

  quorvane::segment::AddWeights adder() const {
    return [this](RegionSums& sums) {
      return sums.add(0, static_cast<std::int64_t>(starts.size()) - 1, starts.data(), rows.data(),
                      values.data());
    };
  }
};

// A 1 x n strip: 1 within a label, across[{a, b}] (a < b) between neighbouring labels.
Weights stripWeights(const Labels& labels, const std::map<std::pair<int, int>, double>& across) {
  return Weights(1, static_cast<std::int64_t>(labels.size()), [&](int i, int j) {
    const int a = std::min(labels[i], labels[j]), b = std::max(labels[i], labels[j]);
    return a == b ? 1.0 : across.at({a, b});
  });
}

RegionGraph graphOf(const Labels& labels, std::int32_t count, const Weights& weights) {
  RegionSums sums(static_cast<std::int64_t>(labels.size()), labels.data(), count);
  EXPECT_TRUE(weights.adder()(sums));
  std::vector<std::int64_t> areas(static_cast<std::size_t>(count), 0);
  for (std::int32_t l : labels)
    ++areas[l];
  return RegionGraph::of(sums, areas);
}

Labels merged(const Labels& labels, const std::map<std::pair<int, int>, double>& across,
              std::int64_t smallest) {
  const std::int32_t count = *std::max_element(labels.begin(), labels.end()) + 1;
  const auto result = quorvane::segment::mergeRegions(
      graphOf(labels, count, stripWeights(labels, across)), smallest);
  EXPECT_EQ(result.count, result.graph.size());
  return result.region;
}

TEST(RegionSums, BothDirectionsAreSummedAndChunksAddUpToTheWhole) {
  const Labels labels{0, 0, 1, 1, 2};
  const Weights w = stripWeights(labels, {{{0, 1}, 0.25}, {{1, 2}, 0.75}});
  const RegionGraph graph = graphOf(labels, 3, w);
  // 0 | 1: the pairs (1, 2) and (2, 1), 0.25 each; region 0's own pairs twice: 2 + 2 self.
  ASSERT_EQ(graph.end(0) - graph.begin(0), 1);
  EXPECT_EQ(graph.begin(0)->other, 1);
  EXPECT_EQ(graph.begin(0)->sum.tie, 0.5);
  EXPECT_EQ(graph.begin(0)->sum.count, 2);
  EXPECT_EQ(graph.own(0).count, 8);
  EXPECT_EQ(graph.inner()[2], 1.0);
  EXPECT_EQ(graph.area(1), 2);

  // Columns 0-1, 2, 3-4 from chunks with their own starts: the same sums, key by key.
  RegionSums whole(5, labels.data(), 3), chunked(5, labels.data(), 3);
  ASSERT_TRUE(w.adder()(whole));
  for (const auto& [first, last] : {std::pair{0, 2}, {2, 3}, {3, 5}}) {
    std::vector<std::int32_t> starts;
    for (int j = first; j <= last; ++j)
      starts.push_back(w.starts[j] - w.starts[first]);
    ASSERT_TRUE(chunked.add(first, last, starts.data(), w.rows.data() + w.starts[first],
                            w.values.data() + w.starts[first]));
  }
  ASSERT_EQ(chunked.entries().size(), whole.entries().size());
  for (std::size_t e = 0; e < whole.entries().size(); ++e) {
    EXPECT_EQ(chunked.entries()[e].a, whole.entries()[e].a);
    EXPECT_EQ(chunked.entries()[e].b, whole.entries()[e].b);
    EXPECT_EQ(chunked.entries()[e].sum.tie, whole.entries()[e].sum.tie);
  }
}

TEST(RegionSums, AmongKeepsThePairsOfTheFlaggedRegionsAndBadRowsAreRefused) {
  const Labels labels{0, 0, 1, 1, 2, 2};
  const Weights w = stripWeights(labels, {{{0, 1}, 0.5}, {{1, 2}, 0.5}});
  const std::uint8_t among[] = {0, 0, 1};
  RegionSums sums(6, labels.data(), 3, among);
  ASSERT_TRUE(w.adder()(sums));
  for (const auto& e : sums.entries())
    EXPECT_TRUE(e.a == 2 || e.b == 2) << e.a << ", " << e.b;

  Weights bad = w;
  bad.rows[3] = 6;
  RegionSums refused(6, labels.data(), 3);
  EXPECT_FALSE(bad.adder()(refused));
  bad = w;
  bad.starts[2] = bad.starts[1] - 1;
  EXPECT_FALSE(bad.adder()(refused));
}

TEST(LinkedComponents, AreNumberedByTheirLowestRegion) {
  // {0, 3, 5}, {1, 4}, {2}: chains and pairs, linked either way.
  std::vector<std::int32_t> into;
  EXPECT_EQ(quorvane::segment::linkedComponents({3, 4, 2, 5, 1, 5}, into), 3);
  EXPECT_EQ(into, (Labels{0, 1, 2, 0, 1, 0}));
  EXPECT_EQ(quorvane::segment::linkedComponents({4, 4, 0, 3, 4}, into), 2);
  EXPECT_EQ(into, (Labels{0, 0, 0, 1, 0}));
}

TEST(Merging, StrongTiesMergeTransitivelyAndWeakOnesStayApart) {
  // 0 | 1 weak (0.9): merge; 1 | 2 strong (0.1): apart; 2 | 3 weak, so 3 joins 2;
  // 4 borders 3 strongly.
  const Labels labels{0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
  const std::map<std::pair<int, int>, double> across{
      {{0, 1}, 0.9}, {{1, 2}, 0.1}, {{2, 3}, 0.85}, {{3, 4}, 0.2}};
  EXPECT_EQ(merged(labels, across, 1), (Labels{0, 0, 1, 1, 2}));
  // A chain of weak borders becomes one region over rounds of mutual best pairs.
  EXPECT_EQ(merged({0, 0, 1, 1, 2, 2, 3, 3}, {{{0, 1}, 0.9}, {{1, 2}, 0.8}, {{2, 3}, 0.7}}, 1),
            (Labels{0, 0, 0, 0}));
}

TEST(Merging, ABorderMergesFromHalfTheTiesWithin) {
  EXPECT_EQ(merged({0, 0, 0, 1, 1, 1}, {{{0, 1}, 0.5}}, 1), (Labels{0, 0}));
  EXPECT_EQ(merged({0, 0, 0, 1, 1, 1}, {{{0, 1}, 0.49}}, 1), (Labels{0, 1}));
}

TEST(Merging, ASmallRegionJoinsItsMostTiedNeighbourHoweverWeak) {
  EXPECT_EQ(merged({0, 0, 0, 1, 2, 2, 2, 2}, {{{0, 1}, 0.05}, {{1, 2}, 0.2}}, 2),
            (Labels{0, 1, 1}));
  // Of equal ties, the lower region.
  EXPECT_EQ(merged({0, 0, 0, 1, 2, 2, 2}, {{{0, 1}, 0.2}, {{1, 2}, 0.2}}, 2), (Labels{0, 0, 1}));
}

TEST(WholeSegments, PiecesAreNumberedByTheirFirstPixel) {
  const Labels labels{0, 0, 1, 0,  //
                      1, 1, 1, 0,  //
                      0, 1, 0, 0,  //
                      1, 0, 0, 1};
  Labels pieces(16);
  EXPECT_EQ(quorvane::segment::connectedSegments(4, 4, labels.data(), pieces.data()), 6);
  EXPECT_EQ(pieces, (Labels{0, 0, 1, 2,  //
                            1, 1, 1, 2,  //
                            3, 1, 2, 2,  //
                            4, 2, 2, 5}));
}

TEST(WholeSegments, ARegionSplitInTwoBecomesTwoSegments) {
  // Region 7 on both sides of region 3: two segments, big enough to stay.
  const Labels labels{7, 7, 3, 3, 7, 7,  //
                      7, 7, 3, 3, 7, 7};
  const Weights w(2, 6, [](int, int) { return 1.0; });
  Labels segments(12);
  EXPECT_EQ(quorvane::segment::wholeSegments(2, 6, labels.data(), 4, w.adder(), segments.data()),
            3);
  EXPECT_EQ(segments, (Labels{0, 0, 1, 1, 2, 2,  //
                              0, 0, 1, 1, 2, 2}));
}

TEST(WholeSegments, ASmallPieceJoinsTheTouchingPieceItIsMostTiedTo) {
  // The lone 2 at the right end touches 1 only, however strongly it is tied to 0 (paired
  // across 1, which a pattern wider than the 4-neighbours does).
  const Labels labels{0, 0, 0, 1, 1, 1, 2,  //
                      0, 0, 0, 1, 1, 1, 1};
  const std::int64_t w = 7;
  std::vector<std::int32_t> starts{0}, rows;
  std::vector<double> values;
  for (std::int32_t j = 0; j < 14; ++j) {
    for (std::int32_t i = 0; i < 14; ++i) {
      if (std::abs(i / w - j / w) + std::abs(i % w - j % w) <= 1 || i == 6 || j == 6) {
        rows.push_back(i);
        const bool lone = i == 6 || j == 6;
        const bool zero = labels[i] == 0 || labels[j] == 0;
        values.push_back(lone && i != j ? (zero ? 0.9 : 0.3) : 1.0);
      }
    }
    starts.push_back(static_cast<std::int32_t>(rows.size()));
  }
  const auto add = [&](RegionSums& sums) {
    return sums.add(0, 14, starts.data(), rows.data(), values.data());
  };
  Labels segments(14);
  EXPECT_EQ(quorvane::segment::wholeSegments(2, 7, labels.data(), 2, add, segments.data()), 2);
  EXPECT_EQ(segments, (Labels{0, 0, 0, 1, 1, 1, 1,  //
                              0, 0, 0, 1, 1, 1, 1}));
}

TEST(SettleBorders, ABorderPixelMovesToTheNearerMean) {
  // The step lies between columns 2 and 3; the segments' border one column to the right.
  const std::vector<double> values{0, 0, 0, 1, 1, 1,  //
                                   0, 0, 0, 1, 1, 1};
  Labels segments{0, 0, 0, 0, 1, 1,  //
                  0, 0, 0, 0, 1, 1};
  EXPECT_EQ(quorvane::segment::settleBorders(2, 6, 1, values.data(), segments.data()), 1);
  EXPECT_EQ(segments, (Labels{0, 0, 0, 1, 1, 1,  //
                              0, 0, 0, 1, 1, 1}));
  // Settled: nothing moves.
  EXPECT_EQ(quorvane::segment::settleBorders(2, 6, 1, values.data(), segments.data()), 0);
}

TEST(SettleBorders, ChannelsCountTogether) {
  // Pixel 2 is nearer segment 0 in its first channel, nearer segment 1 in the two.
  const std::vector<double> values{0, 0, 0, 0, 0.4, 1, 1, 1, 1, 1};
  Labels segments{0, 0, 0, 1, 1};
  quorvane::segment::settleBorders(1, 5, 2, values.data(), segments.data(), 1);
  EXPECT_EQ(segments, (Labels{0, 0, 1, 1, 1}));
}

}  // namespace
