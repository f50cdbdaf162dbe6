#include "array_reductions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>

namespace quorvane::segment {
namespace {

// A key of each finite double that orders as the doubles do (-0 just below +0, which does not
// change the values selected).
std::uint64_t orderedKey(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The k-th smallest value, and when `next` is given the (k + 1)-th. Values are bucketed by
// their keys' top 16 bits first, and only the buckets holding those ranks are searched, so a
// selection in a million values reads them twice and sorts a few percent of them.
double kth(const std::vector<double>& values, std::int64_t k, double* next = nullptr) {
  constexpr int kShift = 48;
  std::vector<std::int64_t> counts(std::size_t{1} << (64 - kShift), 0);
  for (const double v : values)
    ++counts[orderedKey(v) >> kShift];
  const std::int64_t last = next != nullptr ? k + 1 : k;
  std::size_t first = 0, end = 0;  // the buckets of ranks k and last: first ... end - 1
  std::int64_t below = 0;          // values in the buckets before first
  for (std::int64_t seen = 0; end < counts.size(); ++end) {
    if (seen + counts[end] <= k) {
      first = end + 1;
      below = seen + counts[end];
    }
    seen += counts[end];
    if (seen > last) {
      ++end;
      break;
    }
  }
  std::vector<double> candidates;
  candidates.reserve(static_cast<std::size_t>(
      std::accumulate(counts.begin() + first, counts.begin() + end, std::int64_t{0})));
  for (const double v : values) {
    const std::size_t bucket = orderedKey(v) >> kShift;
    if (bucket >= first && bucket < end)
      candidates.push_back(v);
  }
  const auto at = candidates.begin() + (k - below);
  std::nth_element(candidates.begin(), at, candidates.end());
  if (next != nullptr)
    *next = *std::min_element(at + 1, candidates.end());
  return *at;
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

double linearQuantile(const std::vector<double>& values, double q) {
  const auto n = static_cast<std::int64_t>(values.size());
  const double index = static_cast<double>(n - 1) * q;
  if (index >= static_cast<double>(n - 1))
    return kth(values, n - 1);
  const double below = std::floor(index);
  const double gamma = index - below;
  double b = 0.0;
  const double a = kth(values, static_cast<std::int64_t>(below), &b);
  // numpy's lerp: from the nearer end, so that gamma 1 gives b exactly.
  const double difference = b - a;
  return gamma >= 0.5 ? b - difference * (1.0 - gamma) : a + difference * gamma;
}

double median(const std::vector<double>& values) {
  const auto n = static_cast<std::int64_t>(values.size());
  if (n % 2 == 1)
    return kth(values, n / 2);
  double b = 0.0;
  const double a = kth(values, n / 2 - 1, &b);
  return (a + b) / 2.0;
}

}  // namespace quorvane::segment
