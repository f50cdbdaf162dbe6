#pragma once

// A picture as the segmentation reads it, whatever a host held it as: its values as doubles,
// grey or colour, in [0, 1] when they are those of an image. Values within [0, 1] stay as
// they are, within [0, 255] (8 bits) are divided by 255, within [0, 65535] (16 bits) by
// 65535, others by their largest magnitude, so that one photograph held as uint8, uint16,
// floats in [0, 1] or floats in [0, 255] gives the very same values. Four channels drop the
// fourth (alpha); three equal channels are grey.

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::segment {

enum class PictureFault { kNone, kTooSmall, kChannels, kNaN, kInfinite, kConstant };

struct PictureValues {
  PictureFault fault = PictureFault::kNone;
  std::int64_t rows = 0, columns = 0;
  int channels = 0;            // 1 or 3
  std::int64_t faulty = 0;     // the NaN or infinite values counted, for the message
  std::vector<double> values;  // rows x columns x channels, row-major, channels interleaved
};

// The values of a rows x columns picture of `channels` (1, 3 or 4) values per pixel,
// row-major with channels interleaved, or the fault that refuses it.
PictureValues pictureValues(std::int64_t rows, std::int64_t columns, int channels,
                            const double* values);

// The one-line message of a refused picture ("the picture ...").
std::string pictureMessage(const PictureValues& picture);

}  // namespace quorvane::segment
