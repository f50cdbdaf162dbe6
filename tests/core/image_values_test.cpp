#include "image_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using quorvane::ElementClass;

template <typename T>
std::vector<std::uint64_t> bitsRead(ElementClass elements, const std::vector<T>& in) {
  std::vector<double> out(in.size() + 1, 42.0);  // the element after them stays untouched
  quorvane::readAsDoubles(elements, in.data(), in.size(), out.data());
  std::vector<std::uint64_t> bits(out.size());
  std::memcpy(bits.data(), out.data(), out.size() * sizeof(double));
  return bits;
}

std::vector<std::uint64_t> bitsOf(std::vector<double> values) {
  values.push_back(42.0);
  std::vector<std::uint64_t> bits(values.size());
  std::memcpy(bits.data(), values.data(), values.size() * sizeof(double));
  return bits;
}

// The doubles double(x) gives, written out: the extremes of each class, 64-bit integers
// beyond 2^53 rounded to the nearest double with ties to even, single's -0, subnormals,
// infinities and NaN kept, logical bytes other than 1 read as true.
TEST(ReadAsDoubles, GivesTheValuesOfDoubleOfEveryClass) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(bitsRead<double>(ElementClass::kDouble, {-0.0, 0.1, -inf}), bitsOf({-0.0, 0.1, -inf}));
  EXPECT_EQ(bitsRead<float>(ElementClass::kSingle, {0.1f, -0.0f, 1e-45f, 3.4028235e38f,
                                                    -std::numeric_limits<float>::infinity()}),
            bitsOf({0.100000001490116119384765625, -0.0, 0x1p-149, 0x1.fffffep127, -inf}));
  EXPECT_EQ(bitsRead<std::int8_t>(ElementClass::kInt8, {-128, -1, 127}), bitsOf({-128, -1, 127}));
  EXPECT_EQ(bitsRead<std::uint8_t>(ElementClass::kUint8, {255, 0}), bitsOf({255, 0}));
  EXPECT_EQ(bitsRead<std::int16_t>(ElementClass::kInt16, {-32768, 32767}), bitsOf({-32768, 32767}));
  EXPECT_EQ(bitsRead<std::uint16_t>(ElementClass::kUint16, {65535}), bitsOf({65535}));
  EXPECT_EQ(bitsRead<std::int32_t>(ElementClass::kInt32, {-2147483647 - 1, 2147483647}),
            bitsOf({-2147483648.0, 2147483647.0}));
  EXPECT_EQ(bitsRead<std::uint32_t>(ElementClass::kUint32, {4294967295u}), bitsOf({4294967295.0}));
  EXPECT_EQ(bitsRead<std::int64_t>(ElementClass::kInt64,
                                   {9007199254740993, 9007199254740995, -9007199254740993,
                                    std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max(), 0}),
            bitsOf({9007199254740992.0, 9007199254740996.0, -9007199254740992.0,
                    -9223372036854775808.0, 9223372036854775808.0, 0.0}));
  EXPECT_EQ(bitsRead<std::uint64_t>(ElementClass::kUint64,
                                    {18446744073709551615u, 9007199254740993u,
                                     18446744073709549568u, 18446744073709550593u}),
            bitsOf({18446744073709551616.0, 9007199254740992.0, 18446744073709549568.0,
                    18446744073709551616.0}));
  EXPECT_EQ(bitsRead<std::uint8_t>(ElementClass::kLogical, {1, 0, 2, 255}), bitsOf({1, 0, 1, 1}));
  // kOther holds nothing to read: nothing is written.
  EXPECT_EQ(bitsRead<std::uint8_t>(ElementClass::kOther, {7}), bitsOf({42.0}));
}

TEST(ReadAsDoubles, KeepsNaNAndOnlyDoublesAreReadInPlace) {
  double out = 0;
  const float nan = std::nanf("");
  quorvane::readAsDoubles(ElementClass::kSingle, &nan, 1, &out);
  EXPECT_TRUE(std::isnan(out));
  EXPECT_TRUE(quorvane::readInPlace(ElementClass::kDouble));
  for (ElementClass other :
       {ElementClass::kSingle, ElementClass::kUint32, ElementClass::kInt64, ElementClass::kLogical})
    EXPECT_FALSE(quorvane::readInPlace(other));
}

}  // namespace
