#pragma once

// Borders settled on the picture's values: a pixel on a border goes to the 4-neighbouring
// segment whose mean value is nearest its own, which puts the border of a drawing on its step
// and that of a blurred edge at its middle.

#include <cstdint>

namespace quorvane::segment {

// Up to `passes` passes over segments (rows x columns, row-major, labels >= 0): every pixel
// moves to the 4-neighbour's segment whose mean value is nearer its own than its own
// segment's (squared distance over the channels; of equals, the first of below, above, right,
// left), with the means of before the pass. values: rows x columns x channels, pixel by
// pixel. Stops early when nothing moves; returns the passes that moved a pixel.
int settleBorders(std::int64_t rows, std::int64_t columns, std::int64_t channels,
                  const double* values, std::int32_t* segments, int passes = 3);

}  // namespace quorvane::segment
