#pragma once

// The 4-neighbours of a pixel of a rows x columns image, row-major: above, left, right,
// below, those inside the image.

#include <cstdint>

namespace quorvane::segment {

template <typename Visit>
void forNeighbours(std::int64_t pixel, std::int64_t rows, std::int64_t columns, Visit visit) {
  const std::int64_t r = pixel / columns, c = pixel % columns;
  if (r > 0)
    visit(pixel - columns);
  if (c > 0)
    visit(pixel - 1);
  if (c + 1 < columns)
    visit(pixel + 1);
  if (r + 1 < rows)
    visit(pixel + columns);
}

}  // namespace quorvane::segment
