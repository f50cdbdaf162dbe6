#include "segmentation.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "build_weight_matrix.h"
#include "disc_pattern.h"
#include "pixel_grid.h"
#include "watershed.h"
#include "whole_segments.h"

namespace quorvane::segment {

const char* settingRule(const std::string& name, double value, double largerSide) {
  if (!std::isfinite(value))
    return "finite";
  if (name == "scale")
    return value > 0 && value <= largerSide
               ? nullptr
               : "greater than 0 and at most the picture's larger side";
  if (name == "contrast")
    return value > 0 ? nullptr : "greater than 0";
  if (name == "radius")
    return value >= 0 ? nullptr : "at least 0";
  // Any whole number a double holds exactly.
  const bool whole = value >= 1 && value <= 9007199254740992.0 && value == std::floor(value);
  return whole ? nullptr : "a whole number from 1 to 2^53";
}

double weightSigma(double contrast) {
  return contrast / std::sqrt(-8.0 * std::log(0.5));
}

void measureStrength(Segmentation& s, const SegmentSettings& settings, const Workers& workers) {
  const PictureValues& p = s.picture;
  s.strength =
      boundaryStrength(p.rows, p.columns, p.channels, p.values.data(), settings.scale, workers);
  s.crests.resize(s.strength.strength.size());
  ridgeCrests(p.rows, p.columns, s.strength.strength.data(), s.strength.orientation.data(),
              s.crests.data(), workers);
}

void floodBasins(Segmentation& s) {
  s.basins.resize(s.crests.size());
  s.basinCount = watershedBasins(s.picture.rows, s.picture.columns, s.strength.strength.data(),
                                 s.basins.data());
}

void weighDiscColumns(std::int64_t rows, std::int64_t columns, const double* crests,
                      const std::int32_t* basins, const SegmentSettings& settings, PixelRange part,
                      std::uint32_t* pairRows, std::uint32_t* starts, double* weights,
                      const Workers& workers, WeightSource source) {
  // The engine numbers pixels column-major; the C-order image is its transpose, whose disc
  // pattern is the same. The pattern's row pixels are the weights' row indices: made once,
  // in place, with the part's own starts (from 0) at its columns.
  const PixelGrid grid = makePixelGrid(columns, rows);
  fillDiscPattern(grid.nr, grid.nc, settings.radius, part, pairRows, starts + part.first);
  std::fill(starts, starts + part.first, 0u);
  std::fill(starts + part.last + 1, starts + grid.np + 1, starts[part.last]);
  const std::vector<double> phase(basins, basins + grid.np);
  WeightOptions options;
  options.sigma = weightSigma(settings.contrast);
  options.engine.workers = workers;
  options.engine.source = source;
  buildWeightMatrix(grid, crests, phase.data(), Pattern{pairRows, starts},
                    WeightMatrix<std::uint32_t>{weights, nullptr, starts}, options);
}

void weighPairs(Segmentation& s, const SegmentSettings& settings, const Workers& workers) {
  const std::int64_t pixels = s.picture.rows * s.picture.columns;
  const PixelRange all{0, pixels};
  const std::uint64_t entries =
      discPatternEntries(s.picture.columns, s.picture.rows, settings.radius, all);
  s.weightRows.resize(static_cast<std::size_t>(entries));
  s.weightStarts.resize(static_cast<std::size_t>(pixels) + 1);
  s.weights.resize(s.weightRows.size());
  weighDiscColumns(s.picture.rows, s.picture.columns, s.crests.data(), s.basins.data(), settings,
                   all, s.weightRows.data(), s.weightStarts.data(), s.weights.data(), workers);
}

namespace {

SumWeights allWeights(const Segmentation& s, const Workers& workers) {
  const auto pixels = static_cast<std::int64_t>(s.weightStarts.size()) - 1;
  return chunkedSums(ColumnWeights<std::uint32_t>{pixels, s.weightStarts.data(),
                                                  s.weightRows.data(), s.weights.data()},
                     workers);
}

}  // namespace

void mergeBasins(Segmentation& s, const SegmentSettings& settings, const Workers& workers) {
  // The weights are the core's own: always usable.
  mergeBasins(s.basins.data(), static_cast<std::int64_t>(s.basins.size()), s.basinCount,
              allWeights(s, workers), settings.smallest, s.merged);
}

void findWholeSegments(Segmentation& s, const SegmentSettings& settings, const Workers& workers) {
  std::vector<std::int32_t> merged(s.basins.size());
  for (std::size_t p = 0; p < merged.size(); ++p)
    merged[p] = s.merged.region[static_cast<std::size_t>(s.basins[p])];
  s.segments.resize(merged.size());
  s.count = findSegments(s.picture.rows, s.picture.columns, merged.data(), s.picture.channels,
                         s.picture.values.data(), settings.smallest, allWeights(s, workers),
                         s.segments.data());
}

Segmentation segmentPicture(PictureValues picture, const SegmentSettings& settings,
                            const Workers& workers) {
  Segmentation s;
  s.picture = std::move(picture);
  measureStrength(s, settings, workers);
  floodBasins(s);
  weighPairs(s, settings, workers);
  mergeBasins(s, settings, workers);
  findWholeSegments(s, settings, workers);
  return s;
}

}  // namespace quorvane::segment
