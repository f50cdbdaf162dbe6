// The benchmark's yardstick: the weight rule transcribed plainly, one straight-line walk per
// entry with the minor coordinate recomputed at every step, as written and untuned.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace bench {

inline double plainCrossing(std::int32_t nr, const double* magnitude, const double* phase,
                            std::int32_t j, std::int32_t i) {
  const std::int32_t row0 = j % nr, col0 = j / nr, row1 = i % nr, col1 = i / nr;
  const std::int32_t dRow = row1 - row0, dCol = col1 - col0;
  const bool rowsMajor = std::abs(dRow) >= std::abs(dCol);
  const double slope = rowsMajor ? static_cast<double>(dCol) / static_cast<double>(dRow)
                                 : static_cast<double>(dRow) / static_cast<double>(dCol);
  const std::int32_t startMajor = rowsMajor ? row0 : col0;
  const std::int32_t startMinor = rowsMajor ? col0 : row0;
  const std::int32_t endMajor = rowsMajor ? row1 : col1;
  const std::int32_t step = endMajor >= startMajor ? 1 : -1;
  std::int32_t currentRow = row0, currentCol = col0;
  double previous = phase[j];
  double m = 0.0;
  for (std::int32_t n = 0; n < std::abs(endMajor - startMajor); ++n) {
    const std::int32_t nextMajor = (rowsMajor ? currentRow : currentCol) + step;
    const double minor =
        slope * static_cast<double>(nextMajor - startMajor) + 0.5 + static_cast<double>(startMinor);
    const auto nextMinor = static_cast<std::int32_t>(minor);
    const std::int32_t nextRow = rowsMajor ? nextMajor : nextMinor;
    const std::int32_t nextCol = rowsMajor ? nextMinor : nextMajor;
    const double q = phase[nextRow + nextCol * nr];
    if (q != previous) {
      const double s = magnitude[currentRow + currentCol * nr] + magnitude[nextRow + nextCol * nr];
      if (!(m >= s))
        m = s;
    }
    currentRow = nextRow;
    currentCol = nextCol;
    previous = q;
  }
  return m;
}

// The whole matrix; sigma absent (hasSigma false) is one sixth of the largest magnitude.
template <typename Index>
void plainWeights(std::int32_t nr, std::int32_t nc, const double* magnitude, const double* phase,
                  const std::uint32_t* ir, const std::uint32_t* jc, bool hasSigma, double sigma,
                  double* outPr, Index* outIr, Index* outJc) {
  const std::int32_t np = nr * nc;
  if (!hasSigma) {
    double largest = 0.0;
    for (std::int32_t p = 0; p < np; ++p) {
      if (!(largest >= magnitude[p]))
        largest = magnitude[p];
    }
    sigma = largest / 6.0;
  }
  const double factor = 0.5 / (sigma * sigma);
  std::int64_t count = 0;
  for (std::int32_t j = 0; j < np; ++j) {
    outJc[j] = static_cast<Index>(count);
    for (std::uint32_t k = jc[j]; k < jc[j + 1]; ++k) {
      const auto i = static_cast<std::int32_t>(ir[k]);
      double weight = 1.0;
      if (i != j) {
        const double g = 0.5 * plainCrossing(nr, magnitude, phase, j, i);
        weight = std::exp(((-g) * g) * factor);
      }
      outIr[count] = static_cast<Index>(i);
      outPr[count] = weight;
      ++count;
    }
  }
  outJc[np] = static_cast<Index>(count);
}

}  // namespace bench
