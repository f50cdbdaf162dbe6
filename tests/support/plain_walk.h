// A second, deliberately plain transcription of the weight rule, kept apart from core/ so
// that tests can compare the two: it lists the path pixels as (row, column) pairs first and
// scans them afterwards, with every quantity named as in the written rule.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace plain {

struct Point {
  std::int32_t row, col;
};

inline std::vector<Point> path(std::int32_t nr, std::int32_t start, std::int32_t end) {
  const Point a{start % nr, start / nr}, b{end % nr, end / nr};
  const std::int32_t deltaRow = b.row - a.row, deltaCol = b.col - a.col;
  std::vector<Point> points{a};
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
  return points;
}

inline double strength(std::int32_t nr, const double* magnitude, const double* phase,
                       std::int32_t start, std::int32_t end) {
  const std::vector<Point> points = path(nr, start, end);
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

struct Sparse {
  std::vector<double> values;
  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> starts;
};

// The whole matrix; hasSigma false takes one sixth of the running maximum of magnitudes.
inline Sparse weights(std::int32_t nr, std::int32_t nc, const std::vector<double>& magnitude,
                      const std::vector<double>& phase, const std::vector<std::uint32_t>& ir,
                      const std::vector<std::uint32_t>& jc, bool hasSigma, double sigma) {
  const std::int32_t np = nr * nc;
  if (!hasSigma) {
    double largest = 0.0;
    for (double value : magnitude) {
      if (std::isnan(largest) || std::isnan(value) || largest < value)
        largest = value;
    }
    sigma = largest / 6.0;
  }
  const double factor = 0.5 / (sigma * sigma);
  Sparse out;
  for (std::int32_t column = 0; column < np; ++column) {
    out.starts.push_back(static_cast<std::int64_t>(out.values.size()));
    for (std::uint32_t k = jc[column]; k < jc[column + 1]; ++k) {
      const auto row = static_cast<std::int32_t>(ir[k]);
      double weight = 1.0;
      if (row != column) {
        const double halfStrength = 0.5 * strength(nr, magnitude.data(), phase.data(), column, row);
        const double exponent = ((-halfStrength) * halfStrength) * factor;
        weight = std::exp(exponent);
      }
      out.values.push_back(weight);
      out.rows.push_back(row);
    }
  }
  out.starts.push_back(static_cast<std::int64_t>(out.values.size()));
  return out;
}

// Equality of results: identical bits (so -0.0 differs from 0.0, unlike ==), with every NaN
// equal to every NaN. IEEE arithmetic leaves the sign and payload of a NaN it creates to the
// hardware and the compiler may legally flip it (-(x * y) for (-x) * y), so "NaN where NaN"
// is the contract, not its bits.
inline bool sameBits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace plain
