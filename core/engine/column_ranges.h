#pragma once

#include <algorithm>
#include <cstdint>

namespace quorvane::engine {

// Splits the image columns 0 ... nc - 1 of a valid pattern over nr rows into at most `parts`
// ranges of consecutive columns, range r being bounds[r] <= column < bounds[r + 1], with about
// equal numbers of entries (the entries before image column c number jc[c * nr] - jc[0]).
// Returns how many ranges there are; every one holds entries, unless the pattern has none at
// all (then there is one). When each range spans 16 groups of `align` columns or more, the
// cuts fall on multiples of `align`, so that the groups a kernel takes together stay whole;
// the cut then moves by at most half a group. bounds has room for parts + 1 values.
inline int columnRanges(const std::uint32_t* jc, std::int32_t nr, std::int32_t nc, int parts,
                        int align, std::int32_t* bounds) {
  const auto startOf = [jc, nr](std::int32_t col) {
    return std::uint64_t{jc[static_cast<std::int64_t>(col) * nr]};
  };
  const std::uint64_t first = startOf(0), total = startOf(nc) - first;
  const bool aligned = align > 1 && nc / parts >= 16 * align;
  int count = 0;
  bounds[0] = 0;
  for (int r = 1; r < parts; ++r) {
    const std::uint64_t target = first + total * static_cast<std::uint64_t>(r) / parts;
    // The column start nearest the target, among the columns after the last cut.
    std::int32_t low = bounds[count], high = nc;
    while (low < high) {
      const std::int32_t middle = low + (high - low) / 2;
      if (startOf(middle) < target)
        low = middle + 1;
      else
        high = middle;
    }
    std::int32_t cut = low;
    if (cut > bounds[count] && target - startOf(cut - 1) < startOf(cut) - target)
      --cut;
    if (aligned)
      cut = std::min(nc, (cut + align / 2) / align * align);
    // A cut that would leave the range before it without entries is no cut.
    if (cut < nc && startOf(cut) > startOf(bounds[count]))
      bounds[++count] = cut;
  }
  // The columns after the last cut end the last range, or join it when they hold no entries.
  if (count > 0 && startOf(nc) == startOf(bounds[count]))
    --count;
  bounds[++count] = nc;
  return count;
}

}  // namespace quorvane::engine
