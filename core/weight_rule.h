#pragma once

// The weight of a pixel pair from the strongest edge between them, and the scale it is
// measured against: what the front door (build_weight_matrix.h) and the engine both apply.

#include <cmath>
#include <cstdint>

namespace quorvane {

// Gaussian factor of a scale: 0.5 / sigma^2 (+inf for sigma 0, so that zero crossings give
// NaN and positive ones 0 downstream, unguarded IEEE arithmetic by design).
inline double gaussianFactor(double sigma) {
  return 0.5 / (sigma * sigma);
}

// Weight of an off-diagonal entry with crossing strength m: exp(-m^2 / (8 sigma^2)),
// evaluated as exp(((-g) * g) * factor) with g = m / 2, in exactly that order.
inline double edgeWeight(double m, double factor) {
  const double g = 0.5 * m;
  return std::exp(((-g) * g) * factor);
}

// The scale when the caller gives none: one sixth of the running maximum of all np
// magnitudes, starting from 0.0. An element replaces the maximum whenever "maximum >= element"
// fails, so a NaN element makes the maximum NaN and the next element replaces it again
// (std::max would behave otherwise).
inline double defaultSigma(const double* magnitude, std::int32_t np) {
  double maximum = 0.0;
  for (std::int32_t p = 0; p < np; ++p) {
    if (!(maximum >= magnitude[p]))
      maximum = magnitude[p];
  }
  return maximum / 6.0;
}

}  // namespace quorvane
