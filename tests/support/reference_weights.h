// The reference transcription of the weight rule, kept apart from core/ so that the tests, the
// fuzzers and the benchmark compare the core with something written independently of it: it
// lists the path pixels as (row, column) pairs first and scans them afterwards, with every
// quantity named as in the written rule and every comparison spelled out for NaN. Untuned on
// purpose; the benchmark's yardstick.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace reference {

struct Point {
  std::int32_t row, col;
};

// The path pixels from start to end, both included, into `points`.
inline void path(std::int32_t nr, std::int32_t start, std::int32_t end,
                 std::vector<Point>& points) {
  const Point a{start % nr, start / nr}, b{end % nr, end / nr};
  const std::int32_t deltaRow = b.row - a.row, deltaCol = b.col - a.col;
  points.assign(1, a);
  if (std::abs(deltaRow) >= std::abs(deltaCol)) {
    const double slope = static_cast<double>(deltaCol) / static_cast<double>(deltaRow);
    const std::int32_t step = b.row >= a.row ? 1 : -1;
    for (std::int32_t row = a.row + step; row != b.row + step; row += step) {
      double x = slope * static_cast<double>(row - a.row);
      x = x + 0.5;
      x = x + static_cast<double>(a.col);
      points.push_back(Point{row, static_cast<std::int32_t>(std::trunc(x))});
    }
  } else {
    const double slope = static_cast<double>(deltaRow) / static_cast<double>(deltaCol);
    const std::int32_t step = b.col >= a.col ? 1 : -1;
    for (std::int32_t col = a.col + step; col != b.col + step; col += step) {
      double y = slope * static_cast<double>(col - a.col);
      y = y + 0.5;
      y = y + static_cast<double>(a.row);
      points.push_back(Point{static_cast<std::int32_t>(std::trunc(y)), col});
    }
  }
}

inline std::vector<Point> path(std::int32_t nr, std::int32_t start, std::int32_t end) {
  std::vector<Point> points;
  path(nr, start, end, points);
  return points;
}

// The strongest edge crossed from start to end; `points` is room for the path.
inline double strength(std::int32_t nr, const double* magnitude, const double* phase,
                       std::int32_t start, std::int32_t end, std::vector<Point>& points) {
  path(nr, start, end, points);
  double best = 0.0;
  for (std::size_t n = 1; n < points.size(); ++n) {
    const std::int32_t before = points[n - 1].row + points[n - 1].col * nr;
    const std::int32_t after = points[n].row + points[n].col * nr;
    const bool changes = std::isnan(phase[before]) || std::isnan(phase[after]) ||
                         phase[before] < phase[after] || phase[before] > phase[after];
    if (!changes)
      continue;
    const double sum = magnitude[before] + magnitude[after];
    if (std::isnan(best) || best < sum || std::isnan(sum))
      best = sum;
  }
  return best;
}

inline double strength(std::int32_t nr, const double* magnitude, const double* phase,
                       std::int32_t start, std::int32_t end) {
  std::vector<Point> points;
  return strength(nr, magnitude, phase, start, end, points);
}

// The whole matrix into values, rows (one per pattern entry) and starts (np + 1, counted
// from 0); hasSigma false takes one sixth of the running maximum of magnitudes.
template <typename Index>
void fillWeights(std::int32_t nr, std::int32_t nc, const double* magnitude, const double* phase,
                 const std::uint32_t* ir, const std::uint32_t* jc, bool hasSigma, double sigma,
                 double* values, Index* rows, Index* starts) {
  const std::int32_t np = nr * nc;
  if (!hasSigma) {
    double largest = 0.0;
    for (std::int32_t p = 0; p < np; ++p) {
      if (std::isnan(largest) || std::isnan(magnitude[p]) || largest < magnitude[p])
        largest = magnitude[p];
    }
    sigma = largest / 6.0;
  }
  const double factor = 0.5 / (sigma * sigma);
  std::vector<Point> points;
  std::int64_t count = 0;
  for (std::int32_t column = 0; column < np; ++column) {
    starts[column] = static_cast<Index>(count);
    for (std::uint32_t k = jc[column]; k < jc[column + 1]; ++k) {
      const auto row = static_cast<std::int32_t>(ir[k]);
      double weight = 1.0;
      if (row != column) {
        const double halfStrength = 0.5 * strength(nr, magnitude, phase, column, row, points);
        const double exponent = ((-halfStrength) * halfStrength) * factor;
        weight = std::exp(exponent);
      }
      values[count] = weight;
      rows[count] = static_cast<Index>(row);
      ++count;
    }
  }
  starts[np] = static_cast<Index>(count);
}

struct Sparse {
  std::vector<double> values;
  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> starts;
};

inline Sparse weights(std::int32_t nr, std::int32_t nc, const std::vector<double>& magnitude,
                      const std::vector<double>& phase, const std::vector<std::uint32_t>& ir,
                      const std::vector<std::uint32_t>& jc, bool hasSigma, double sigma) {
  const std::int32_t np = nr * nc;
  const std::size_t entries = jc[np] - jc[0];
  Sparse out{std::vector<double>(entries), std::vector<std::int64_t>(entries),
             std::vector<std::int64_t>(static_cast<std::size_t>(np) + 1)};
  fillWeights(nr, nc, magnitude.data(), phase.data(), ir.data(), jc.data(), hasSigma, sigma,
              out.values.data(), out.rows.data(), out.starts.data());
  return out;
}

// Equality of results: identical bits (so -0.0 differs from 0.0, unlike ==), with every NaN
// equal to every NaN. IEEE arithmetic leaves the sign and payload of a NaN it creates to the
// hardware and the compiler may legally flip it (-(x * y) for (-x) * y), so "NaN where NaN"
// is the contract, not its bits.
inline bool sameBits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace reference
