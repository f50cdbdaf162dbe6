#pragma once

// labels = quorvane_segment(image[, options]) for the hosts that hold arrays column-major
// (Octave's native function and the MEX module, for Octave and MATLAB): the checks in their
// order, their identifiers and texts, the image's conversion to the core's row-major picture
// and the segments back to labels 1 .. count. An entry point describes its inputs
// (SegmentCallFacts), lets checkSegmentCall find the first fault, reads the image's elements
// with readColumnMajorPicture and raises a fault's text after "quorvane_segment: " the host's
// way (hosts that prefix a MEX file's messages with its name prefix these too).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "call_check.h"
#include "picture_values.h"
#include "segmentation.h"

namespace quorvane::segment {

// One input, or one field of the options, as the host holds it.
struct ValueFacts {
  ElementClass elements = ElementClass::kOther;
  std::string className;  // the host's class(x): "double", "char", "cell", "struct", ...
  bool complex = false;
  bool sparse = false;
  std::vector<std::uint64_t> dimensions;  // size(x), at least two
  double value = 0.0;                     // a real numeric scalar's value, as double(x)
};

// The call. `fields` are the options' names and values, read only from one struct.
struct SegmentCallFacts {
  int inputs = 0;
  int outputs = 0;
  ValueFacts image;
  ValueFacts options;  // when inputs >= 2
  bool optionsAreStruct = false;
  std::vector<std::pair<std::string, ValueFacts>> fields;
};

// The faults in the order they are checked. kPicture is the core's refusal of the picture's
// values (NaN, infinite or constant: pictureMessage); kOutOfMemory the entry point's own.
enum class SegmentCallFault {
  kNone,
  kInputCount,
  kOutputCount,
  kImageClass,
  kImageComplex,
  kImageSparse,
  kImageDimensions,
  kImageShape,  // channels other than 1, 3 or 4, or fewer than 2 x 2 pixels
  kTooManyPixels,
  kOptionsNotStruct,
  kOptionsNotOne,
  kUnknownOption,
  kOptionNotNumber,
  kOptionNotFinite,
  kOptionOutOfRange,
  kTooManyWeights,
  kPicture,
  kOutOfMemory,
};

// A call that passed every check (fault kNone) with the picture's size and the settings, or
// the first fault with its identifier and text (without the function's name).
struct CheckedSegmentCall {
  SegmentCallFault fault = SegmentCallFault::kNone;
  const char* identifier = "";
  std::string text;
  std::int64_t rows = 0, columns = 0;
  int channels = 0;
  SegmentSettings settings;
};

inline constexpr const char kSegmentFunction[] = "quorvane_segment";

CheckedSegmentCall checkSegmentCall(const SegmentCallFacts& call);

// The picture of a checked call from the host's elements (class `elements`, column-major,
// one plane per channel): rows x columns x channels doubles, row-major with the channels
// interleaved, the values double(x) gives. Throws std::bad_alloc.
std::vector<double> readColumnMajorPicture(const CheckedSegmentCall& call, ElementClass elements,
                                           const void* data);

// The segments of a checked call, or, with its fault set, none: the picture read from the
// host's elements, refused by the core (kPicture) or segmented; kOutOfMemory when memory runs
// out on the way. Nothing of it is left when it returns but the result.
struct SegmentOutcome {
  std::vector<std::int32_t> segments;  // row-major, 0 .. count - 1
  std::int32_t count = 0;
};
SegmentOutcome segmentCall(CheckedSegmentCall& call, ElementClass elements, const void* data,
                           const Workers& workers = {});

// Sets the call's fault to kOutOfMemory, as an entry point does when its own allocations fail.
void refuseForMemory(CheckedSegmentCall& call);

// The segments as labels 1 .. count, column-major, into rows x columns doubles.
void writeColumnMajorLabels(const CheckedSegmentCall& call, const SegmentOutcome& outcome,
                            double* labels);

}  // namespace quorvane::segment
