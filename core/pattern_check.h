#pragma once

#include <cstddef>
#include <cstdint>

#include "index_pair.h"
#include "pixel_grid.h"

namespace quorvane {

// What is wrong with a pattern, in the order the checks run. Hosts map each to a message.
enum class PatternFault {
  kNone,
  kDecreasingColumnStarts,  // jc[j + 1] < jc[j] somewhere
  kTooFewRowIndices,        // ir holds fewer than jc[np] entries
  kRowIndexOutOfRange,      // some ir[k] with jc[0] <= k < jc[np] is np or more
};

// Checks that buildWeightMatrix may run on the pattern: it then reads only ir[jc[0]] ...
// ir[jc[np] - 1], each below np, and writes exactly jc[np] - jc[0] entries. Entries outside
// that range are never read by the computation, so they are not checked either.
inline PatternFault checkPattern(const PixelGrid& grid, const IndexPair& pattern,
                                 std::size_t irLength) {
  const std::uint32_t* jc = pattern.jc;
  for (std::int32_t j = 0; j < grid.np; ++j) {
    if (jc[j + 1] < jc[j])
      return PatternFault::kDecreasingColumnStarts;
  }
  const std::uint32_t first = jc[0], last = jc[grid.np];
  if (irLength < last)
    return PatternFault::kTooFewRowIndices;
  const auto np = static_cast<std::uint32_t>(grid.np);
  for (std::uint32_t k = first; k < last; ++k) {
    if (pattern.ir[k] >= np)
      return PatternFault::kRowIndexOutOfRange;
  }
  return PatternFault::kNone;
}

}  // namespace quorvane
