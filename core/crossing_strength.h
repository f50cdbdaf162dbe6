#pragma once

#include <cstdint>
#include <cstdlib>

#include "pixel_grid.h"

namespace quorvane {

// How a walk over the offset (dRow, dCol) steps: along rows when |dRow| >= |dCol| (the exact
// diagonal goes to rows), along columns otherwise, with the minor axis's slope per major step.
struct WalkAxes {
  bool rowsMajor;
  std::int32_t dMajor;
  double slope;              // dMinor / dMajor in double
  std::int32_t step;         // +1 or -1 along the major axis
  std::int32_t majorStride;  // pixel-index change of one major step
  std::int32_t minorStride;  // pixel-index change of one minor step
};

inline WalkAxes walkAxes(std::int32_t dRow, std::int32_t dCol, std::int32_t nr) {
  const bool rowsMajor = std::abs(dRow) >= std::abs(dCol);
  const std::int32_t dMajor = rowsMajor ? dRow : dCol;
  const double slope =
      rowsMajor ? static_cast<double>(dCol) / dRow : static_cast<double>(dRow) / dCol;
  const std::int32_t step = dMajor >= 0 ? 1 : -1;
  return WalkAxes{rowsMajor, dMajor, slope, step, rowsMajor ? 1 : nr, rowsMajor ? nr : 1};
}

// The walk of crossingStrength, calling onReplace(a, b) with the consecutive path pixels a, b
// each time their sum replaces the running maximum; the engine uses it to know which pixel
// pair gives the strength.
template <typename OnReplace>
double walkCrossings(const PixelGrid& grid, const double* magnitude, const double* phase,
                     std::int32_t j, std::int32_t i, OnReplace&& onReplace) {
  const std::int32_t nr = grid.nr;
  const std::int32_t row0 = j % nr, col0 = j / nr;
  const std::int32_t row1 = i % nr, col1 = i / nr;
  const WalkAxes axes = walkAxes(row1 - row0, col1 - col0, nr);
  const std::int32_t major0 = axes.rowsMajor ? row0 : col0;
  const std::int32_t minor0 = axes.rowsMajor ? col0 : row0;
  const double slope = axes.slope;
  const std::int32_t step = axes.step;

  std::int32_t current = j;
  double previousPhase = phase[j];
  double m = 0.0;
  for (std::int32_t walked = step, steps = std::abs(axes.dMajor); steps > 0;
       walked += step, --steps) {
    // Minor coordinate afresh from the start: product, + 0.5, + start minor, truncated.
    const double exact = slope * static_cast<double>(walked) + 0.5 + static_cast<double>(minor0);
    const std::int32_t minor = static_cast<std::int32_t>(exact);
    const std::int32_t next = (major0 + walked) * axes.majorStride + minor * axes.minorStride;
    const double q = phase[next];
    if (q != previousPhase) {
      const double s = magnitude[current] + magnitude[next];
      if (!(m >= s)) {
        m = s;
        onReplace(current, next);
      }
    }
    current = next;
    previousPhase = q;
  }
  return m;
}

// Strongest edge crossed on the digital straight line from pixel j (start) to pixel i (end):
// the largest magnitude[a] + magnitude[b] over consecutive path pixels a, b whose phases
// differ, or 0.0 when the phase never changes. Requires j != i, both below grid.np.
//
// The comparisons are written so that NaN behaves as in the definition: a NaN phase counts
// as a change (q != previous is true), and a NaN running maximum is replaced by the next
// candidate (!(m >= s) is true). -0.0 and 0.0 compare equal, so they are no change.
inline double crossingStrength(const PixelGrid& grid, const double* magnitude, const double* phase,
                               std::int32_t j, std::int32_t i) {
  return walkCrossings(grid, magnitude, phase, j, i, [](std::int32_t, std::int32_t) {});
}

}  // namespace quorvane
