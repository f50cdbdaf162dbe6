// Making, reading and reshaping the stand-in host's arrays element by element, for tests and
// fuzzers that build calls by hand and check what came back. Elements are read and written
// through memcpy, as the host stores them: packed bytes of the array's class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "test_host.h"

namespace testhost {

inline std::uint64_t elementCount(const HostArray& a) {
  return a.rows * a.cols;
}

// A size-only array (see sizeOnlyArray) that claims a size and holds no data: huge ones
// the tests can never allocate, but small ones too when a test builds its data later.
inline bool holdsNoData(const HostArray& a) {
  return a.data.empty() && elementCount(a) != 0;
}

// An array of the class and size with zeroed data; one of more than 2^20 elements only
// claims its size.
std::unique_ptr<HostArray> zeroArray(ClassId classId, std::uint64_t rows, std::uint64_t cols);

// Element k of a double array (or of a sparse one's stored values), and of a uint32 array.
double getDouble(const HostArray& a, std::size_t k);
void setDouble(HostArray& a, std::size_t k, double value);
std::uint32_t getU32(const HostArray& a, std::size_t k);
void setU32(HostArray& a, std::size_t k, std::uint32_t value);

// Element k of a real, full array of a numeric, logical or char class, as double(x) gives
// it. Throws std::logic_error for a class that holds no elements.
double asDouble(const HostArray& a, std::size_t k);

// Stores a real, full double array with data in the host's sparse form: the values of its
// non-zeros (NaN included, -0.0 not), their rows and the column starts. Leaves any other
// array as it is.
void makeSparse(HostArray& a);

}  // namespace testhost
