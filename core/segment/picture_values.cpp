#include "picture_values.h"

#include <cmath>

namespace quorvane::segment {
namespace {

// The ranges whole-number pictures come in: 8-bit and 16-bit.
constexpr double kRanges[] = {1.0, 255.0, 65535.0};

}  // namespace

PictureValues pictureValues(std::int64_t rows, std::int64_t columns, int channels,
                            const double* values) {
  PictureValues picture;
  picture.rows = rows;
  picture.columns = columns;
  if (channels != 1 && channels != 3 && channels != 4) {
    picture.fault = PictureFault::kChannels;
    picture.channels = channels;
    return picture;
  }
  if (rows < 2 || columns < 2) {
    picture.fault = PictureFault::kTooSmall;
    return picture;
  }
  const std::int64_t pixels = rows * columns;
  std::int64_t nan = 0, infinite = 0;
  bool grey = channels == 1;
  if (!grey) {
    grey = true;
    for (std::int64_t p = 0; p < pixels && grey; ++p) {
      const double* v = values + p * channels;
      grey = v[0] == v[1] && v[1] == v[2];
    }
  }
  const int kept = grey ? 1 : 3;
  picture.channels = kept;
  picture.values.resize(static_cast<std::size_t>(pixels * kept));
  double top = 0.0, low = 0.0, high = 0.0;
  for (std::int64_t p = 0; p < pixels; ++p)
    for (int k = 0; k < kept; ++k) {
      const double v = values[p * channels + k];
      picture.values[static_cast<std::size_t>(p * kept + k)] = v;
      if (std::isnan(v)) {
        ++nan;
      } else if (std::isinf(v)) {
        ++infinite;
      } else {
        top = std::fmax(top, std::fabs(v));
        low = p == 0 && k == 0 ? v : std::fmin(low, v);
        high = p == 0 && k == 0 ? v : std::fmax(high, v);
      }
    }
  if (nan > 0 || infinite > 0) {
    // A grey picture held in three equal channels holds each infinite value three times.
    if (grey && channels != 1)
      infinite *= 3;
    picture.fault = nan > 0 ? PictureFault::kNaN : PictureFault::kInfinite;
    picture.faulty = nan > 0 ? nan : infinite;
    picture.values.clear();
    return picture;
  }
  if (low == high) {
    picture.fault = PictureFault::kConstant;
    picture.values.clear();
    return picture;
  }
  double scale = top;
  for (double range : kRanges)
    if (top <= range) {
      scale = range;
      break;
    }
  if (scale != 1.0)
    for (double& v : picture.values)
      v /= scale;
  return picture;
}

std::string pictureMessage(const PictureValues& picture) {
  switch (picture.fault) {
    case PictureFault::kNone:
      return "";
    case PictureFault::kTooSmall:
      return "the picture shall be at least 2 x 2 pixels, got " + std::to_string(picture.rows) +
             " x " + std::to_string(picture.columns);
    case PictureFault::kChannels:
      return "the picture shall have 1, 3 or 4 channels, got " + std::to_string(picture.channels);
    case PictureFault::kNaN:
      return "the picture holds " + std::to_string(picture.faulty) + " NaN values";
    case PictureFault::kInfinite:
      return "the picture holds " + std::to_string(picture.faulty) + " infinite values";
    case PictureFault::kConstant:
      return "the picture is constant: it has no edges to segment by";
  }
  return "";
}

}  // namespace quorvane::segment
