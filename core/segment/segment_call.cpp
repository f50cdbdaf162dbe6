#include "segment_call.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "disc_pattern.h"
#include "pixel_grid.h"

namespace quorvane::segment {
namespace {

constexpr const char kBadImage[] = "quorvane_segment:badImage";
constexpr const char kBadOption[] = "quorvane_segment:badOption";
constexpr const char kOptionNames[] = "scale, contrast, smallest and radius";
// Above this a double no longer holds every whole number, nor an int64 every double.

std::string numberText(double value) {
  if (std::isnan(value))
    return "NaN";
  if (std::isinf(value))
    return value > 0 ? "Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

// "a 1x3 char", "a 4x5 complex double", as the messages name what they got.
std::string described(const ValueFacts& v) {
  std::string size;
  for (std::uint64_t d : v.dimensions)
    size += (size.empty() ? "" : "x") + std::to_string(d);
  return "a " + size + (v.sparse ? " sparse" : "") + (v.complex ? " complex" : "") + " " +
         v.className;
}

// One real element of a numeric class (no logical, no character).
bool realNumber(const ValueFacts& v) {
  for (std::uint64_t d : v.dimensions) {
    if (d != 1)
      return false;
  }
  const bool numeric = v.elements != ElementClass::kOther && v.elements != ElementClass::kLogical;
  return numeric && !v.complex && !v.sparse;
}

// The setting an option sets, or null for an unknown name.
double* settingOf(SegmentSettings& settings, double& smallest, const std::string& name) {
  if (name == "scale")
    return &settings.scale;
  if (name == "contrast")
    return &settings.contrast;
  if (name == "smallest")
    return &smallest;
  if (name == "radius")
    return &settings.radius;
  return nullptr;
}

template <typename T>
void interleave(const void* data, std::int64_t rows, std::int64_t columns, int channels,
                double* out) {
  const T* in = static_cast<const T*>(data);
  const std::int64_t plane = rows * columns;
  for (std::int64_t c = 0; c < columns; ++c)
    for (std::int64_t r = 0; r < rows; ++r)
      for (int k = 0; k < channels; ++k)
        out[(r * columns + c) * channels + k] = static_cast<double>(in[r + c * rows + k * plane]);
}

}  // namespace

CheckedSegmentCall checkSegmentCall(const SegmentCallFacts& call) {
  CheckedSegmentCall checked;
  const auto fail = [&checked](SegmentCallFault fault, const char* identifier, std::string text) {
    checked.fault = fault;
    checked.identifier = identifier;
    checked.text = std::move(text);
    return checked;
  };
  if (call.inputs < 1 || call.inputs > 2)
    return fail(
        SegmentCallFault::kInputCount, "quorvane_segment:nargin",
        "one or two inputs required (IMAGE[, OPTIONS]), got " + std::to_string(call.inputs));
  if (call.outputs > 2)
    return fail(SegmentCallFault::kOutputCount, "quorvane_segment:nargout",
                "at most two outputs (LABELS, COUNT), got " + std::to_string(call.outputs));

  const ValueFacts& image = call.image;
  if (image.elements == ElementClass::kOther)
    return fail(SegmentCallFault::kImageClass, kBadImage,
                "IMAGE shall be a numeric or logical array, got " + described(image));
  if (image.complex)
    return fail(SegmentCallFault::kImageComplex, kBadImage,
                "IMAGE shall be real, got " + described(image));
  if (image.sparse)
    return fail(SegmentCallFault::kImageSparse, kBadImage,
                "IMAGE shall be full, got " + described(image));
  const std::vector<std::uint64_t>& size = image.dimensions;
  if (size.size() < 2 || size.size() > 3)
    return fail(SegmentCallFault::kImageDimensions, kBadImage,
                "IMAGE shall be H x W or H x W x C, got " + described(image));
  // The core's texts for the picture's shape; sizes beyond any picture are kept below
  // 2^62, where they only serve the message.
  PictureValues shape;
  const auto clamped = [](std::uint64_t n) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(n, std::uint64_t{1} << 62));
  };
  shape.rows = clamped(size[0]);
  shape.columns = clamped(size[1]);
  const std::uint64_t channels = size.size() == 3 ? size[2] : 1;
  if (channels != 1 && channels != 3 && channels != 4) {
    shape.fault = PictureFault::kChannels;
    shape.channels = static_cast<int>(std::min<std::uint64_t>(channels, INT32_MAX));
  } else if (size[0] < 2 || size[1] < 2) {
    shape.fault = PictureFault::kTooSmall;
  }
  if (shape.fault != PictureFault::kNone)
    return fail(SegmentCallFault::kImageShape, kBadImage, pictureMessage(shape));
  if (size[0] > static_cast<std::uint64_t>(kMaxPixels) / size[1])
    return fail(SegmentCallFault::kTooManyPixels, kBadImage,
                "the picture shall have fewer than 2^31 pixels, got " + std::to_string(size[0]) +
                    " x " + std::to_string(size[1]));
  checked.rows = static_cast<std::int64_t>(size[0]);
  checked.columns = static_cast<std::int64_t>(size[1]);
  checked.channels = static_cast<int>(channels);

  if (call.inputs == 2) {
    if (!call.optionsAreStruct)
      return fail(SegmentCallFault::kOptionsNotStruct, kBadOption,
                  std::string("OPTIONS shall be a struct of the fields ") + kOptionNames +
                      ", got " + described(call.options));
    std::uint64_t structs = 1;
    for (std::uint64_t d : call.options.dimensions)
      structs *= d;
    if (structs != 1)
      return fail(SegmentCallFault::kOptionsNotOne, kBadOption,
                  "OPTIONS shall be one struct, got " + described(call.options));
    double smallest = static_cast<double>(checked.settings.smallest);
    const double largerSide = static_cast<double>(std::max(checked.rows, checked.columns));
    for (const auto& [name, value] : call.fields) {
      double* setting = settingOf(checked.settings, smallest, name);
      const std::string option = "option '" + name + "'";
      if (setting == nullptr)
        return fail(SegmentCallFault::kUnknownOption, kBadOption,
                    "unknown " + option + ": the options are " + kOptionNames);
      if (!realNumber(value))
        return fail(SegmentCallFault::kOptionNotNumber, kBadOption,
                    option + " shall be a real number, got " + described(value));
      if (!std::isfinite(value.value))
        return fail(SegmentCallFault::kOptionNotFinite, kBadOption,
                    option + " shall be finite, got " + numberText(value.value));
      if (const char* range = settingRule(name, value.value, largerSide)) {
        const std::string bound = name == "scale" ? " (" + numberText(largerSide) + ")" : "";
        return fail(SegmentCallFault::kOptionOutOfRange, kBadOption,
                    option + " shall be " + range + bound + ", got " + numberText(value.value));
      }
      *setting = value.value;
    }
    checked.settings.smallest = static_cast<std::int64_t>(smallest);
  }
  // The weights are compressed columns with 32-bit starts (the pattern of the transposed
  // picture, as the core weighs it).
  if (discPatternEntries(checked.columns, checked.rows, checked.settings.radius) > UINT32_MAX)
    return fail(SegmentCallFault::kTooManyWeights, "quorvane_segment:tooLarge",
                "a " + std::to_string(checked.rows) + " x " + std::to_string(checked.columns) +
                    " picture with radius " + numberText(checked.settings.radius) +
                    " has more than 2^32 - 1 pairs of pixels to weigh; use a smaller radius");
  return checked;
}

std::vector<double> readColumnMajorPicture(const CheckedSegmentCall& call, ElementClass elements,
                                           const void* data) {
  const std::int64_t rows = call.rows, columns = call.columns;
  const int channels = call.channels;
  std::vector<double> out(static_cast<std::size_t>(rows * columns * channels));
  switch (elements) {
    case ElementClass::kDouble:
      interleave<double>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kSingle:
      interleave<float>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kInt8:
      interleave<std::int8_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kUint8:
      interleave<std::uint8_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kInt16:
      interleave<std::int16_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kUint16:
      interleave<std::uint16_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kInt32:
      interleave<std::int32_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kUint32:
      interleave<std::uint32_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kInt64:
      interleave<std::int64_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kUint64:
      interleave<std::uint64_t>(data, rows, columns, channels, out.data());
      break;
    case ElementClass::kLogical:  // one byte, true when not 0 (MATLAB's and Octave's alike)
      interleave<unsigned char>(data, rows, columns, channels, out.data());
      for (double& v : out)
        v = v != 0 ? 1.0 : 0.0;
      break;
    case ElementClass::kOther:
      break;
  }
  return out;
}

SegmentOutcome segmentCall(CheckedSegmentCall& call, ElementClass elements, const void* data,
                           const Workers& workers) {
  SegmentOutcome outcome;
  try {
    PictureValues picture;
    {
      const std::vector<double> values = readColumnMajorPicture(call, elements, data);
      picture = pictureValues(call.rows, call.columns, call.channels, values.data());
    }
    if (picture.fault != PictureFault::kNone) {
      call.fault = SegmentCallFault::kPicture;
      call.identifier = kBadImage;
      call.text = pictureMessage(picture);
      return outcome;
    }
    Segmentation found = segmentPicture(std::move(picture), call.settings, workers);
    outcome.segments = std::move(found.segments);
    outcome.count = found.count;
  } catch (const std::bad_alloc&) {
    outcome = SegmentOutcome{};
  } catch (const std::length_error&) {
    outcome = SegmentOutcome{};
  }
  if (outcome.segments.empty())
    refuseForMemory(call);
  return outcome;
}

void refuseForMemory(CheckedSegmentCall& call) {
  call.fault = SegmentCallFault::kOutOfMemory;
  call.identifier = "quorvane_segment:outOfMemory";
  call.text = "out of memory segmenting the " + std::to_string(call.rows) + " x " +
              std::to_string(call.columns) + " picture";
}

void writeColumnMajorLabels(const CheckedSegmentCall& call, const SegmentOutcome& outcome,
                            double* labels) {
  const std::int64_t rows = call.rows, columns = call.columns;
  for (std::int64_t c = 0; c < columns; ++c)
    for (std::int64_t r = 0; r < rows; ++r)
      labels[r + c * rows] =
          static_cast<double>(outcome.segments[static_cast<std::size_t>(r * columns + c)]) + 1.0;
}

}  // namespace quorvane::segment
