#pragma once

// Sums and order statistics computed the way numpy computes them, so that the compiled
// segmentation gives the very bits of its numpy road: a sum's rounding depends on the order
// of its additions, a quantile's on the formula that interpolates it.

#include <cstdint>
#include <functional>
#include <vector>

namespace quorvane::segment {

// numpy's pairwise sum of n contiguous values (what ndarray.sum does along a contiguous
// axis): below 8 values one after the other, up to 128 in eight interleaved partial sums,
// beyond that the two halves (split at a multiple of 8) summed apart.
double pairwiseSum(const double* values, std::int64_t n);

// np.quantile(values, q) with its default ("linear") method, for 0 <= q <= 1, of at least
// one finite value.
double linearQuantile(const std::vector<double>& values, double q);

// np.median(values): the middle value, or the mean of the two middle ones, of at least one
// finite value.
double median(const std::vector<double>& values);

// Values held in shares (by processes that measure a picture in bands of rows): each holder
// calls the same selections in the same order with its own share, and addUp sums a vector of
// counts element by element over the holders, in place (a lone holder's leaves it).
using AddCounts = std::function<void(std::vector<std::int64_t>& counts)>;

// A holder's values: spans of finite values, each taken as it is or as its magnitude |v|.
struct ValueSpan {
  const double* values;
  std::int64_t count;
  bool magnitude = false;
};

// linearQuantile and median of the values of all the holders' shares together (at least one
// value in all): the very bits of those of the values in one vector, for any split of them.
// Throws std::invalid_argument when addUp's counts cannot be those of the values.
double linearQuantile(const std::vector<ValueSpan>& share, double q, const AddCounts& addUp);
double median(const std::vector<ValueSpan>& share, const AddCounts& addUp);

}  // namespace quorvane::segment
