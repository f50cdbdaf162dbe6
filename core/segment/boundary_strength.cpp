#include "boundary_strength.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

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

// The noise tiles' side: 16 pixels, smaller in a picture under 8 tiles a side.
std::int64_t tileSide(std::int64_t rows, std::int64_t columns) {
  return std::max<std::int64_t>(4, std::min(kWindow, std::min(rows, columns) / 8));
}

std::int64_t tileHeight(std::int64_t rows, std::int64_t columns) {
  return std::min(tileSide(rows, columns), rows);
}

// One gradient component's values over the rows `band` of a picture, held from its row
// `first`.
struct BandValues {
  const double* across;
  const double* along;
  std::int64_t first;
  RowSpan band;
  std::int64_t columns;

  const double* acrossAt(std::int64_t row) const { return across + (row - first) * columns; }
  const double* alongAt(std::int64_t row) const { return along + (row - first) * columns; }
};

// The root mean square of one gradient component over the flattest share of the tiles: mean
// energies of the tiles (tileSide). The band's tiles are those of its rows of tiles, joined
// with the other bands'. Each tile is summed as numpy's mean over the tile axes sums it: row
// by row, each row pairwise, or, when one tile spans the picture's width and its rows lie one
// after the other, all its values at once, pairwise.
double flattestSpread(std::int64_t rows, const BandValues& g, const BandExchange& exchange) {
  const std::int64_t columns = g.columns;
  const std::int64_t th = tileHeight(rows, columns);
  const std::int64_t tw = std::min(tileSide(rows, columns), columns);
  const std::int64_t tileRows = rows / th, tileColumns = columns / tw;
  const std::int64_t firstTileRow = g.band.first / th;
  const std::int64_t lastTileRow = std::min(tileRows, g.band.last / th);
  const bool whole = tileColumns == 1;
  std::vector<double> tiles;
  tiles.reserve(static_cast<std::size_t>(std::max<std::int64_t>(lastTileRow - firstTileRow, 0) *
                                         tileColumns));
  double energy[kWindow * kWindow];
  for (std::int64_t a = firstTileRow; a < lastTileRow; ++a) {
    for (std::int64_t b = 0; b < tileColumns; ++b) {
      double sum = 0.0;
      for (std::int64_t i = 0; i < th; ++i) {
        const double* across = g.acrossAt(a * th + i) + b * tw;
        const double* along = g.alongAt(a * th + i) + b * tw;
        double* row = whole ? energy + i * tw : energy;
        for (std::int64_t x = 0; x < tw; ++x)
          row[x] = (across[x] * across[x] + along[x] * along[x]) * 0.5;
        if (!whole)
          sum += pairwiseSum(row, tw);
      }
      if (whole)
        sum += pairwiseSum(energy, th * tw);
      tiles.push_back(sum / static_cast<double>(th * tw));
    }
  }
  exchange.join(tiles);
  return std::sqrt(linearQuantile(tiles, kFlattest));
}

// The spread of one gradient component as its median magnitude shows it (the standard
// deviation of normal noise of that median).
double medianSpread(const BandValues& g, const AddCounts& addUp) {
  const std::int64_t n = g.band.count() * g.columns;
  const std::vector<ValueSpan> magnitudes = {ValueSpan{g.acrossAt(g.band.first), n, true},
                                             ValueSpan{g.alongAt(g.band.first), n, true}};
  return median(magnitudes, addUp) / 0.6745;
}

// Each channel's unit at one scale (brightness first), never above the finest scale's
// (finest, unless empty), colour's never below brightness's, at least a visible step. The
// gradients hold the rows from `first` on; the band's rows count.
std::vector<double> noiseUnits(std::int64_t rows, std::int64_t columns,
                               const std::vector<std::vector<double>>& gradients,
                               std::int64_t first, RowSpan band, const BandExchange& exchange,
                               double brightnessRange, double scale,
                               const std::vector<double>& finest) {
  const std::size_t channels = gradients.size() / 2;
  std::vector<double> units(channels);
  for (std::size_t k = 0; k < channels; ++k) {
    const BandValues g{gradients[2 * k].data(), gradients[2 * k + 1].data(), first, band, columns};
    const double flat = flattestSpread(rows, g, exchange);
    const double spread = medianSpread(g, exchange.addUp);
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

// The strength and orientation of the rows `computed` of the picture, of which the rows
// `band` count for the noise units (with the other bands', through the exchange).
StrengthImage measureRows(std::int64_t rows, std::int64_t columns, int channels,
                          const double* values, double scale, RowSpan band, RowSpan computed,
                          const BandExchange& exchange, const Workers& workers) {
  const std::int64_t reach = gaussianKernel(kScales[kScaleCount - 1] * scale).radius;
  const RowSpan held = rowsRead(computed, reach, rows);
  const std::vector<std::vector<double>> planes =
      opponentChannels(held.count() * columns, channels, values + held.first * columns * channels);
  const std::vector<ValueSpan> brightness = {
      ValueSpan{planes[0].data() + (band.first - held.first) * columns, band.count() * columns}};
  const double low = linearQuantile(brightness, 0.5 / 100, exchange.addUp);
  const double high = linearQuantile(brightness, 99.5 / 100, exchange.addUp);

  const auto n = static_cast<std::size_t>(computed.count() * columns);
  StrengthImage image;
  image.strength.assign(n, 0.0);
  std::vector<double> tensor[3] = {std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
                                   std::vector<double>(n, 0.0)};
  std::vector<std::vector<double>> gradients(2 * planes.size(), std::vector<double>(n));
  std::vector<double> finest;
  for (const double factor : kScales) {
    const double s = factor * scale;
    for (std::size_t k = 0; k < planes.size(); ++k) {
      gaussianGradientOfRows(rows, columns, planes[k].data(), held, computed, s,
                             gradients[2 * k].data(), gradients[2 * k + 1].data(), workers);
    }
    const std::vector<double> units =
        noiseUnits(rows, columns, gradients, computed.first, band, exchange, high - low, s, finest);
    if (finest.empty())
      finest = units;
    forRowBands(workers, computed.count(), [&](int, std::int64_t begin, std::int64_t end) {
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
  forRowBands(workers, computed.count(), [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t p = begin * columns; p < end * columns; ++p) {
      image.strength[p] /= kScaleCount;
      image.orientation[p] = 0.5 * std::atan2(2 * tensor[2][p], tensor[1][p] - tensor[0][p]);
    }
  });
  return image;
}

}  // namespace

StrengthImage boundaryStrength(std::int64_t rows, std::int64_t columns, int channels,
                               const double* values, double scale, const Workers& workers) {
  const BandExchange alone{[](std::vector<std::int64_t>&) {}, [](std::vector<double>&) {}};
  return measureRows(rows, columns, channels, values, scale, {0, rows}, {0, rows}, alone, workers);
}

std::vector<RowSpan> strengthBands(std::int64_t rows, std::int64_t columns, int bands) {
  const std::int64_t th = tileHeight(rows, columns), tileRows = rows / th;
  std::vector<RowSpan> spans(static_cast<std::size_t>(bands));
  for (int b = 0; b < bands; ++b) {
    const auto start = [&](int band) {
      return band == bands ? rows : th * (tileRows * band / bands);
    };
    spans[static_cast<std::size_t>(b)] = {start(b), start(b + 1)};
  }
  return spans;
}

BandStrength bandStrength(std::int64_t rows, std::int64_t columns, int channels,
                          const double* values, double scale, RowSpan band,
                          const BandExchange& exchange, const Workers& workers) {
  const std::int64_t th = tileHeight(rows, columns);
  if (band.first < 0 || band.last > rows || band.count() < 0 ||
      (band.first % th != 0 && band.first != rows) || (band.last % th != 0 && band.last != rows))
    throw std::invalid_argument("a band of the strength shall lie on the noise tiles' rows");
  // The crests of the band's rows read the strength of the rows beside it.
  const RowSpan computed = band.count() == 0 ? band : rowsRead(band, 1, rows);
  const StrengthImage strip =
      measureRows(rows, columns, channels, values, scale, band, computed, exchange, workers);
  std::vector<double> crests(strip.strength.size());
  ridgeCrests(computed.count(), columns, strip.strength.data(), strip.orientation.data(),
              crests.data(), workers);
  const std::int64_t skip = (band.first - computed.first) * columns;
  const std::int64_t n = band.count() * columns;
  BandStrength result;
  result.strength.assign(strip.strength.begin() + skip, strip.strength.begin() + skip + n);
  result.crests.assign(crests.begin() + skip, crests.begin() + skip + n);
  return result;
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
