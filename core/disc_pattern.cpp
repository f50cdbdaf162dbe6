#include "disc_pattern.h"

#include <algorithm>
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

// Pairs of the pixels in rows ra ... rb - 1 of one image column with the rows within h of
// each in a partner column: the sum over r of min(r + h, nr - 1) - max(r - h, 0) + 1, in
// closed form (a part may span millions of rows).
std::uint64_t runTotal(std::int64_t nr, std::int64_t h, std::int64_t ra, std::int64_t rb) {
  const std::int64_t bottom = nr - 1;
  const auto upTo = [&](std::int64_t x) {  // sum over r < x of min(r + h, bottom)
    const std::int64_t t = std::min(std::max(bottom - h + 1, std::int64_t{0}), x);
    return t * (t - 1) / 2 + t * h + (x - t) * bottom;
  };
  const auto downTo = [&](std::int64_t x) {  // sum over r < x of max(r - h, 0)
    const std::int64_t u = std::max(x - h - 1, std::int64_t{0});
    return u * (u + 1) / 2;
  };
  return static_cast<std::uint64_t>(upTo(rb) - upTo(ra) - downTo(rb) + downTo(ra) + rb - ra);
}

// Image columns ca ... cb, each contributing its rows ra ... rb - 1 to a part.
struct ColumnSpan {
  std::int64_t ca, cb, ra, rb;
};

// A part's pixels as at most three spans: the rest of its first column, whole columns, the
// start of its last column.
std::vector<ColumnSpan> spansOf(std::int64_t nr, PixelRange part) {
  std::vector<ColumnSpan> spans;
  if (part.first >= part.last)
    return spans;
  const std::int64_t c0 = part.first / nr, c1 = (part.last - 1) / nr;
  const std::int64_t r0 = part.first % nr, r1 = (part.last - 1) % nr + 1;
  if (c0 == c1)
    return {{c0, c0, r0, r1}};
  spans.push_back({c0, c0, r0, nr});
  if (c1 - 1 >= c0 + 1)
    spans.push_back({c0 + 1, c1 - 1, 0, nr});
  spans.push_back({c1, c1, 0, r1});
  return spans;
}

std::int64_t atLeastZero(std::int64_t n) {
  return n < 0 ? 0 : n;
}

}  // namespace

std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius) {
  return discPatternEntries(nr, nc, radius, {0, nr * nc});
}

std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius,
                                 PixelRange columns) {
  // Column offset by offset: the columns of a span whose partner column, distance columns
  // to the right or left, lies in the image, times the runs of rows each pixel pairs with.
  const std::vector<ColumnSpan> spans = spansOf(nr, columns);
  const std::int64_t reach = discReach(nc, radius);
  std::uint64_t total = 0;
  // Every pixel has a partner in each column offset up to the reach on at least one side,
  // so the count grows with each offset and stops once it is too large: a huge radius on a
  // huge image would otherwise spend seconds counting a pattern that cannot be made.
  for (std::int64_t distance = 0; distance <= reach && total <= UINT32_MAX; ++distance) {
    const std::int64_t half = halfHeight(distance, nr, radius);
    if (half < 0)
      break;
    for (const ColumnSpan& s : spans) {
      std::int64_t partnered = atLeastZero(std::min(s.cb, nc - 1 - distance) - s.ca + 1);
      if (distance > 0)
        partnered += atLeastZero(s.cb - std::max(s.ca, distance) + 1);
      total += static_cast<std::uint64_t>(partnered) * runTotal(nr, half, s.ra, s.rb);
    }
  }
  return total;
}

void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, std::uint32_t* ir,
                     std::uint32_t* jc) {
  fillDiscPattern(nr, nc, radius, {0, nr * nc}, ir, jc);
}

void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, PixelRange columns,
                     std::uint32_t* ir, std::uint32_t* jc) {
  // Every pixel has a partner in each of the reach + 1 columns on at least one side, so a
  // pattern that fits uint32 has a short table of heights.
  const std::int64_t reach = discReach(nc, radius);
  std::vector<std::int64_t> half(static_cast<std::size_t>(reach) + 1);
  for (std::int64_t distance = 0; distance <= reach; ++distance)
    half[static_cast<std::size_t>(distance)] = halfHeight(distance, nr, radius);

  std::uint32_t count = 0;
  for (std::int64_t p = columns.first; p < columns.last; ++p) {
    const std::int64_t c = p / nr, r = p % nr;
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
  *jc = count;
}

}  // namespace quorvane
