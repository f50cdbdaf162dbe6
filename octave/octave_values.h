#pragma once

// What the native Octave functions need of Octave's values and arrays.

#include <octave/oct.h>

#include <cstdint>
#include <memory>

#include "call_check.h"

namespace quorvane::native {

// An input as the call checks see it, reported the way the MEX interface reports it: the
// dimensions after the first folded into the columns.
inline ArrayFacts factsOf(const octave_value& value) {
  ArrayFacts facts;
  if (value.is_double_type())
    facts.elements = ElementClass::kDouble;
  else if (value.is_single_type())
    facts.elements = ElementClass::kSingle;
  else if (value.is_int8_type())
    facts.elements = ElementClass::kInt8;
  else if (value.is_uint8_type())
    facts.elements = ElementClass::kUint8;
  else if (value.is_int16_type())
    facts.elements = ElementClass::kInt16;
  else if (value.is_uint16_type())
    facts.elements = ElementClass::kUint16;
  else if (value.is_int32_type())
    facts.elements = ElementClass::kInt32;
  else if (value.is_uint32_type())
    facts.elements = ElementClass::kUint32;
  else if (value.is_int64_type())
    facts.elements = ElementClass::kInt64;
  else if (value.is_uint64_type())
    facts.elements = ElementClass::kUint64;
  else if (value.islogical())
    facts.elements = ElementClass::kLogical;
  facts.complex = value.iscomplex();
  facts.sparse = value.issparse();
  const dim_vector dims = value.dims();
  facts.rows = static_cast<std::uint64_t>(dims(0));
  facts.columns = static_cast<std::uint64_t>(dims.numel(1));
  facts.dimensions = static_cast<std::uint64_t>(dims.ndims());
  return facts;
}

// The elements of a uint32 array as plain integers (octave_uint32 holds just one).
inline const std::uint32_t* uint32Data(const uint32NDArray& array) {
  static_assert(sizeof(octave_uint32) == sizeof(std::uint32_t));
  return reinterpret_cast<const std::uint32_t*>(array.data());
}

// Memory from allocateFresh, owned here until an Octave array adopts it (Octave frees the
// arrays it adopts with operator delete).
struct OperatorDelete {
  void operator()(void* data) const { ::operator delete(data); }
};
template <typename T>
using FreshArray = std::unique_ptr<T, OperatorDelete>;

}  // namespace quorvane::native
