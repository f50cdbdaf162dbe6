#include "settle_borders.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quorvane::segment {

int settleBorders(std::int64_t rows, std::int64_t columns, std::int64_t channels,
                  const double* values, std::int32_t* segments, int passes) {
  const std::int64_t n = rows * columns;
  if (n == 0)
    return 0;
  std::vector<std::int32_t> before(static_cast<std::size_t>(n));
  std::vector<double> means;
  std::vector<std::int64_t> areas;
  int moved = 0;
  for (int pass = 0; pass < passes; ++pass) {
    std::copy(segments, segments + n, before.begin());
    const std::int64_t count = *std::max_element(before.begin(), before.end()) + std::int64_t{1};
    // Summed pixel by pixel, as numpy's bincount does: the same means to the bit.
    areas.assign(static_cast<std::size_t>(count), 0);
    means.assign(static_cast<std::size_t>(count * channels), 0.0);
    for (std::int64_t p = 0; p < n; ++p)
      ++areas[before[p]];
    for (std::int64_t c = 0; c < channels; ++c) {
      double* mean = means.data() + c * count;
      for (std::int64_t p = 0; p < n; ++p)
        mean[before[p]] += values[p * channels + c];
      for (std::int64_t s = 0; s < count; ++s)
        mean[s] /= static_cast<double>(std::max<std::int64_t>(areas[s], 1));
    }
    auto distance = [&](std::int64_t p, std::int32_t s) {
      double d = 0.0;
      for (std::int64_t c = 0; c < channels; ++c) {
        const double e = values[p * channels + c] - means[c * count + s];
        d += e * e;
      }
      return d;
    };
    bool any = false;
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t c = 0; c < columns; ++c) {
        const std::int64_t p = r * columns + c;
        const std::int32_t own = before[p];
        double nearest = -1.0;
        auto consider = [&](std::int64_t q) {
          const std::int32_t other = before[q];
          if (other == own)
            return;
          if (nearest < 0.0)
            nearest = distance(p, own);
          const double d = distance(p, other);
          if (d < nearest) {
            nearest = d;
            segments[p] = other;
            any = true;
          }
        };
        if (r + 1 < rows)
          consider(p + columns);
        if (r > 0)
          consider(p - columns);
        if (c + 1 < columns)
          consider(p + 1);
        if (c > 0)
          consider(p - 1);
      }
    }
    if (!any)
      break;
    ++moved;
  }
  return moved;
}

}  // namespace quorvane::segment
