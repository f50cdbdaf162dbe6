#pragma once

// The element class of a host array as the core's checks name it (call_check.h), for the
// MEX entry points.

#include "call_check.h"
#include "mex.h"

namespace quorvane::mex {

inline ElementClass elementClassOf(const mxArray* array) {
  switch (mxGetClassID(array)) {
    case mxDOUBLE_CLASS:
      return ElementClass::kDouble;
    case mxSINGLE_CLASS:
      return ElementClass::kSingle;
    case mxINT8_CLASS:
      return ElementClass::kInt8;
    case mxUINT8_CLASS:
      return ElementClass::kUint8;
    case mxINT16_CLASS:
      return ElementClass::kInt16;
    case mxUINT16_CLASS:
      return ElementClass::kUint16;
    case mxINT32_CLASS:
      return ElementClass::kInt32;
    case mxUINT32_CLASS:
      return ElementClass::kUint32;
    case mxINT64_CLASS:
      return ElementClass::kInt64;
    case mxUINT64_CLASS:
      return ElementClass::kUint64;
    case mxLOGICAL_CLASS:
      return ElementClass::kLogical;
    default:
      return ElementClass::kOther;
  }
}

}  // namespace quorvane::mex
