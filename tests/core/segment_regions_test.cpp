// The segmentation's steps after the basins on cases with known answers: the region sums and
// their graph, merging, whole segments and settled borders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "segment/merging.h"
#include "segment/region_graph.h"
#include "segment/region_ties.h"
#include "segment/settle_borders.h"
#include "segment/whole_segments.h"
#include "thread_workers.h"

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

  quorvane::segment::ColumnWeights<std::int32_t> columns() const {
    return {static_cast<std::int64_t>(starts.size()) - 1, starts.data(), rows.data(),
            values.data()};
  }

  quorvane::segment::SumWeights sums(const quorvane::Workers& workers = {}) const {
    return quorvane::segment::chunkedSums(columns(), workers);
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
  quorvane::segment::RegionTies sums;
  EXPECT_TRUE(weights.sums()(labels.data(), count, nullptr, sums));
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
}

TEST(RegionTies, ChunksCoverEveryColumnOnceWithAtLeastOneColumnEach) {
  const std::vector<std::int64_t> starts{0, 100000, 200000, 300000, 300000, 600000, 600001};
  const auto chunks = quorvane::segment::sumChunks(starts.data(), 6);
  std::vector<std::pair<std::int64_t, std::int64_t>> found;
  for (const auto& c : chunks)
    found.emplace_back(c.first, c.last);
  // Up to 2^18 entries from a chunk's first; a column larger than that is a chunk alone.
  EXPECT_EQ(found,
            (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 2}, {2, 4}, {4, 5}, {5, 6}}));
  EXPECT_TRUE(quorvane::segment::sumChunks(starts.data(), 0).empty());

  // The disc pattern's chunks, found without its starts, are those of its starts.
  for (const auto& [nr, nc, radius, entries] :
       {std::tuple{23, 31, 3.0, 97}, {40, 7, 2.5, 1}, {1, 300, 4.0, 50}, {64, 64, 1.5, 1 << 20}}) {
    const std::int64_t n = std::int64_t{nr} * nc;
    std::vector<std::uint32_t> rows(quorvane::discPatternEntries(nr, nc, radius));
    std::vector<std::uint32_t> columnStarts(static_cast<std::size_t>(n) + 1);
    quorvane::fillDiscPattern(nr, nc, radius, rows.data(), columnStarts.data());
    const auto expected = quorvane::segment::sumChunks(columnStarts.data(), n, entries);
    std::vector<std::int64_t> begins;
    const auto chunks = quorvane::segment::discChunks(nr, nc, radius, entries, begins);
    ASSERT_EQ(chunks.size(), expected.size()) << nr << " x " << nc;
    ASSERT_EQ(begins.size(), chunks.size() + 1);
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      EXPECT_EQ(chunks[c].first, expected[c].first);
      EXPECT_EQ(chunks[c].last, expected[c].last);
      EXPECT_EQ(begins[c], columnStarts[chunks[c].first]);
    }
    EXPECT_EQ(begins.back(), static_cast<std::int64_t>(rows.size()));
  }
}

TEST(RegionTies, PartsAddUpPairwiseNeighboursFirst) {
  using quorvane::segment::RegionTies;
  const auto part = [](std::int32_t b, double tie) { return RegionTies{{0, b, {tie, 1}}}; };
  // ((1 + 1e16) + (-1e16 + 1)) is 0 in doubles; from the left it would be 1.
  const RegionTies sum = quorvane::segment::addedUp(
      {part(1, 1.0), part(1, 1e16), part(1, -1e16), part(1, 1.0), part(0, 0.5)});
  ASSERT_EQ(sum.size(), 2u);
  EXPECT_EQ(sum[0].b, 0);
  EXPECT_EQ(sum[0].sum.tie, 0.5);
  EXPECT_EQ(sum[1].b, 1);
  EXPECT_EQ(sum[1].sum.tie, 0.0);
  EXPECT_EQ(sum[1].sum.count, 4);
  EXPECT_TRUE(quorvane::segment::addedUp({}).empty());

  // Partial sums of runs of 13 parts, however the runs are cut, finish to the same bits;
  // runs that leave a part out do not.
  std::vector<RegionTies> parts;
  for (int p = 0; p < 13; ++p)
    parts.push_back({{0, p % 3, {1.0 / (p + 3) + (p % 4 == 0 ? 1e16 : 0.0), 1}}, {1, p, {0.5, 2}}});
  const RegionTies whole = quorvane::segment::addedUp(parts);
  for (const std::vector<int>& cuts : std::vector<std::vector<int>>{
           {0, 13}, {0, 1, 13}, {0, 3, 4, 11, 13}, {0, 5, 6, 7, 8, 12, 13}, {0, 12, 13}}) {
    std::vector<quorvane::segment::TiesNode> nodes;
    for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
      std::vector<RegionTies> run(parts.begin() + cuts[c], parts.begin() + cuts[c + 1]);
      for (auto& node : quorvane::segment::partialSums(std::move(run), cuts[c], 13))
        nodes.push_back(std::move(node));
    }
    EXPECT_LE(nodes.size(), 2 * 4 * (cuts.size() - 1));
    RegionTies sum;
    ASSERT_TRUE(quorvane::segment::addedUp(nodes, 13, sum));
    ASSERT_EQ(sum.size(), whole.size());
    for (std::size_t k = 0; k < sum.size(); ++k) {
      EXPECT_EQ(std::pair(sum[k].a, sum[k].b), std::pair(whole[k].a, whole[k].b));
      EXPECT_EQ(sum[k].sum.tie, whole[k].sum.tie) << k;
      EXPECT_EQ(sum[k].sum.count, whole[k].sum.count);
    }
    nodes.pop_back();
    EXPECT_FALSE(quorvane::segment::addedUp(nodes, 13, sum));
  }
}

TEST(RegionTies, ChunkedSumsOnAnyNumberOfThreadsAreTheWholeSums) {
  // Several chunks of a 5-point pattern over 600 x 500 pixels; weights in eighths, whose sums
  // are exact in any order, against a plain map.
  const std::int64_t h = 600, w = 500;
  Labels labels(static_cast<std::size_t>(h * w));
  for (std::int64_t p = 0; p < h * w; ++p)
    labels[p] = static_cast<std::int32_t>((p / w / 37) * 20 + (p % w) / 29);
  const std::int32_t count = *std::max_element(labels.begin(), labels.end()) + 1;
  const Weights weights(h, w, [](int i, int j) { return ((i * 7 + j * 3) % 9) / 8.0; });
  std::map<std::pair<int, int>, std::pair<double, std::int64_t>> expected;
  for (std::int64_t j = 0; j < h * w; ++j) {
    for (std::int32_t k = weights.starts[j]; k < weights.starts[j + 1]; ++k) {
      auto& e = expected[{labels[weights.rows[k]], labels[j]}];
      e.first += weights.values[k];
      e.second += 1;
    }
  }
  ASSERT_GT(quorvane::segment::sumChunks(weights.starts.data(), h * w).size(), 4u);
  for (int threads : {1, 2, 3}) {
    quorvane::segment::RegionTies ties;
    ASSERT_TRUE(
        weights.sums(quorvane::threadWorkers(threads))(labels.data(), count, nullptr, ties));
    ASSERT_EQ(ties.size(), expected.size());
    auto e = expected.begin();
    for (const auto& t : ties) {
      EXPECT_EQ(std::pair(t.a, t.b), e->first);
      EXPECT_EQ(t.sum.tie, e->second.first);
      EXPECT_EQ(t.sum.count, e->second.second);
      ++e;
    }
  }
}

TEST(RegionSums, AmongKeepsThePairsOfTheFlaggedRegionsAndBadRowsAreRefused) {
  const Labels labels{0, 0, 1, 1, 2, 2};
  const Weights w = stripWeights(labels, {{{0, 1}, 0.5}, {{1, 2}, 0.5}});
  const std::uint8_t among[] = {0, 0, 1};
  quorvane::segment::RegionTies sums;
  ASSERT_TRUE(w.sums()(labels.data(), 3, among, sums));
  ASSERT_FALSE(sums.empty());
  for (const auto& e : sums)
    EXPECT_TRUE(e.a == 2 || e.b == 2) << e.a << ", " << e.b;

  Weights bad = w;
  bad.rows[3] = 6;
  EXPECT_FALSE(bad.sums()(labels.data(), 3, nullptr, sums));
  bad = w;
  bad.starts[2] = bad.starts[1] - 1;
  EXPECT_FALSE(bad.sums()(labels.data(), 3, nullptr, sums));
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
  EXPECT_EQ(quorvane::segment::wholeSegments(2, 6, labels.data(), 4, w.sums(), segments.data()), 3);
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
  const auto add = quorvane::segment::chunkedSums(quorvane::segment::ColumnWeights<std::int32_t>{
      14, starts.data(), rows.data(), values.data()});
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
