#pragma once

// Segments from merged regions: the regions' 4-connected pieces, each piece of fewer than the
// smallest pixels joined to the touching piece it is most tied to, so that every segment is
// one piece; and the whole step of the segmentation after merging (whole segments, borders
// settled on the picture's values, whole segments again). Images are rows x columns,
// row-major (numpy's C order).

#include <cstdint>

#include "region_ties.h"

namespace quorvane::segment {

// The 4-connected pieces of the label image (equal labels, any values): the piece of every
// pixel, 0 ... count - 1 in the order of their first pixel. Returns count.
std::int32_t connectedSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                               std::int32_t* pieces);

// The segments of labels: its pieces, each of fewer than `smallest` pixels joined in rounds
// to the touching piece it is most tied to. Numbered in the order of their first pixel;
// returns their count, or -1 when sumWeights failed.
std::int32_t wholeSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                           std::int64_t smallest, const SumWeights& sumWeights,
                           std::int32_t* segments);

// wholeSegments of the merged labels, settleBorders on the values (rows x columns x channels,
// pixel by pixel) for `passes`, wholeSegments again: the segmentation's segments and count
// (-1 when sumWeights failed).
std::int32_t findSegments(std::int64_t rows, std::int64_t columns, const std::int32_t* labels,
                          std::int64_t channels, const double* values, std::int64_t smallest,
                          const SumWeights& sumWeights, std::int32_t* segments, int passes = 3);

}  // namespace quorvane::segment
