#pragma once

// What is wrong with a call of quorvane(magnitude, phase, IR, JC[, sigma]): the checks in
// their order and their messages, written once for every entry point (the MEX gateway and
// the native Octave function). An entry point describes its inputs (ArrayFacts), lets
// checkCall find the first fault, and raises callMessage(fault) the host's way.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pattern.h"
#include "pattern_check.h"
#include "pixel_grid.h"

namespace quorvane {

// The faults in the order they are checked; kOutOfMemory is the entry point's own last
// check, once the output cannot be allocated.
enum class CallFault {
  kNone,
  kTooFewInputs,
  kTooManyOutputs,
  kImageSizesDiffer,
  kTooManyPixels,
  kImagesNotRealDouble,
  kIndexPairNotUint32,
  kWrongIndexRepresentation,
  kDecreasingColumnStarts,
  kTooFewRowIndices,
  kRowIndexOutOfRange,
  kSigmaNotRealScalar,
  kOutOfMemory,
};

inline const char* callMessage(CallFault fault) {
  switch (fault) {
    case CallFault::kNone:
      break;
    case CallFault::kTooFewInputs:
      return "Four input arguments required";
    case CallFault::kTooManyOutputs:
      return "Too many output arguments";
    case CallFault::kImageSizesDiffer:
      return "Edge magnitude and phase shall be of the same image size";
    case CallFault::kTooManyPixels:
      return "Edge magnitude and phase shall have fewer than 2^31 pixels";
    case CallFault::kImagesNotRealDouble:
      return "Edge magnitude and phase shall be real double matrices";
    case CallFault::kIndexPairNotUint32:
      return "Index pair shall be of type UINT32";
    case CallFault::kWrongIndexRepresentation:
      return "Wrong index representation";
    case CallFault::kDecreasingColumnStarts:
      return "Index pair column starts shall not decrease";
    case CallFault::kTooFewRowIndices:
      return "Index pair has fewer row indices than its last column start";
    case CallFault::kRowIndexOutOfRange:
      return "Index pair row index exceeds the image size";
    case CallFault::kSigmaNotRealScalar:
      return "Sigma shall be a real scalar";
    case CallFault::kOutOfMemory:
      return "Not enough memory for the output matrix";
  }
  return "";
}

// The class of an input's elements. Images of every class but kOther are read as doubles
// (image_values.h); the index pair must be kUint32.
enum class ElementClass {
  kDouble,
  kSingle,
  kInt8,
  kUint8,
  kInt16,
  kUint16,
  kInt32,
  kUint32,
  kInt64,
  kUint64,
  kLogical,
  kOther,  // char, cell, struct, function handle, ...
};

// One input as the host reports it. `columns` folds every dimension after the first in, as
// MEX hosts report an array's column count, so a 4 x 5 x 3 array has 4 rows, 15 columns and
// 3 dimensions.
struct ArrayFacts {
  ElementClass elements = ElementClass::kOther;
  bool complex = false;
  bool sparse = false;
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  std::uint64_t dimensions = 2;
};

// The call: the numbers of inputs and requested outputs, and the first five inputs (those
// beyond `inputs` are not looked at).
struct CallFacts {
  int inputs = 0;
  int outputs = 0;
  ArrayFacts input[5];
};

// A call that passed every check: the grid, the pattern and sigma's presence (an empty fifth
// input counts as none).
struct CheckedCall {
  CallFault fault = CallFault::kNone;
  PixelGrid grid{};
  Pattern pattern{};
  bool hasSigma = false;
};

namespace call_detail {

// A matrix whose elements read as real doubles: numeric or logical, real, full and of two
// dimensions.
inline bool isRealFullMatrix(const ArrayFacts& a) {
  return a.elements != ElementClass::kOther && !a.complex && !a.sparse && a.dimensions == 2;
}

inline bool isEmpty(const ArrayFacts& a) {
  return a.rows == 0 || a.columns == 0;
}

// Whether rows x columns equals n, without overflowing for absurd sizes.
inline bool holdsExactly(const ArrayFacts& a, std::uint64_t n) {
  if (a.rows == 0 || a.columns == 0)
    return n == 0;
  return n % a.columns == 0 && a.rows == n / a.columns;
}

// rows x columns, or the largest count for absurd sizes.
inline std::uint64_t elementCount(const ArrayFacts& a) {
  if (a.columns != 0 && a.rows > UINT64_MAX / a.columns)
    return UINT64_MAX;
  return a.rows * a.columns;
}

inline CallFault patternFault(PatternFault fault) {
  switch (fault) {
    case PatternFault::kNone:
      break;
    case PatternFault::kDecreasingColumnStarts:
      return CallFault::kDecreasingColumnStarts;
    case PatternFault::kTooFewRowIndices:
      return CallFault::kTooFewRowIndices;
    case PatternFault::kRowIndexOutOfRange:
      return CallFault::kRowIndexOutOfRange;
  }
  return CallFault::kNone;
}

}  // namespace call_detail

// Checks a call in the contract's order and stops at the first fault. The pattern's data is
// only asked for (readPattern(), returning the Pattern of inputs 3 and 4) once both are
// known to be uint32 arrays with np + 1 column starts, so an entry point never touches data
// that a call does not entitle it to.
template <typename ReadPattern>
CheckedCall checkCall(const CallFacts& call, ReadPattern&& readPattern) {
  using namespace call_detail;
  CheckedCall checked;
  const auto fail = [&checked](CallFault fault) {
    checked.fault = fault;
    return checked;
  };
  if (call.inputs < 4)
    return fail(CallFault::kTooFewInputs);
  if (call.outputs > 1)
    return fail(CallFault::kTooManyOutputs);
  const ArrayFacts &magnitude = call.input[0], &phase = call.input[1];
  const ArrayFacts &ir = call.input[2], &jc = call.input[3];
  if (isEmpty(magnitude) || phase.rows != magnitude.rows || phase.columns != magnitude.columns)
    return fail(CallFault::kImageSizesDiffer);
  // Dividing avoids overflowing the product for absurd host sizes.
  if (magnitude.rows > static_cast<std::uint64_t>(kMaxPixels) / magnitude.columns)
    return fail(CallFault::kTooManyPixels);
  if (!isRealFullMatrix(magnitude) || !isRealFullMatrix(phase))
    return fail(CallFault::kImagesNotRealDouble);
  if (ir.elements != ElementClass::kUint32 || jc.elements != ElementClass::kUint32)
    return fail(CallFault::kIndexPairNotUint32);
  checked.grid = makePixelGrid(static_cast<std::int64_t>(magnitude.rows),
                               static_cast<std::int64_t>(magnitude.columns));
  if (!holdsExactly(jc, static_cast<std::uint64_t>(checked.grid.np) + 1))
    return fail(CallFault::kWrongIndexRepresentation);
  checked.pattern = readPattern();
  const CallFault fault = patternFault(
      checkPattern(checked.grid, checked.pattern, static_cast<std::size_t>(elementCount(ir))));
  if (fault != CallFault::kNone)
    return fail(fault);
  // Sigma: absent, empty (the default), or one real number of any numeric or logical class.
  if (call.inputs >= 5 && !isEmpty(call.input[4])) {
    const ArrayFacts& sigma = call.input[4];
    const bool number = sigma.elements != ElementClass::kOther && !sigma.complex && !sigma.sparse;
    if (!number || !holdsExactly(sigma, 1))
      return fail(CallFault::kSigmaNotRealScalar);
    checked.hasSigma = true;
  }
  return checked;
}

}  // namespace quorvane
