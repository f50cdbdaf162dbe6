#pragma once

// The catchment basins of a strength image: every pixel is flooded from the regional minimum
// whose water reaches it first, so that basins meet along the crests. The segmentation takes
// its finest regions from them, and its weights' phase: the phase changes exactly where two
// basins meet.

#include <cstdint>

namespace quorvane::segment {

// Labels rows x columns pixels of strength (row-major, finite values) with their basin,
// 0 ... count - 1, and returns count. Minima are the plateaus (4-connected pixels of one
// value) with no lower neighbour, numbered in the order of their first pixel; flooding goes
// by value, and among equal values first come, first served, so the labels depend on
// nothing but the image. labels holds rows x columns elements.
std::int32_t watershedBasins(std::int64_t rows, std::int64_t columns, const double* strength,
                             std::int32_t* labels);

}  // namespace quorvane::segment
