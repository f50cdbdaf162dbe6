#include "disc_pattern.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace quorvane {
namespace {

bool within(std::int64_t dr, std::int64_t dc, double radius) {
  return std::sqrt(static_cast<double>(dr * dr + dc * dc)) <= radius;
}

// The largest column offset that can hold a partner.
std::int64_t discReach(std::int64_t nc, double radius) {
  return radius >= static_cast<double>(nc - 1) ? nc - 1 : static_cast<std::int64_t>(radius);
}

// The largest row offset within the radius at column offset dc (capped by the image's
// rows), or -1 when the column offset itself is beyond it.
std::int64_t halfHeight(std::int64_t dc, std::int64_t nr, double radius) {
  if (!within(0, dc, radius))
    return -1;
  // From the rounded solution of dr^2 + dc^2 = radius^2, settled with the exact test:
  // counting up from 0 would take 2^30 steps for a huge radius.
  const std::int64_t maxRow = nr - 1;
  const double room = radius * radius - static_cast<double>(dc * dc);
  std::int64_t dr = room >= static_cast<double>(maxRow) * static_cast<double>(maxRow)
                        ? maxRow
                        : static_cast<std::int64_t>(std::sqrt(room));
  while (dr > 0 && !within(dr, dc, radius))
    --dr;
  while (dr < maxRow && within(dr + 1, dc, radius))
    ++dr;
  return dr;
}

}  // namespace

std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius) {
  // Column offset dc with rows -h ... h pairs the pixels of the nc - |dc| image columns that
  // have a partner column; clipped by the top and bottom rows, that is nr (2h + 1) - h (h + 1)
  // pairs per column for h < nr.
  const std::int64_t reach = discReach(nc, radius);
  const auto rows = static_cast<std::uint64_t>(nr);
  std::uint64_t total = 0;
  // Stops once the count is too large: a huge radius on a huge image would otherwise spend
  // seconds counting a pattern that cannot be made.
  for (std::int64_t distance = 0; distance <= reach && total <= UINT32_MAX; ++distance) {
    const std::int64_t half = halfHeight(distance, nr, radius);
    if (half < 0)
      break;
    const auto h = static_cast<std::uint64_t>(half);
    const std::uint64_t columns = static_cast<std::uint64_t>(nc - distance) * (distance ? 2 : 1);
    total += (rows * (2 * h + 1) - h * (h + 1)) * columns;
  }
  return total;
}

void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, std::uint32_t* ir,
                     std::uint32_t* jc) {
  // Every pixel has a partner in each of the reach + 1 columns on at least one side, so a
  // pattern that fits uint32 has a short table of heights.
  const std::int64_t reach = discReach(nc, radius);
  std::vector<std::int64_t> half(static_cast<std::size_t>(reach) + 1);
  for (std::int64_t distance = 0; distance <= reach; ++distance)
    half[static_cast<std::size_t>(distance)] = halfHeight(distance, nr, radius);

  std::uint32_t count = 0;
  for (std::int64_t c = 0; c < nc; ++c) {
    for (std::int64_t r = 0; r < nr; ++r) {
      *jc++ = count;
      // Partners column by column, each a run of rows.
      for (std::int64_t c2 = c - reach < 0 ? 0 : c - reach; c2 <= c + reach && c2 < nc; ++c2) {
        const std::int64_t h = half[static_cast<std::size_t>(c2 > c ? c2 - c : c - c2)];
        if (h < 0)
          continue;
        const std::int64_t lo = r - h < 0 ? 0 : r - h, hi = r + h > nr - 1 ? nr - 1 : r + h;
        const auto first = static_cast<std::uint32_t>(lo + c2 * nr);
        for (std::int64_t n = 0; n <= hi - lo; ++n)
          ir[count++] = first + static_cast<std::uint32_t>(n);
      }
    }
  }
  *jc = count;
}

}  // namespace quorvane
