#include "merging.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace quorvane::segment {

Merged mergeRegions(RegionGraph graph, std::int64_t smallest, double above) {
  Merged merged;
  merged.region.resize(static_cast<std::size_t>(graph.size()));
  std::iota(merged.region.begin(), merged.region.end(), 0);
  std::vector<std::int32_t> neighbour, link, into;
  std::vector<double> mean;
  while (true) {
    const std::int32_t n = graph.size();
    graph.mostTied(neighbour, mean);
    link.resize(static_cast<std::size_t>(n));
    std::iota(link.begin(), link.end(), 0);
    bool any = false;
    for (std::int32_t a = 0; a < n; ++a) {
      if (graph.area(a) < smallest && neighbour[a] >= 0) {
        link[a] = neighbour[a];
        any = true;
      }
    }
    if (!any) {
      const std::vector<double> inner = graph.inner();
      for (std::int32_t a = 0; a < n; ++a) {
        const std::int32_t b = neighbour[a];
        if (b >= 0 && neighbour[b] == a && mean[a] >= above * std::min(inner[a], inner[b])) {
          link[a] = b;
          any = true;
        }
      }
      if (!any)
        break;
    }
    const std::int32_t count = linkedComponents(link, into);
    graph = graph.joined(into, count);
    for (std::int32_t& r : merged.region)
      r = into[r];
    ++merged.rounds;
  }
  merged.count = graph.size();
  merged.graph = std::move(graph);
  return merged;
}

bool mergeBasins(const std::int32_t* basins, std::int64_t pixels, std::int32_t count,
                 const SumWeights& sumWeights, std::int64_t smallest, Merged& merged,
                 double above) {
  RegionTies sums;
  if (!sumWeights(basins, count, nullptr, sums))
    return false;
  std::vector<std::int64_t> areas(static_cast<std::size_t>(count), 0);
  for (std::int64_t p = 0; p < pixels; ++p)
    ++areas[static_cast<std::size_t>(basins[p])];
  merged = mergeRegions(RegionGraph::of(std::move(sums), std::move(areas)), smallest, above);
  return true;
}

}  // namespace quorvane::segment
