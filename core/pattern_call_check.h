#pragma once

// What is wrong with a call for a disc pattern: quorvane_pattern(NR, NC, RADIUS) in Octave,
// and quorvane.disc_pattern(shape, radius, columns=...) in Python (its compiled half). The
// checks in their order and their messages, written once for the native Octave function and
// the Python binding; toolbox/quorvane_pattern.m, which serves MATLAB, makes the same checks
// in the same order with the same texts. An entry point describes its inputs
// (PatternCallFacts), lets checkPatternCall find the first fault, and raises
// patternCallText(fault, host, figure) the host's way.
//
// The two hosts word the faults apart, each naming its own arguments (NR, NC, RADIUS and JC
// in Octave; shape, radius and columns in Python), so the table holds a text for each host.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "disc_pattern.h"
#include "pixel_grid.h"

namespace quorvane {

// The faults in the order they are checked, but for one host difference: a host that takes
// the image size as one shape (PatternSize::kOneShape) checks its pixel count with it,
// before the radius. kOutOfMemory is the entry point's own last check, once the pattern
// cannot be allocated.
enum class PatternCallFault {
  kNone,
  kTooManyInputs,
  kTooManyOutputs,
  kTooFewInputs,
  kRowsNotPositiveInteger,
  kColumnsNotPositiveInteger,
  kRadiusBelowZero,  // also NaN, or no real number at all
  kTooManyPixels,
  kPartOutsideImage,
  kTooManyPairs,
  kOutOfMemory,
};

// The host whose wording a message takes.
enum class PatternHost { kOctave, kPython };

// A fault's identifier (Octave's; Python raises every one as ValueError) and its text for
// each host, nullptr where the host never raises the fault: Python's arity is checked by pybind11
// and its allocations fail with numpy's MemoryError; Octave makes no part of a pattern. "{}"
// stands for the figure the entry point passes along (patternCallText).
struct PatternCallMessage {
  const char* identifier;
  const char* octave;
  const char* python;
};

inline PatternCallMessage patternCallMessage(PatternCallFault fault) {
  switch (fault) {
    case PatternCallFault::kNone:
      break;
    case PatternCallFault::kTooManyInputs:
      return {"Octave:invalid-fun-call", "quorvane_pattern: function called with too many inputs",
              nullptr};
    case PatternCallFault::kTooManyOutputs:
      return {"Octave:invalid-fun-call", "quorvane_pattern: function called with too many outputs",
              nullptr};
    case PatternCallFault::kTooFewInputs:
      return {"quorvane_pattern:nargin", "quorvane_pattern: three inputs required (NR, NC, RADIUS)",
              nullptr};
    case PatternCallFault::kRowsNotPositiveInteger:
      return {"quorvane_pattern:nr", "quorvane_pattern: NR shall be a positive integer",
              "shape shall hold two positive sizes"};
    case PatternCallFault::kColumnsNotPositiveInteger:
      return {"quorvane_pattern:nc", "quorvane_pattern: NC shall be a positive integer",
              "shape shall hold two positive sizes"};
    case PatternCallFault::kRadiusBelowZero:
      return {"quorvane_pattern:radius",
              "quorvane_pattern: RADIUS shall be a real number of at least 0",
              "radius shall be a non-negative number"};
    case PatternCallFault::kTooManyPixels:
      return {"quorvane_pattern:size",
              "quorvane_pattern: the image shall have fewer than 2^31 pixels (NR*NC is {})",
              "shape shall have fewer than 2^31 pixels"};
    case PatternCallFault::kPartOutsideImage:
      return {nullptr, nullptr, "columns shall be a range of pixels within 0 ... H * W"};
    case PatternCallFault::kTooManyPairs:
      return {"quorvane_pattern:count",
              "quorvane_pattern: the pattern would have more pairs than the uint32 range of JC "
              "holds (4294967295); use a smaller RADIUS or image",
              "the pattern would have 2^32 or more entries"};
    case PatternCallFault::kOutOfMemory:
      return {"Octave:out-of-memory", "quorvane_pattern: out of memory for {} pairs", nullptr};
  }
  return {nullptr, nullptr, nullptr};
}

// A whole number as Octave's %.0f writes it ("Inf" for infinity).
inline std::string figureText(double figure) {
  if (std::isinf(figure))
    return figure > 0 ? "Inf" : "-Inf";
  char text[400];  // the digits of the largest double, and then some
  std::snprintf(text, sizeof text, "%.0f", figure);
  return text;
}

// The host's text of a fault, its "{}" replaced by the figure: the pixel count NR * NC for
// kTooManyPixels, the element count of the array that could not be allocated for
// kOutOfMemory.
inline std::string patternCallText(PatternCallFault fault, PatternHost host, double figure = 0) {
  const PatternCallMessage message = patternCallMessage(fault);
  const char* text = host == PatternHost::kOctave ? message.octave : message.python;
  std::string out = text ? text : "";
  const std::size_t at = out.find("{}");
  if (at != std::string::npos)
    out.replace(at, 2, figureText(figure));
  return out;
}

// An input that should be a number, as the host holds it: whether it is one real numeric
// element (no logical, no character), and then its value.
struct NumberFacts {
  bool realScalar = false;
  double value = 0.0;
};

// How the host takes the image size: Octave as the two inputs NR and NC, whose product it
// checks after the radius; Python as one shape, whose pixel count is part of checking it.
enum class PatternSize { kTwoNumbers, kOneShape };

// The call: the numbers of inputs and requested outputs, the three numbers (those beyond
// `inputs` are not looked at), and the part of the pattern asked for, if any (Python's
// columns: the columns of the pixels first ... last - 1).
struct PatternCallFacts {
  int inputs = 0;
  int outputs = 0;
  PatternSize size = PatternSize::kTwoNumbers;
  NumberFacts rows, columns, radius;
  std::optional<PixelRange> part;
};

// A call that passed every check, or the first fault and what its message tells: the image
// size, the radius, the part (the whole image when none is asked for) and the pattern's
// entry count (discPatternEntries' figure, above UINT32_MAX for kTooManyPairs).
struct CheckedPatternCall {
  PatternCallFault fault = PatternCallFault::kNone;
  std::int64_t rows = 0, columns = 0;
  double pixels = 0.0;  // rows x columns in double arithmetic, as the .m file computes it
  double radius = 0.0;
  PixelRange part{};
  std::uint64_t pairs = 0;
};

namespace pattern_call_detail {

inline bool positiveInteger(const NumberFacts& n) {
  return n.realScalar && std::isfinite(n.value) && n.value >= 1 && n.value == std::trunc(n.value);
}

inline bool radiusFault(const NumberFacts& radius) {
  return !radius.realScalar || std::isnan(radius.value) || radius.value < 0;
}

// NR * NC above 2^31 - 1, from its double product: for whole numbers the rounded product
// lies on the same side of 2^31 as the exact one (2^31 is a double, and rounding keeps the
// order).
inline bool tooManyPixels(double pixels) {
  return pixels > static_cast<double>(kMaxPixels);
}

// The first fault among the numbers of inputs and outputs and the three numbers; pixels is
// NR * NC in double arithmetic.
inline PatternCallFault numberFault(const PatternCallFacts& call, double pixels) {
  if (call.inputs > 3)
    return PatternCallFault::kTooManyInputs;
  if (call.outputs > 2)
    return PatternCallFault::kTooManyOutputs;
  if (call.inputs < 3)
    return PatternCallFault::kTooFewInputs;
  if (!positiveInteger(call.rows))
    return PatternCallFault::kRowsNotPositiveInteger;
  if (!positiveInteger(call.columns))
    return PatternCallFault::kColumnsNotPositiveInteger;
  const bool oneShape = call.size == PatternSize::kOneShape;
  if (oneShape && tooManyPixels(pixels))
    return PatternCallFault::kTooManyPixels;
  if (radiusFault(call.radius))
    return PatternCallFault::kRadiusBelowZero;
  if (!oneShape && tooManyPixels(pixels))
    return PatternCallFault::kTooManyPixels;
  return PatternCallFault::kNone;
}

// A part of pixels first ... last - 1 that is not within the image.
inline bool partFault(const PixelRange& part, std::int64_t pixels) {
  return part.first < 0 || part.first > part.last || part.last > pixels;
}

}  // namespace pattern_call_detail

// Checks a call in the order above and stops at the first fault. The pattern's entries are
// only counted (countPairs(checked), returning discPatternEntries for the checked call's
// size, radius and part, in the host's orientation and with its locks) once everything
// else has passed.
template <typename CountPairs>
CheckedPatternCall checkPatternCall(const PatternCallFacts& call, CountPairs&& countPairs) {
  CheckedPatternCall checked;
  checked.pixels = call.rows.value * call.columns.value;
  checked.fault = pattern_call_detail::numberFault(call, checked.pixels);
  if (checked.fault != PatternCallFault::kNone)
    return checked;
  checked.rows = static_cast<std::int64_t>(call.rows.value);
  checked.columns = static_cast<std::int64_t>(call.columns.value);
  checked.radius = call.radius.value;
  const std::int64_t pixels = checked.rows * checked.columns;
  checked.part = call.part.value_or(PixelRange{0, pixels});
  if (pattern_call_detail::partFault(checked.part, pixels)) {
    checked.fault = PatternCallFault::kPartOutsideImage;
    return checked;
  }
  checked.pairs = countPairs(std::as_const(checked));
  if (checked.pairs > UINT32_MAX)
    checked.fault = PatternCallFault::kTooManyPairs;
  return checked;
}

}  // namespace quorvane
