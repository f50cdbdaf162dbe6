#include "gaussian_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "array_reductions.h"
#include "row_bands.h"

namespace quorvane::segment {
namespace {

const std::vector<double>& weightsOf(const GaussianKernel& kernel, KernelOrder order) {
  return order == KernelOrder::kSmooth ? kernel.gaussian : kernel.derivative;
}

// Pixels computed at once: their sums stay in registers (and vector lanes) over the kernel.
constexpr std::int64_t kBlock = 8;

// o[x] = centre[x] w[0] + the folded pairs (a_j[x] + b_j[x]) w[j], or (a_j[x] - b_j[x]) w[j]
// for the odd kernel, from j = radius down to 1: scipy's correlation with a symmetric or an
// antisymmetric kernel. a_j = before(j), b_j = after(j) are the rows (or the stretches of one
// row) j before and after the centre's. Every pixel gets the same additions in the same order,
// however many are computed at once.
template <bool kOdd, typename Before, typename After>
void foldedSum(const std::vector<double>& w, std::int64_t n, const double* centre, Before before,
               After after, double* o) {
  const auto radius = static_cast<std::int64_t>(w.size()) - 1;
  const auto pair = [](double a, double b) { return kOdd ? a - b : a + b; };
  std::int64_t x = 0;
  for (; x + kBlock <= n; x += kBlock) {
    double sum[kBlock];
    for (std::int64_t i = 0; i < kBlock; ++i)
      sum[i] = centre[x + i] * w[0];
    for (std::int64_t j = radius; j >= 1; --j) {
      const double* a = before(j) + x;
      const double* b = after(j) + x;
      const double wj = w[static_cast<std::size_t>(j)];
      for (std::int64_t i = 0; i < kBlock; ++i)
        sum[i] += pair(a[i], b[i]) * wj;
    }
    for (std::int64_t i = 0; i < kBlock; ++i)
      o[x + i] = sum[i];
  }
  for (; x < n; ++x) {
    double sum = centre[x] * w[0];
    for (std::int64_t j = radius; j >= 1; --j)
      sum += pair(before(j)[x], after(j)[x]) * w[static_cast<std::size_t>(j)];
    o[x] = sum;
  }
}

}  // namespace

GaussianKernel gaussianKernel(double scale) {
  GaussianKernel kernel;
  kernel.radius = static_cast<std::int64_t>(4.0 * scale + 0.5);
  const std::int64_t r = kernel.radius;
  if (r == 0) {
    // scipy's bits for any scale below 1/8 whose square is a normal number; a smaller one
    // would make them NaN (0 times an infinite exponent) where the kernel is plainly 1.
    kernel.gaussian = {1.0};
    kernel.derivative = {-0.0};
    return kernel;
  }
  const double sigma2 = scale * scale;
  const double exponent = -0.5 / sigma2;
  std::vector<double> phi(static_cast<std::size_t>(2 * r + 1));
  for (std::int64_t x = -r; x <= r; ++x)
    phi[static_cast<std::size_t>(x + r)] = std::exp(exponent * static_cast<double>(x * x));
  // The whole kernel's sum, in scipy's order (its left half from -radius).
  const double total = pairwiseSum(phi.data(), 2 * r + 1);
  const double slope = 1.0 / -sigma2;
  kernel.gaussian.resize(static_cast<std::size_t>(r + 1));
  kernel.derivative.resize(static_cast<std::size_t>(r + 1));
  for (std::int64_t j = 0; j <= r; ++j) {
    const double g = phi[static_cast<std::size_t>(r + j)] / total;
    kernel.gaussian[static_cast<std::size_t>(j)] = g;
    kernel.derivative[static_cast<std::size_t>(j)] = static_cast<double>(j) * slope * g;
  }
  return kernel;
}

RowSpan rowsRead(RowSpan wanted, std::int64_t radius, std::int64_t rows) {
  return {std::max<std::int64_t>(wanted.first - radius, 0),
          std::min<std::int64_t>(wanted.last + radius, rows)};
}

namespace {

// filterAcrossRows for the rows `wanted` alone, from the rows `heldRows` held in `in`.
void filterRowsAcross(const GaussianKernel& kernel, KernelOrder order, std::int64_t rows,
                      std::int64_t columns, const double* in, RowSpan heldRows, RowSpan wanted,
                      double* out, const Workers& workers) {
  const std::vector<double>& w = weightsOf(kernel, order);
  const auto row = [&](std::int64_t y) { return in + (y - heldRows.first) * columns; };
  forRowBands(workers, wanted.count(), [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t y = wanted.first + begin; y < wanted.first + end; ++y) {
      const auto before = [&](std::int64_t j) { return row(std::max<std::int64_t>(y - j, 0)); };
      const auto after = [&](std::int64_t j) {
        return row(std::min<std::int64_t>(y + j, rows - 1));
      };
      double* o = out + (y - wanted.first) * columns;
      if (order == KernelOrder::kSmooth)
        foldedSum<false>(w, columns, row(y), before, after, o);
      else
        foldedSum<true>(w, columns, row(y), before, after, o);
    }
  });
}

}  // namespace

void filterAcrossRows(const GaussianKernel& kernel, KernelOrder order, std::int64_t rows,
                      std::int64_t columns, const double* in, double* out, const Workers& workers) {
  filterRowsAcross(kernel, order, rows, columns, in, {0, rows}, {0, rows}, out, workers);
}

void filterAlongRows(const GaussianKernel& kernel, KernelOrder order, std::int64_t rows,
                     std::int64_t columns, const double* in, double* out, const Workers& workers) {
  const std::vector<double>& w = weightsOf(kernel, order);
  const std::int64_t r = kernel.radius;
  const std::int64_t padded = columns + 2 * r;
  // One row continued by its edge values, radius on either side, for each band.
  std::vector<double> lines(static_cast<std::size_t>(padded * rowBandCount(workers, rows)));
  forRowBands(workers, rows, [&](int band, std::int64_t begin, std::int64_t end) {
    double* line = lines.data() + band * padded;
    for (std::int64_t y = begin; y < end; ++y) {
      const double* row = in + y * columns;
      std::fill(line, line + r, row[0]);
      std::memcpy(line + r, row, static_cast<std::size_t>(columns) * sizeof(double));
      std::fill(line + r + columns, line + padded, row[columns - 1]);
      const double* centre = line + r;
      const auto before = [&](std::int64_t j) { return centre - j; };
      const auto after = [&](std::int64_t j) { return centre + j; };
      double* o = out + y * columns;
      if (order == KernelOrder::kSmooth)
        foldedSum<false>(w, columns, centre, before, after, o);
      else
        foldedSum<true>(w, columns, centre, before, after, o);
    }
  });
}

void gaussianGradient(std::int64_t rows, std::int64_t columns, const double* picture, double scale,
                      double* acrossRows, double* alongRows, const Workers& workers) {
  gaussianGradientOfRows(rows, columns, picture, {0, rows}, {0, rows}, scale, acrossRows, alongRows,
                         workers);
}

void gaussianGradientOfRows(std::int64_t rows, std::int64_t columns, const double* held,
                            RowSpan heldRows, RowSpan wanted, double scale, double* acrossRows,
                            double* alongRows, const Workers& workers) {
  const auto n = static_cast<std::size_t>(wanted.count() * columns);
  if (!(scale > 1e-15)) {
    const double* first = held + (wanted.first - heldRows.first) * columns;
    std::copy(first, first + n, acrossRows);
    std::copy(first, first + n, alongRows);
    return;
  }
  const GaussianKernel kernel = gaussianKernel(scale);
  const std::int64_t count = wanted.count();
  std::vector<double> half(n);
  filterRowsAcross(kernel, KernelOrder::kDerivative, rows, columns, held, heldRows, wanted,
                   half.data(), workers);
  filterAlongRows(kernel, KernelOrder::kSmooth, count, columns, half.data(), acrossRows, workers);
  filterRowsAcross(kernel, KernelOrder::kSmooth, rows, columns, held, heldRows, wanted, half.data(),
                   workers);
  filterAlongRows(kernel, KernelOrder::kDerivative, count, columns, half.data(), alongRows,
                  workers);
}

}  // namespace quorvane::segment
