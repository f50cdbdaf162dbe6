#pragma once

// The elements of a magnitude or phase image of any class that the call checks accept, as
// the doubles that the computation reads: the values double(x) gives in MATLAB and Octave,
// bit for bit (exact for every class, but for 64-bit integers beyond 2^53, which round to
// the nearest double, ties to even; a single NaN stays NaN, -0 stays -0).

#include <cstddef>
#include <cstdint>

#include "call_check.h"

namespace quorvane {

// Whether an image of this class is read where it lies, without a copy.
inline bool readInPlace(ElementClass elements) {
  return elements == ElementClass::kDouble;
}

namespace image_detail {

template <typename T>
void widen(const void* data, std::size_t n, double* out) {
  const T* in = static_cast<const T*>(data);
  for (std::size_t k = 0; k < n; ++k)
    out[k] = static_cast<double>(in[k]);
}

}  // namespace image_detail

// Writes the n elements at `data`, of class `elements`, as doubles into out. A logical
// element is one byte, true when not 0 (MATLAB's bool and Octave's unsigned char alike).
// kOther holds nothing to read and writes nothing.
inline void readAsDoubles(ElementClass elements, const void* data, std::size_t n, double* out) {
  using image_detail::widen;
  switch (elements) {
    case ElementClass::kDouble:  // (read in place by the entry points; a copy here)
      widen<double>(data, n, out);
      break;
    case ElementClass::kSingle:
      widen<float>(data, n, out);
      break;
    case ElementClass::kInt8:
      widen<std::int8_t>(data, n, out);
      break;
    case ElementClass::kUint8:
      widen<std::uint8_t>(data, n, out);
      break;
    case ElementClass::kInt16:
      widen<std::int16_t>(data, n, out);
      break;
    case ElementClass::kUint16:
      widen<std::uint16_t>(data, n, out);
      break;
    case ElementClass::kInt32:
      widen<std::int32_t>(data, n, out);
      break;
    case ElementClass::kUint32:
      widen<std::uint32_t>(data, n, out);
      break;
    case ElementClass::kInt64:
      widen<std::int64_t>(data, n, out);
      break;
    case ElementClass::kUint64:
      widen<std::uint64_t>(data, n, out);
      break;
    case ElementClass::kLogical: {
      const unsigned char* in = static_cast<const unsigned char*>(data);
      for (std::size_t k = 0; k < n; ++k)
        out[k] = in[k] != 0 ? 1.0 : 0.0;
      break;
    }
    case ElementClass::kOther:
      break;
  }
}

}  // namespace quorvane
