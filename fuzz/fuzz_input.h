// Decodes a fuzzer's byte string into choices. Every read succeeds: past the end it yields
// zeros, so any input, also an empty one, describes a complete case, and a short input
// describes the simplest one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace fuzzing {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int n = 0; n < 4; ++n)
      value = (value << 8) | byte();
    return value;
  }

  std::uint64_t u64() { return (static_cast<std::uint64_t>(u32()) << 32) | u32(); }

  // A value in [low, high]; a zero byte gives low.
  std::uint32_t inRange(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t span = static_cast<std::uint64_t>(high) - low + 1;
    const std::uint64_t raw = span <= 256 ? byte() : u32();
    return low + static_cast<std::uint32_t>(raw % span);
  }

  // True with probability about numerator / 256.
  bool chance(unsigned numerator) { return byte() < numerator; }

  template <typename T>
  const T& pick(const std::vector<T>& pool) {
    return pool[inRange(0, static_cast<std::uint32_t>(pool.size() - 1))];
  }

  // Any bit pattern: every NaN payload, subnormals, both zeros, both infinities.
  double rawDouble() {
    const std::uint64_t bits = u64();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  // Mostly the values that decide comparisons (ties, both zeros, NaN, infinities, negatives),
  // sometimes any bit pattern.
  double awkwardDouble() {
    static const std::vector<double> pool{0.0,
                                          -0.0,
                                          1.0,
                                          2.0,
                                          0.5,
                                          -3.0,
                                          4.0,
                                          std::numeric_limits<double>::quiet_NaN(),
                                          -std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::max(),
                                          std::numeric_limits<double>::denorm_min(),
                                          1e-300,
                                          7.25};
    return chance(40) ? rawDouble() : pick(pool);
  }

  // Phases: few distinct values, so that equal neighbours (no change) are common.
  double phaseValue() {
    static const std::vector<double> pool{0.0,
                                          0.0,
                                          1.0,
                                          1.0,
                                          -0.0,
                                          2.0,
                                          std::numeric_limits<double>::quiet_NaN(),
                                          -1.0,
                                          std::numeric_limits<double>::infinity()};
    return chance(20) ? rawDouble() : pick(pool);
  }

  bool exhausted() const { return position_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace fuzzing
