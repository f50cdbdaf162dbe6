#include "watershed.h"

#include "neighbours.h"

#include <cstddef>
#include <queue>
#include <vector>

namespace quorvane::segment {
namespace {

struct Flood {
  double level;
  std::uint64_t age;
  std::int64_t pixel;
};

// The smallest level first; of equal levels, the one queued first.
struct LaterFirst {
  bool operator()(const Flood& a, const Flood& b) const {
    return a.level > b.level || (a.level == b.level && a.age > b.age);
  }
};

// Marks the regional minima with labels 0, 1, ... and every other pixel with -1.
std::int32_t labelMinima(std::int64_t rows, std::int64_t columns, const double* strength,
                         std::int32_t* labels) {
  const std::int64_t n = rows * columns;
  std::vector<std::int8_t> seen(static_cast<std::size_t>(n), 0);
  std::vector<std::int64_t> plateau;
  std::int32_t count = 0;
  for (std::int64_t first = 0; first < n; ++first) {
    labels[first] = -1;
  }
  for (std::int64_t first = 0; first < n; ++first) {
    if (seen[first])
      continue;
    const double value = strength[first];
    bool lowest = true;
    plateau.assign(1, first);
    seen[first] = 1;
    for (std::size_t k = 0; k < plateau.size(); ++k) {
      forNeighbours(plateau[k], rows, columns, [&](std::int64_t q) {
        if (strength[q] < value) {
          lowest = false;
        } else if (strength[q] == value && !seen[q]) {
          seen[q] = 1;
          plateau.push_back(q);
        }
      });
    }
    if (!lowest)
      continue;
    for (std::int64_t p : plateau)
      labels[p] = count;
    ++count;
  }
  return count;
}

}  // namespace

std::int32_t watershedBasins(std::int64_t rows, std::int64_t columns, const double* strength,
                             std::int32_t* labels) {
  const std::int32_t count = labelMinima(rows, columns, strength, labels);
  std::priority_queue<Flood, std::vector<Flood>, LaterFirst> queue;
  std::uint64_t age = 0;
  const std::int64_t n = rows * columns;
  for (std::int64_t p = 0; p < n; ++p) {
    if (labels[p] >= 0)
      queue.push({strength[p], age++, p});
  }
  while (!queue.empty()) {
    const Flood here = queue.top();
    queue.pop();
    forNeighbours(here.pixel, rows, columns, [&](std::int64_t q) {
      if (labels[q] < 0) {
        labels[q] = labels[here.pixel];
        queue.push({strength[q], age++, q});
      }
    });
  }
  return count;
}

}  // namespace quorvane::segment
