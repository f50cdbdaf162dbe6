#pragma once

// The boundary strength of a picture in units of its own noise, and its crests: the compiled
// form of the numpy road's edge detection (quorvane/segment/edge_detection.py), which it
// follows operation for operation.
//
// A picture is taken as opponent channels: brightness and, in colour, red against green and
// yellow against blue. Each channel's Gaussian gradient is measured at scales s, 2 s and 4 s
// and divided by its noise unit there: the gradient the picture's own noise gives where the
// picture is flattest (the flattest tenth of its 16 x 16 tiles, or the median magnitude when
// less), never above the finest scale's unit, colour's never below brightness's, and at
// least a just visible step. The strength of a pixel is the mean over the scales of its
// gradient's length in those units; its orientation that of the channels' structure tensor
// summed over the scales. The crests keep the strength where it is a ridge across the
// orientation.

#include <cstdint>
#include <functional>
#include <vector>

#include "array_reductions.h"
#include "row_bands.h"
#include "weight_engine.h"

namespace quorvane::segment {

// rows x columns each, row-major.
struct StrengthImage {
  std::vector<double> strength;
  std::vector<double> orientation;  // radians, in [-pi/2, pi/2]
};

// The strength and orientation of a rows x columns picture of `channels` (1: grey, 3: colour)
// interleaved finite values, row-major: channel k of pixel (r, c) at
// (r * columns + c) * channels + k. scale (> 0) is the finest of the three scales, in pixels.
// The workers share the filters' and the pixels' work by bands of rows; the results are the
// same for any number of them. Throws std::bad_alloc when out of memory.
StrengthImage boundaryStrength(std::int64_t rows, std::int64_t columns, int channels,
                               const double* values, double scale, const Workers& workers = {});

// What measuring one band of a picture's rows needs of the other bands, each measured by its
// own holder (process) in the same calls: counts summed over the bands (AddCounts), and the
// noise tiles of all the bands joined in the bands' order, in place. Within one holder both
// leave their argument as it is.
struct BandExchange {
  AddCounts addUp;
  std::function<void(std::vector<double>& tiles)> join;
};

// The strength and the crests of one band of rows (band.count() x columns, row-major).
struct BandStrength {
  std::vector<double> strength, crests;
};

// The bands of rows that `bands` holders measure a rows x columns picture in: consecutive,
// covering it, about equal, each beginning on a row of the noise tiles' grid (so some are
// empty when there are more bands than rows of tiles).
std::vector<RowSpan> strengthBands(std::int64_t rows, std::int64_t columns, int bands);

// The rows `band` (one of strengthBands) of boundaryStrength's strength and of ridgeCrests over
// it, from the whole picture's values: when every band is measured by its holder, the very
// bits of those rows of the whole. Collective: every holder calls it, each with its band.
// Throws std::invalid_argument for a band that does not begin on the tiles' grid, or when the
// exchange's counts cannot be the bands' (array_reductions.h).
BandStrength bandStrength(std::int64_t rows, std::int64_t columns, int channels,
                          const double* values, double scale, RowSpan band,
                          const BandExchange& exchange, const Workers& workers = {});

// crests[p] = strength[p] where it is no less than both neighbours across the orientation
// (rounded to the nearest of the grid's four directions, the picture's edge values continued
// beyond it), 0 elsewhere. All three rows x columns, row-major; crests may not alias the
// inputs.
void ridgeCrests(std::int64_t rows, std::int64_t columns, const double* strength,
                 const double* orientation, double* crests, const Workers& workers = {});

}  // namespace quorvane::segment
