#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "pattern.h"
#include "pixel_grid.h"
#include "weight_engine.h"
#include "weight_matrix.h"
#include "weight_rule.h"

namespace quorvane {

// What a caller may choose about a call: the scale, and how the engine goes about it.
struct WeightOptions {
  std::optional<double> sigma;  // none: defaultSigma over every pixel
  EngineOptions engine = {};    // the instruction set, the source of weights, the workers
};

// Fills out with one weight per pattern entry, column by column, in the pattern's order:
// 1.0 on the diagonal, edgeWeight(crossingStrength(...)) elsewhere, with the Gaussian factor
// of options.sigma. The pattern must be valid for the grid (see checkPattern): jc
// non-decreasing, ir holding at least jc[np] entries, every ir[k] read below np. The output
// needs room for jc[np] - jc[0] entries and np + 1 column starts. The weights come from the
// engine (computeWeights), the same bits whatever options.engine says, on the calling thread
// unless its workers say otherwise. With out.ir null the row indices are left to the caller
// (who may have them in place already, and read them as ir).
template <typename Index>
void buildWeightMatrix(const PixelGrid& grid, const double* magnitude, const double* phase,
                       const Pattern& pattern, const WeightMatrix<Index>& out,
                       const WeightOptions& options = {}) {
  static_assert(std::is_integral_v<Index> && (sizeof(Index) == 4 || sizeof(Index) == 8),
                "row indices go to 4- or 8-byte integers");
  const std::optional<double>& sigma = options.sigma;
  const double factor = gaussianFactor(sigma ? *sigma : defaultSigma(magnitude, grid.np));
  // A valid pattern's entries are ir[jc[0]] ... ir[jc[np] - 1], column j's from jc[j] on;
  // the engine writes their weights and row indices, column starts are counted from 0.
  computeWeights(grid, magnitude, phase, pattern, factor, out.pr,
                 RowIndexOutput{out.ir, sizeof(Index)}, options.engine);
  const std::uint32_t first = pattern.jc[0];
  for (std::int32_t j = 0; j <= grid.np; ++j)
    out.jc[j] = static_cast<Index>(pattern.jc[j] - first);
}

}  // namespace quorvane
