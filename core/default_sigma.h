#pragma once

#include <cstdint>

namespace quorvane {

// One sixth of the running maximum of all np magnitudes, starting from 0.0. An element
// replaces the maximum whenever "maximum >= element" fails, so a NaN element makes the
// maximum NaN and the next element replaces it again (std::max would behave otherwise).
inline double defaultSigma(const double* magnitude, std::int32_t np) {
  double maximum = 0.0;
  for (std::int32_t p = 0; p < np; ++p) {
    if (!(maximum >= magnitude[p]))
      maximum = magnitude[p];
  }
  return maximum / 6.0;
}

}  // namespace quorvane
