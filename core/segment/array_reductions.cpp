#include "array_reductions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <stdexcept>

namespace quorvane::segment {
namespace {

// A key of each finite double that orders as the doubles do, -0 just below +0 (a selection
// may give either zero where numpy's gives the other: the same value).
std::uint64_t orderedKey(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

double valueOf(std::uint64_t key) {
  const std::uint64_t bits = (key >> 63) != 0 ? key ^ (std::uint64_t{1} << 63) : ~key;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Keys are selected 16 bits at a time, from the top: a selection in a million values reads
// them twice and then only the few percent that share the top digit of the rank sought.
constexpr int kDigitBits = 16;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;

template <typename Visit>
void forEachKey(const std::vector<ValueSpan>& share, const Visit& visit) {
  for (const ValueSpan& span : share) {
    for (std::int64_t i = 0; i < span.count; ++i)
      visit(orderedKey(span.magnitude ? std::fabs(span.values[i]) : span.values[i]));
  }
}

// The digit whose counts (summed over the holders) hold rank k; k becomes the rank in it.
// Counts that do not hold it (an exchange that does not sum them) throw std::invalid_argument.
std::uint64_t digitOf(const std::vector<std::int64_t>& counts, std::int64_t& k) {
  std::uint64_t digit = 0;
  while (digit < counts.size() && k >= counts[digit])
    k -= counts[digit++];
  if (digit == counts.size() || k < 0)
    throw std::invalid_argument(
        "the values' counts summed over their holders do not hold the rank");
  return digit;
}

// The key of rank k (within them) among the keys of the holders' candidates, which share
// their top digit `top`: digit by digit below it, every holder counting its own. A holder may
// have none left; the key is the digits the counts chose.
std::uint64_t keyOfRank(std::vector<std::uint64_t> candidates, std::uint64_t top, std::int64_t k,
                        const AddCounts& addUp) {
  std::uint64_t key = top << (64 - kDigitBits);
  std::vector<std::int64_t> counts(kDigits);
  for (int shift = 64 - 2 * kDigitBits; shift >= 0; shift -= kDigitBits) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const std::uint64_t c : candidates)
      ++counts[(c >> shift) & (kDigits - 1)];
    addUp(counts);
    const std::uint64_t digit = digitOf(counts, k);
    key |= digit << shift;
    candidates.erase(
        std::remove_if(candidates.begin(), candidates.end(),
                       [&](std::uint64_t c) { return ((c >> shift) & (kDigits - 1)) != digit; }),
        candidates.end());
  }
  return key;
}

// The shared values' counts by their keys' top digits, summed over the holders.
std::vector<std::int64_t> topDigits(const std::vector<ValueSpan>& share, const AddCounts& addUp) {
  std::vector<std::int64_t> counts(kDigits, 0);
  forEachKey(share, [&](std::uint64_t key) { ++counts[key >> (64 - kDigitBits)]; });
  addUp(counts);
  return counts;
}

// The values of ranks k and, when `next` is given, k + 1 among the shared values, whose top
// digits' counts are `top`.
double kth(const std::vector<ValueSpan>& share, const std::vector<std::int64_t>& top,
           std::int64_t k, const AddCounts& addUp, double* next = nullptr) {
  std::int64_t rank = k, nextRank = k + 1;
  const std::uint64_t digit = digitOf(top, rank);
  const std::uint64_t nextDigit = next != nullptr ? digitOf(top, nextRank) : digit;
  std::vector<std::uint64_t> candidates, nextCandidates;
  forEachKey(share, [&](std::uint64_t key) {
    const std::uint64_t d = key >> (64 - kDigitBits);
    if (d == digit)
      candidates.push_back(key);
    else if (d == nextDigit)
      nextCandidates.push_back(key);
  });
  if (next != nullptr) {
    *next = digit == nextDigit
                ? valueOf(keyOfRank(candidates, digit, rank + 1, addUp))
                : valueOf(keyOfRank(std::move(nextCandidates), nextDigit, nextRank, addUp));
  }
  return valueOf(keyOfRank(std::move(candidates), digit, rank, addUp));
}

std::int64_t countOf(const std::vector<std::int64_t>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::int64_t{0});
}

void alone(std::vector<std::int64_t>&) {}

std::vector<ValueSpan> wholeOf(const std::vector<double>& values) {
  return {ValueSpan{values.data(), static_cast<std::int64_t>(values.size())}};
}

}  // namespace

double pairwiseSum(const double* values, std::int64_t n) {
  if (n < 8) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i)
      sum += values[i];
    return sum;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j)
      r[j] = values[j];
    std::int64_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (int j = 0; j < 8; ++j)
        r[j] += values[i + j];
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i)
      sum += values[i];
    return sum;
  }
  std::int64_t half = n / 2;
  half -= half % 8;
  return pairwiseSum(values, half) + pairwiseSum(values + half, n - half);
}

double linearQuantile(const std::vector<ValueSpan>& share, double q, const AddCounts& addUp) {
  const std::vector<std::int64_t> top = topDigits(share, addUp);
  const std::int64_t n = countOf(top);
  const double index = static_cast<double>(n - 1) * q;
  if (index >= static_cast<double>(n - 1))
    return kth(share, top, n - 1, addUp);
  const double below = std::floor(index);
  const double gamma = index - below;
  double b = 0.0;
  const double a = kth(share, top, static_cast<std::int64_t>(below), addUp, &b);
  // numpy's lerp: from the nearer end, so that gamma 1 gives b exactly.
  const double difference = b - a;
  return gamma >= 0.5 ? b - difference * (1.0 - gamma) : a + difference * gamma;
}

double median(const std::vector<ValueSpan>& share, const AddCounts& addUp) {
  const std::vector<std::int64_t> top = topDigits(share, addUp);
  const std::int64_t n = countOf(top);
  if (n % 2 == 1)
    return kth(share, top, n / 2, addUp);
  double b = 0.0;
  const double a = kth(share, top, n / 2 - 1, addUp, &b);
  return (a + b) / 2.0;
}

double linearQuantile(const std::vector<double>& values, double q) {
  return linearQuantile(wholeOf(values), q, alone);
}

double median(const std::vector<double>& values) {
  return median(wholeOf(values), alone);
}

}  // namespace quorvane::segment
