#pragma once

// Average linkage of the regions' graph. In rounds: while some region has fewer than the
// smallest pixels, every such region joins its most tied neighbour, whatever the tie; then
// every two regions that are each other's most tied neighbour join while their mean is at
// least `above` times the lower of their own inner means (a border whose pairs are tied about
// half as well as those within is no edge). Mutual best pairs are the merges greedy average
// linkage would make, many at once. Each round is linear in the graph's size.

#include <cstdint>
#include <vector>

#include "region_graph.h"
#include "region_ties.h"

namespace quorvane::segment {

struct Merged {
  std::vector<std::int32_t> region;  // the merged region of every region of the graph
  std::int32_t count = 0;            // merged regions, numbered by their lowest old region
  std::int32_t rounds = 0;
  RegionGraph graph;  // of the merged regions
};

Merged mergeRegions(RegionGraph graph, std::int64_t smallest, double above = 0.5);

// mergeRegions of `count` basins, the basin of each of `pixels` pixels given, over the sums
// sumWeights gives; false when the weights were unusable.
bool mergeBasins(const std::int32_t* basins, std::int64_t pixels, std::int32_t count,
                 const SumWeights& sumWeights, std::int64_t smallest, Merged& merged,
                 double above = 0.5);

}  // namespace quorvane::segment
