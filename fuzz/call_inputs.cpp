#include "call_inputs.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "host_arrays.h"

namespace callfuzz {

using testhost::ClassId;
using testhost::elementBytes;
using testhost::elementCount;
using testhost::holdsNoData;
using testhost::setDouble;
using testhost::setU32;
using testhost::zeroArray;

void shapeFor(FuzzInput& in, std::uint64_t n, std::uint64_t& rows, std::uint64_t& cols) {
  rows = n;
  cols = 1;
  switch (in.inRange(0, 3)) {
    case 1:
      std::swap(rows, cols);
      break;
    case 2:
      for (std::uint64_t f = 2; f * f <= n; ++f) {
        if (n % f == 0) {
          rows = f;
          cols = n / f;
          break;
        }
      }
      break;
    default:
      break;
  }
}

void changeClass(FuzzInput& in, HostArray& a) {
  static const std::vector<ClassId> classes{ClassId::kDouble, ClassId::kSingle, ClassId::kUint32,
                                            ClassId::kInt32,  ClassId::kUint8,  ClassId::kLogical,
                                            ClassId::kChar,   ClassId::kCell};
  const ClassId to = in.pick(classes);
  if (!a.data.empty())
    a.data.assign(elementCount(a) * elementBytes(to), in.byte() & 1);
  a.classId = to;
  a.complex = false;
  a.sparse = false;
}

void makeComplex(FuzzInput& in, HostArray& a) {
  if (a.classId == ClassId::kChar || a.classId == ClassId::kCell ||
      a.classId == ClassId::kLogical || a.sparse)
    return;
  a.complex = true;
  if (!a.data.empty() && a.classId == ClassId::kDouble)
    a.imag.assign(elementCount(a), in.awkwardDouble());
}

namespace {

// Sizes up to 2^40 a side; the host claims them and holds no data.
std::unique_ptr<HostArray> hugeArray(FuzzInput& in, ClassId classId) {
  static const std::vector<std::uint64_t> sides{
      0, 1, 3, 65536, 32768, 46341, 2147483647u, 2147483648u, std::uint64_t{1} << 40};
  const std::uint64_t rows = in.pick(sides);
  std::uint64_t cols = in.pick(sides) >> in.inRange(0, 8);
  if (static_cast<unsigned __int128>(rows) * cols > (std::uint64_t{1} << 62))
    cols = 1;  // no host holds more than 2^63 elements
  return zeroArray(classId, rows, cols);
}

void fillAnyElements(FuzzInput& in, HostArray& a) {
  const ClassId classId = a.classId;
  for (std::size_t k = 0; k < elementCount(a); ++k) {
    switch (classId) {
      case ClassId::kDouble:
        setDouble(a, k, in.awkwardDouble());
        break;
      case ClassId::kUint32:
        setU32(a, k, in.chance(220) ? in.inRange(0, 12) : in.u32());
        break;
      case ClassId::kLogical:
        a.data[k] = in.byte() & 1;
        break;
      default:
        for (std::size_t b = 0; b < elementBytes(classId); ++b)
          a.data[k * elementBytes(classId) + b] = in.byte();
        break;
    }
  }
}

}  // namespace

std::unique_ptr<HostArray> anyArray(FuzzInput& in) {
  // (The 8-, 16- and 64-bit integer classes come in through retypeImage(), which leaves the
  // decoding of older inputs as it was.)
  static const std::vector<ClassId> classes{
      ClassId::kDouble, ClassId::kDouble, ClassId::kUint32,  ClassId::kUint32, ClassId::kSingle,
      ClassId::kInt32,  ClassId::kUint8,  ClassId::kLogical, ClassId::kChar,   ClassId::kCell};
  const ClassId classId = in.pick(classes);
  if (in.chance(8))
    return hugeArray(in, classId);
  auto a = zeroArray(classId, in.inRange(0, 5), in.inRange(0, 5));
  fillAnyElements(in, *a);
  if (in.chance(20))
    makeComplex(in, *a);
  else if (in.chance(20))
    testhost::makeSparse(*a);
  return a;
}

std::unique_ptr<HostArray> anySigma(FuzzInput& in) {
  const double value = in.awkwardDouble();
  switch (in.inRange(0, 9)) {
    case 0:
      return zeroArray(ClassId::kDouble, 0, in.inRange(0, 1));
    case 1:
      return zeroArray(in.chance(128) ? ClassId::kUint32 : ClassId::kChar, 0, 0);
    case 2: {
      auto a = zeroArray(ClassId::kSingle, 1, 1);
      const float f = static_cast<float>(in.inRange(0, 1000)) / 8.0f;
      std::memcpy(a->data.data(), &f, sizeof f);
      return a;
    }
    case 3: {
      auto a = zeroArray(in.chance(128) ? ClassId::kUint32 : ClassId::kInt32, 1, 1);
      setU32(*a, 0, in.u32());
      return a;
    }
    case 4: {
      auto a = zeroArray(in.chance(128) ? ClassId::kUint8 : ClassId::kLogical, 1, 1);
      a->data[0] = in.byte() & (a->classId == ClassId::kLogical ? 1 : 0xff);
      return a;
    }
    case 5: {
      auto a = zeroArray(ClassId::kChar, 1, in.inRange(1, 3));
      a->data[0] = in.byte();
      return a;
    }
    case 6: {
      auto a = testhost::doubleArray(1, 1, {value});
      if (in.chance(128))
        makeComplex(in, *a);
      else
        testhost::makeSparse(*a);
      return a;
    }
    case 7: {
      auto a = zeroArray(ClassId::kDouble, 2, 2);
      for (std::size_t k = 0; k < 4; ++k)
        setDouble(*a, k, in.awkwardDouble());
      return a;
    }
    case 8:
      return zeroArray(ClassId::kCell, in.inRange(0, 1), 1);
    default:
      return testhost::doubleArray(1, 1, {value});
  }
}

void retypeImage(FuzzInput& in, std::unique_ptr<HostArray>& image) {
  if (image->classId != ClassId::kDouble || image->complex || image->sparse || holdsNoData(*image))
    return;
  static const std::vector<ClassId> classes{
      ClassId::kSingle, ClassId::kInt8,   ClassId::kUint8, ClassId::kInt16,  ClassId::kUint16,
      ClassId::kInt32,  ClassId::kUint32, ClassId::kInt64, ClassId::kUint64, ClassId::kLogical};
  const ClassId classId = in.pick(classes);
  const std::uint64_t n = elementCount(*image);
  auto other = zeroArray(classId, image->rows, image->cols);
  other->dimensions = image->dimensions;
  const std::size_t bytes = elementBytes(classId);
  for (std::size_t p = 0; p < n; ++p) {
    unsigned char* at = other->data.data() + p * bytes;
    if (classId == ClassId::kLogical) {
      *at = in.chance(16) ? in.byte() : in.byte() & 1;
    } else if (in.chance(64)) {
      for (std::size_t b = 0; b < bytes; ++b)
        at[b] = in.byte();
    } else if (classId == ClassId::kSingle) {
      const float value = static_cast<float>(in.inRange(0, 40)) / 4.0f - 2.0f;
      std::memcpy(at, &value, sizeof value);
    } else {
      at[0] = in.byte() & 7;  // little-endian: the low byte
    }
  }
  image = std::move(other);
}

}  // namespace callfuzz
