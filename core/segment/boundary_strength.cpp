#include "boundary_strength.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "array_reductions.h"
#include "gaussian_filter.h"
#include "row_bands.h"

namespace quorvane::segment {
namespace {

constexpr double kPi = 3.141592653589793;
// Noise is measured over tiles of this many pixels a side, in the share of them that are
// flattest: those hold noise and no edge even in a busy picture.
constexpr std::int64_t kWindow = 16;
constexpr double kFlattest = 0.1;
// A unit is at least this share of the picture's brightness range, as a step at the scale of
// the filter.
constexpr double kVisible = 0.01;
constexpr double kScales[] = {1.0, 2.0, 4.0};
constexpr int kScaleCount = 3;

// One plane per opponent channel: the values for grey; for colour the brightness
// (R + G + B) / 3, red against green (R - G) / 2 and yellow against blue (R + G - 2 B) / 4.
std::vector<std::vector<double>> opponentChannels(std::int64_t pixels, int channels,
                                                  const double* values) {
  std::vector<std::vector<double>> planes(static_cast<std::size_t>(channels),
                                          std::vector<double>(static_cast<std::size_t>(pixels)));
  if (channels == 1) {
    std::copy(values, values + pixels, planes[0].begin());
    return planes;
  }
  for (std::int64_t p = 0; p < pixels; ++p) {
    const double r = values[3 * p], g = values[3 * p + 1], b = values[3 * p + 2];
    planes[0][p] = (r + g + b) / 3;
    planes[1][p] = (r - g) / 2;
    planes[2][p] = (r + g - 2 * b) / 4;
  }
  return planes;
}

// The root mean square of one gradient component over the flattest share of the tiles: mean
// energies of window x window tiles (smaller windows in a picture under 8 windows a side).
// Each tile is summed as numpy's mean over the tile axes sums it: row by row, each row
// pairwise, or, when one tile spans the picture's width and its rows lie one after the other,
// all its values at once, pairwise.
double flattestSpread(std::int64_t rows, std::int64_t columns, const double* across,
                      const double* along) {
  const std::int64_t window =
      std::max<std::int64_t>(4, std::min(kWindow, std::min(rows, columns) / 8));
  const std::int64_t th = std::min(window, rows), tw = std::min(window, columns);
  const std::int64_t tileRows = rows / th, tileColumns = columns / tw;
  const bool whole = tileColumns == 1;
  std::vector<double> tiles(static_cast<std::size_t>(tileRows * tileColumns));
  double energy[kWindow * kWindow];
  for (std::int64_t a = 0; a < tileRows; ++a) {
    for (std::int64_t b = 0; b < tileColumns; ++b) {
      double sum = 0.0;
      for (std::int64_t i = 0; i < th; ++i) {
        const std::int64_t first = (a * th + i) * columns + b * tw;
        double* row = whole ? energy + i * tw : energy;
        for (std::int64_t x = 0; x < tw; ++x) {
          const double r = across[first + x], c = along[first + x];
          row[x] = (r * r + c * c) * 0.5;
        }
        if (!whole)
          sum += pairwiseSum(row, tw);
      }
      if (whole)
        sum += pairwiseSum(energy, th * tw);
      tiles[static_cast<std::size_t>(a * tileColumns + b)] = sum / static_cast<double>(th * tw);
    }
  }
  return std::sqrt(linearQuantile(tiles, kFlattest));
}

// The spread of one gradient component as its median magnitude shows it (the standard
// deviation of normal noise of that median).
double medianSpread(std::int64_t pixels, const double* across, const double* along) {
  std::vector<double> both(static_cast<std::size_t>(2 * pixels));
  for (std::int64_t p = 0; p < pixels; ++p) {
    both[p] = std::fabs(across[p]);
    both[pixels + p] = std::fabs(along[p]);
  }
  return median(both) / 0.6745;
}

// Each channel's unit at one scale (brightness first), never above the finest scale's
// (finest, unless empty), colour's never below brightness's, at least a visible step.
std::vector<double> noiseUnits(std::int64_t rows, std::int64_t columns,
                               const std::vector<std::vector<double>>& gradients,
                               double brightnessRange, double scale,
                               const std::vector<double>& finest) {
  const std::size_t channels = gradients.size() / 2;
  std::vector<double> units(channels);
  for (std::size_t k = 0; k < channels; ++k) {
    const double* across = gradients[2 * k].data();
    const double* along = gradients[2 * k + 1].data();
    const double flat = flattestSpread(rows, columns, across, along);
    const double spread = medianSpread(rows * columns, across, along);
    units[k] = spread < flat ? spread : flat;
    if (!finest.empty())
      units[k] = std::min(units[k], finest[k]);
  }
  for (std::size_t k = 1; k < channels; ++k)
    units[k] = std::max(units[k], units[0]);
  const double visible = kVisible * brightnessRange / (std::sqrt(2 * kPi) * scale);
  const double tiny = std::numeric_limits<double>::min();
  const double least = tiny > visible ? tiny : visible;
  for (double& unit : units)
    unit = std::max(unit, least);
  return units;
}

// np.round(np.mod(orientation, pi) / (pi / 4)) % 4: the nearest of the grid's directions,
// 0 along a row, 1 down and right, 2 down a column, 3 down and left; halves to even. An
// orientation that is NaN or infinite has none and counts as along a row.
int gridDirection(double orientation) {
  if (!std::isfinite(orientation))
    return 0;
  double m = std::fmod(orientation, kPi);
  if (m != 0.0) {
    if (m < 0.0)
      m += kPi;
  } else {
    m = 0.0;
  }
  return static_cast<int>(static_cast<std::int64_t>(std::nearbyint(m / (kPi / 4))) % 4);
}

}  // namespace

StrengthImage boundaryStrength(std::int64_t rows, std::int64_t columns, int channels,
                               const double* values, double scale, const Workers& workers) {
  const std::int64_t pixels = rows * columns;
  const auto n = static_cast<std::size_t>(pixels);
  const std::vector<std::vector<double>> planes = opponentChannels(pixels, channels, values);
  const double low = linearQuantile(planes[0], 0.5 / 100);
  const double high = linearQuantile(planes[0], 99.5 / 100);

  StrengthImage image;
  image.strength.assign(n, 0.0);
  std::vector<double> tensor[3] = {std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
                                   std::vector<double>(n, 0.0)};
  std::vector<std::vector<double>> gradients(2 * planes.size(), std::vector<double>(n));
  std::vector<double> finest;
  for (const double factor : kScales) {
    const double s = factor * scale;
    for (std::size_t k = 0; k < planes.size(); ++k) {
      gaussianGradient(rows, columns, planes[k].data(), s, gradients[2 * k].data(),
                       gradients[2 * k + 1].data(), workers);
    }
    const std::vector<double> units = noiseUnits(rows, columns, gradients, high - low, s, finest);
    if (finest.empty())
      finest = units;
    forRowBands(workers, rows, [&](int, std::int64_t begin, std::int64_t end) {
      for (std::int64_t p = begin * columns; p < end * columns; ++p) {
        double squares = 0.0;
        for (std::size_t k = 0; k < units.size(); ++k) {
          const double r = gradients[2 * k][p] / units[k];
          const double c = gradients[2 * k + 1][p] / units[k];
          squares += r * r + c * c;
          tensor[0][p] += r * r;
          tensor[1][p] += c * c;
          tensor[2][p] += r * c;
        }
        image.strength[p] += std::sqrt(squares);
      }
    });
  }
  image.orientation.resize(n);
  forRowBands(workers, rows, [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t p = begin * columns; p < end * columns; ++p) {
      image.strength[p] /= kScaleCount;
      image.orientation[p] = 0.5 * std::atan2(2 * tensor[2][p], tensor[1][p] - tensor[0][p]);
    }
  });
  return image;
}

void ridgeCrests(std::int64_t rows, std::int64_t columns, const double* strength,
                 const double* orientation, double* crests, const Workers& workers) {
  // Steps (rows, columns) to the neighbour ahead in each direction; the one behind is opposite.
  constexpr std::int64_t kStep[4][2] = {{0, 1}, {1, 1}, {1, 0}, {1, -1}};
  const auto at = [&](std::int64_t r, std::int64_t c) {
    r = std::clamp<std::int64_t>(r, 0, rows - 1);
    c = std::clamp<std::int64_t>(c, 0, columns - 1);
    return strength[r * columns + c];
  };
  forRowBands(workers, rows, [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t r = begin; r < end; ++r) {
      for (std::int64_t c = 0; c < columns; ++c) {
        const std::int64_t p = r * columns + c;
        const std::int64_t* step = kStep[gridDirection(orientation[p])];
        const double value = strength[p];
        const bool ridge =
            value >= at(r + step[0], c + step[1]) && value >= at(r - step[0], c - step[1]);
        crests[p] = ridge ? value : 0.0;
      }
    }
  });
}

}  // namespace quorvane::segment
