#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "index_pair.h"
#include "pixel_grid.h"
#include "weight_engine.h"
#include "weight_matrix.h"
#include "weight_rule.h"

namespace quorvane {

// Fills out with one weight per pattern entry, column by column, in the pattern's order:
// 1.0 on the diagonal, edgeWeight(crossingStrength(...)) elsewhere. Without sigma the scale
// is defaultSigma over every pixel. The pattern must be valid for the grid (see
// checkPattern): jc non-decreasing, ir holding at least jc[np] entries, every ir[k] read
// below np. The output needs room for jc[np] - jc[0] entries and np + 1 column starts.
// The weights come from the engine (computeWeights), bit for bit those of the plain walk,
// on the calling thread unless `workers` says otherwise. With out.ir null the row indices
// are left to the caller (who may have them in place already, and read them as ir).
template <typename Index>
void buildWeightMatrix(const PixelGrid& grid, const double* magnitude, const double* phase,
                       const IndexPair& pattern, std::optional<double> sigma,
                       const WeightMatrix<Index>& out, Workers workers = {}) {
  const double factor = gaussianFactor(sigma ? *sigma : defaultSigma(magnitude, grid.np));
  // A valid pattern's entries are ir[jc[0]] ... ir[jc[np] - 1], column j's from jc[j] on;
  // the engine writes their weights and row indices, column starts are counted from 0.
  static_assert(std::is_integral_v<Index> && (sizeof(Index) == 4 || sizeof(Index) == 8),
                "row indices go to 4- or 8-byte integers");
  computeWeights(grid, magnitude, phase, pattern, factor, out.pr, bestEngineKernel(),
                 RowIndexOutput{out.ir, sizeof(Index)}, WeightSource::kChosen, workers);
  const std::uint32_t first = pattern.jc[0];
  for (std::int32_t j = 0; j <= grid.np; ++j)
    out.jc[j] = static_cast<Index>(pattern.jc[j] - first);
}

}  // namespace quorvane
