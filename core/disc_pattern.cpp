#include "disc_pattern.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace quorvane {
namespace {

bool within(std::int64_t dr, std::int64_t dc, double radius) {
  return std::sqrt(static_cast<double>(dr * dr + dc * dc)) <= radius;
}

// The disc as runs of rows: for each column offset 0 ... reach, the largest row offset
// within the radius (capped by the image's rows), or -1 when the column offset itself is
// beyond it.
struct DiscRuns {
  std::int64_t reach;              // the largest column offset that can hold a partner
  std::vector<std::int64_t> half;  // half[dc]
};

DiscRuns discRuns(std::int64_t nr, std::int64_t nc, double radius) {
  DiscRuns disc;
  disc.reach = radius >= static_cast<double>(nc - 1) ? nc - 1 : static_cast<std::int64_t>(radius);
  disc.half.assign(static_cast<std::size_t>(disc.reach) + 1, -1);
  const std::int64_t maxRow = nr - 1;
  for (std::int64_t dc = 0; dc <= disc.reach; ++dc) {
    if (!within(0, dc, radius))
      break;
    // From the rounded solution of dr^2 + dc^2 = radius^2, settled with the exact test:
    // counting up from 0 would take 2^30 steps for a huge radius.
    const double room = radius * radius - static_cast<double>(dc * dc);
    std::int64_t dr = room >= static_cast<double>(maxRow) * static_cast<double>(maxRow)
                          ? maxRow
                          : static_cast<std::int64_t>(std::sqrt(room));
    while (dr > 0 && !within(dr, dc, radius))
      --dr;
    while (dr < maxRow && within(dr + 1, dc, radius))
      ++dr;
    disc.half[static_cast<std::size_t>(dc)] = dr;
  }
  return disc;
}

// Calls run(c2, lo, hi) for the partners of pixel (r, c): rows lo ... hi of image column
// c2, columns ascending.
template <typename Run>
void forEachRun(const DiscRuns& disc, std::int64_t nr, std::int64_t nc, std::int64_t r,
                std::int64_t c, Run&& run) {
  const std::int64_t from = c - disc.reach < 0 ? 0 : c - disc.reach;
  for (std::int64_t c2 = from; c2 <= c + disc.reach && c2 < nc; ++c2) {
    const std::int64_t h = disc.half[static_cast<std::size_t>(c2 > c ? c2 - c : c - c2)];
    if (h >= 0)
      run(c2, r - h < 0 ? 0 : r - h, r + h > nr - 1 ? nr - 1 : r + h);
  }
}

}  // namespace

std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius) {
  const DiscRuns disc = discRuns(nr, nc, radius);
  std::uint64_t total = 0;
  // Stops once the count is too large: a huge radius on a huge image would otherwise spend
  // minutes counting a pattern that cannot be made.
  for (std::int64_t c = 0; c < nc && total <= UINT32_MAX; ++c) {
    for (std::int64_t r = 0; r < nr; ++r) {
      forEachRun(disc, nr, nc, r, c, [&total](std::int64_t, std::int64_t lo, std::int64_t hi) {
        total += static_cast<std::uint64_t>(hi - lo + 1);
      });
    }
  }
  return total;
}

void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, std::uint32_t* ir,
                     std::uint32_t* jc) {
  const DiscRuns disc = discRuns(nr, nc, radius);
  std::uint32_t count = 0;
  for (std::int64_t c = 0; c < nc; ++c) {
    for (std::int64_t r = 0; r < nr; ++r) {
      *jc++ = count;
      forEachRun(disc, nr, nc, r, c, [&](std::int64_t c2, std::int64_t lo, std::int64_t hi) {
        const auto first = static_cast<std::uint32_t>(lo + c2 * nr);
        for (std::int64_t n = 0; n <= hi - lo; ++n)
          ir[count++] = first + static_cast<std::uint32_t>(n);
      });
    }
  }
  *jc = count;
}

}  // namespace quorvane
