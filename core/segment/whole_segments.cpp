#include "whole_segments.h"

#include "neighbours.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

#include "settle_borders.h"

namespace quorvane::segment {

std::int32_t connectedSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                               std::int32_t* pieces) {
  const std::int64_t n = rows * columns;
  std::fill(pieces, pieces + n, -1);
  std::vector<std::int64_t> stack;
  std::int32_t count = 0;
  for (std::int64_t first = 0; first < n; ++first) {
    if (pieces[first] >= 0)
      continue;
    const std::int32_t label = labels[first];
    pieces[first] = count;
    stack.assign(1, first);
    while (!stack.empty()) {
      const std::int64_t p = stack.back();
      stack.pop_back();
      forNeighbours(p, rows, columns, [&](std::int64_t q) {
        if (pieces[q] < 0 && labels[q] == label) {
          pieces[q] = count;
          stack.push_back(q);
        }
      });
    }
    ++count;
  }
  return count;
}

namespace {

// Which pieces touch (4-neighbours), for the pairs with a flagged piece: each piece's
// touching pieces ascending.
struct Touching {
  std::vector<std::int64_t> starts;
  std::vector<std::int32_t> others;

  bool touch(std::int32_t a, std::int32_t b) const {
    return std::binary_search(others.begin() + starts[a], others.begin() + starts[a + 1], b);
  }
};

Touching touchingPieces(std::int64_t rows, std::int64_t columns, const std::int32_t* pieces,
                        std::int32_t count, const std::vector<std::uint8_t>& among) {
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
  auto meet = [&](std::int32_t a, std::int32_t b) {
    if (a != b && (among[a] || among[b])) {
      pairs.emplace_back(a, b);
      pairs.emplace_back(b, a);
    }
  };
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < columns; ++c) {
      const std::int64_t p = r * columns + c;
      if (c + 1 < columns)
        meet(pieces[p], pieces[p + 1]);
      if (r + 1 < rows)
        meet(pieces[p], pieces[p + columns]);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  Touching touching;
  touching.starts.assign(static_cast<std::size_t>(count) + 1, 0);
  touching.others.reserve(pairs.size());
  for (const auto& [a, b] : pairs) {
    ++touching.starts[a + 1];
    touching.others.push_back(b);
  }
  std::partial_sum(touching.starts.begin(), touching.starts.end(), touching.starts.begin());
  return touching;
}

}  // namespace

std::int32_t wholeSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                           std::int64_t smallest, const SumWeights& sumWeights,
                           std::int32_t* segments) {
  const std::int64_t n = rows * columns;
  std::vector<std::int32_t> pieces(static_cast<std::size_t>(n));
  const std::int32_t count = connectedSegments(rows, columns, labels, pieces.data());
  std::vector<std::int64_t> areas(static_cast<std::size_t>(count), 0);
  for (std::int32_t p : pieces)
    ++areas[p];
  std::vector<std::uint8_t> small(static_cast<std::size_t>(count), 0);
  bool any = false;
  for (std::int32_t a = 0; a < count; ++a) {
    small[a] = areas[a] < smallest;
    any = any || small[a];
  }
  if (count == 1 || !any) {
    std::copy(pieces.begin(), pieces.end(), segments);
    return count;
  }
  // The small pieces' rows are all the joins read: their pairs alone are summed.
  RegionTies sums;
  if (!sumWeights(pieces.data(), count, small.data(), sums))
    return -1;
  const Touching touching = touchingPieces(rows, columns, pieces.data(), count, small);
  // Only touching pieces may join, so that every segment stays one piece.
  RegionGraph graph =
      RegionGraph::of(std::move(sums), std::move(areas)).kept([&](std::int32_t a, std::int32_t b) {
        return touching.touch(a, b);
      });
  std::vector<std::int32_t> region(static_cast<std::size_t>(count));
  std::iota(region.begin(), region.end(), 0);
  std::vector<std::int32_t> neighbour, link, into;
  std::vector<double> mean;
  while (true) {
    graph.mostTied(neighbour, mean);
    link.resize(neighbour.size());
    std::iota(link.begin(), link.end(), 0);
    bool joins = false;
    for (std::int32_t a = 0; a < graph.size(); ++a) {
      if (graph.area(a) < smallest && neighbour[a] >= 0) {
        link[a] = neighbour[a];
        joins = true;
      }
    }
    if (!joins)
      break;
    const std::int32_t joined = linkedComponents(link, into);
    graph = graph.joined(into, joined);
    for (std::int32_t& r : region)
      r = into[r];
  }
  for (std::int32_t& p : pieces)
    p = region[p];
  return connectedSegments(rows, columns, pieces.data(), segments);
}

std::int32_t findSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                          std::int64_t channels, const double* values, std::int64_t smallest,
                          const SumWeights& sumWeights, std::int32_t* segments, int passes) {
  std::vector<std::int32_t> whole(static_cast<std::size_t>(rows * columns));
  if (wholeSegments(rows, columns, labels, smallest, sumWeights, whole.data()) < 0)
    return -1;
  settleBorders(rows, columns, channels, values, whole.data(), passes);
  return wholeSegments(rows, columns, whole.data(), smallest, sumWeights, segments);
}

}  // namespace quorvane::segment
