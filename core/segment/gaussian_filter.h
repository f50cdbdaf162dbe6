#pragma once

// Gaussian smoothing and Gaussian derivative along one axis of a row-major picture, with the
// picture's edge values continued beyond it: scipy.ndimage.gaussian_filter1d(..., mode=
// "nearest", truncate=4.0) to the bit, as the numpy road measures gradients with it. Those
// bits come from scipy's own arithmetic: the kernel normalised by numpy's pairwise sum, and
// every output the weighted sum of the input's pairs about it, folded by the kernel's
// symmetry, from the outermost pair in.

#include <cstdint>
#include <vector>

#include "row_bands.h"
#include "weight_engine.h"

namespace quorvane::segment {

// Half of a kernel of standard deviation `scale`: the weights at offsets 0 ... radius of the
// Gaussian (even) and of its derivative (odd: the weight at -j is -derivative[j]), where
// radius = int(4 scale + 0.5).
struct GaussianKernel {
  std::int64_t radius = 0;
  std::vector<double> gaussian, derivative;
};

GaussianKernel gaussianKernel(double scale);

// Whether a pass smooths (the Gaussian) or differentiates (its derivative).
enum class KernelOrder { kSmooth, kDerivative };

// The rows of a picture of `rows` rows whose values a filter of this radius reads to give
// the rows `wanted`: those within radius of them, inside the picture.
RowSpan rowsRead(RowSpan wanted, std::int64_t radius, std::int64_t rows);

// out = the kernel applied across rows (along each column; scipy's axis 0) or along rows
// (scipy's axis 1) of the rows x columns picture `in`. in and out are distinct.
void filterAcrossRows(const GaussianKernel& kernel, KernelOrder order, std::int64_t rows,
                      std::int64_t columns, const double* in, double* out,
                      const Workers& workers = {});
void filterAlongRows(const GaussianKernel& kernel, KernelOrder order, std::int64_t rows,
                     std::int64_t columns, const double* in, double* out,
                     const Workers& workers = {});

// scipy.ndimage.gaussian_filter(picture, scale, order=(1, 0)) and order=(0, 1), mode "nearest":
// the Gaussian derivative across rows then the smoothing along them, and the smoothing across
// rows then the derivative along them. A scale scipy takes for none (1e-15 or less) copies the
// picture into both.
void gaussianGradient(std::int64_t rows, std::int64_t columns, const double* picture, double scale,
                      double* acrossRows, double* alongRows, const Workers& workers = {});

// The same for the rows `wanted` of a rows x columns picture alone, of which `held` holds
// the rows `heldRows` (at least rowsRead(wanted, radius of the scale's kernel, rows)); the
// gradients hold the rows wanted: the very bits of those rows of the whole.
void gaussianGradientOfRows(std::int64_t rows, std::int64_t columns, const double* held,
                            RowSpan heldRows, RowSpan wanted, double scale, double* acrossRows,
                            double* alongRows, const Workers& workers = {});

}  // namespace quorvane::segment
