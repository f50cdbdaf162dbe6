#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pattern.h"
#include "pixel_grid.h"

namespace quorvane {

// What is wrong with a pattern, in the order the checks run. Hosts map each to a message.
enum class PatternFault {
  kNone,
  kDecreasingColumnStarts,  // jc[j + 1] < jc[j] somewhere
  kTooFewRowIndices,        // ir holds fewer than jc[np] entries
  kRowIndexOutOfRange,      // some ir[k] with jc[0] <= k < jc[np] is np or more
};

// The checks of the column starts (jc, np + 1 of them) against an ir of irLength entries:
// kNone when they never decrease and ir holds the entries they name.
inline PatternFault checkColumnStarts(const PixelGrid& grid, const std::uint32_t* jc,
                                      std::size_t irLength) {
  for (std::int32_t j = 0; j < grid.np; ++j) {
    if (jc[j + 1] < jc[j])
      return PatternFault::kDecreasingColumnStarts;
  }
  if (irLength < jc[grid.np])
    return PatternFault::kTooFewRowIndices;
  return PatternFault::kNone;
}

// Checks that buildWeightMatrix may run on the pattern: it then reads only ir[jc[0]] ...
// ir[jc[np] - 1], each below np, and writes exactly jc[np] - jc[0] entries. Entries outside
// that range are never read by the computation, so they are not checked either.
inline PatternFault checkPattern(const PixelGrid& grid, const Pattern& pattern,
                                 std::size_t irLength) {
  const PatternFault fault = checkColumnStarts(grid, pattern.jc, irLength);
  if (fault != PatternFault::kNone)
    return fault;
  const std::uint32_t first = pattern.jc[0], last = pattern.jc[grid.np];
  const auto np = static_cast<std::uint32_t>(grid.np);
  for (std::uint32_t k = first; k < last; ++k) {
    if (pattern.ir[k] >= np)
      return PatternFault::kRowIndexOutOfRange;
  }
  return PatternFault::kNone;
}

// Copies `count` row indices and tells whether every one is below np. The values checked are
// those of the copy, so the copy can be trusted even when the source may change meanwhile
// (another thread of the caller's). Stretch by stretch, each checked while in the caches.
inline bool copyRowIndicesBelow(const std::uint32_t* from, std::size_t count, std::uint32_t np,
                                std::uint32_t* to) {
  constexpr std::size_t kStretch = 4096;
  std::uint32_t outside = 0;
  for (std::size_t at = 0; at < count; at += kStretch) {
    const std::size_t n = count - at < kStretch ? count - at : kStretch;
    std::memcpy(to + at, from + at, n * sizeof(std::uint32_t));
    for (std::size_t k = at; k < at + n; ++k)
      outside |= static_cast<std::uint32_t>(to[k] >= np);
  }
  return outside == 0;
}

}  // namespace quorvane
