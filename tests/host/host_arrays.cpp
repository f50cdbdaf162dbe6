#include "host_arrays.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace testhost {

std::unique_ptr<HostArray> zeroArray(ClassId classId, std::uint64_t rows, std::uint64_t cols) {
  auto a = sizeOnlyArray(classId, rows, cols);
  if (rows * cols <= (std::uint64_t{1} << 20))
    a->data.assign(rows * cols * elementBytes(classId), 0);
  return a;
}

double getDouble(const HostArray& a, std::size_t k) {
  double value;
  std::memcpy(&value, a.data.data() + k * sizeof value, sizeof value);
  return value;
}
void setDouble(HostArray& a, std::size_t k, double value) {
  std::memcpy(a.data.data() + k * sizeof value, &value, sizeof value);
}
std::uint32_t getU32(const HostArray& a, std::size_t k) {
  std::uint32_t value;
  std::memcpy(&value, a.data.data() + k * sizeof value, sizeof value);
  return value;
}
void setU32(HostArray& a, std::size_t k, std::uint32_t value) {
  std::memcpy(a.data.data() + k * sizeof value, &value, sizeof value);
}

namespace {

template <typename T>
double readAs(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<double>(value);
}

double readLogical(const unsigned char* at) {
  return *at != 0 ? 1.0 : 0.0;
}

// How an element of each class reads as double, in the order of ClassId; char elements are
// UTF-16 code units, a cell has none.
using Reader = double (*)(const unsigned char*);
constexpr Reader kReaders[] = {
    readAs<double>,        readAs<float>,        readAs<std::uint32_t>, readAs<std::int32_t>,
    readAs<std::uint8_t>,  readLogical,          readAs<std::uint16_t>, nullptr,
    readAs<std::int8_t>,   readAs<std::int16_t>, readAs<std::uint16_t>, readAs<std::int64_t>,
    readAs<std::uint64_t>,
};
static_assert(sizeof kReaders / sizeof kReaders[0] ==
                  static_cast<std::size_t>(ClassId::kUint64) + 1,
              "one reader for each class");

}  // namespace

double asDouble(const HostArray& a, std::size_t k) {
  const auto index = static_cast<std::size_t>(a.classId);
  const Reader read = index < sizeof kReaders / sizeof kReaders[0] ? kReaders[index] : nullptr;
  if (read == nullptr)
    throw std::logic_error("no double value for this class");
  return read(a.data.data() + k * elementBytes(a.classId));
}

void makeSparse(HostArray& a) {
  if (a.classId != ClassId::kDouble || a.complex || a.sparse || a.data.empty())
    return;
  std::vector<double> dense(elementCount(a));
  for (std::size_t k = 0; k < dense.size(); ++k)
    dense[k] = getDouble(a, k);
  a.sparse = true;
  a.data.clear();
  a.ir.clear();
  a.jc.assign(1, 0);
  for (std::uint64_t c = 0; c < a.cols; ++c) {
    for (std::uint64_t r = 0; r < a.rows; ++r) {
      const double v = dense[r + c * a.rows];
      if (v != 0.0) {
        a.data.resize(a.data.size() + sizeof v);
        std::memcpy(a.data.data() + a.data.size() - sizeof v, &v, sizeof v);
        a.ir.push_back(static_cast<mwIndex>(r));
      }
    }
    a.jc.push_back(static_cast<mwIndex>(a.ir.size()));
  }
}

}  // namespace testhost
