#pragma once

#include <cstdint>

namespace quorvane {

// Image size. Pixels are numbered column-major from 0: pixel p lies at row p % nr and
// column p / nr. The computation keeps coordinates and pixel indices in signed 32 bits,
// so callers guarantee np = nr * nc <= INT32_MAX (see kMaxPixels).
struct PixelGrid {
  std::int32_t nr;  // rows
  std::int32_t nc;  // columns
  std::int32_t np;  // pixels, nr * nc
};

inline constexpr std::int64_t kMaxPixels = INT32_MAX;

// Builds the grid for nr x nc pixels; the caller has checked 0 < nr * nc <= kMaxPixels.
inline PixelGrid makePixelGrid(std::int64_t nr, std::int64_t nc) {
  return PixelGrid{static_cast<std::int32_t>(nr), static_cast<std::int32_t>(nc),
                   static_cast<std::int32_t>(nr * nc)};
}

}  // namespace quorvane
