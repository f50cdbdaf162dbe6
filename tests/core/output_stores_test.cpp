// Streamed copies must equal plain copies for every start alignment and length: the whole
// 64-byte lines in the middle go one way, the partial lines at either end another.
#include "output_stores.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(OutputStores, StreamedCopiesMatchPlainOnesAtEveryAlignmentAndLength) {
  std::vector<double> weights(64);
  std::vector<std::uint32_t> rows(64);
  for (std::size_t k = 0; k < 64; ++k) {
    weights[k] = 0.5 + static_cast<double>(k);
    rows[k] = 0x7fffff00u + static_cast<std::uint32_t>(k);  // near 2^31: no sign extension
  }
  alignas(64) double outWeights[96];
  alignas(64) std::uint64_t out8[96];
  alignas(64) std::uint32_t out4[96];
  for (std::size_t at = 0; at < 17; ++at) {
    for (std::size_t n = 0; n <= 64; ++n) {
      SCOPED_TRACE(testing::Message() << "at " << at << ", n " << n);
      std::fill(std::begin(outWeights), std::end(outWeights), -1.0);
      std::fill(std::begin(out8), std::end(out8), 7u);
      std::fill(std::begin(out4), std::end(out4), 7u);
      quorvane::engine::streamDoubles(outWeights + at, weights.data(), n);
      quorvane::engine::streamRowIndices({out8, 8}, at, rows.data(), n);
      quorvane::engine::streamRowIndices({out4, 4}, at, rows.data(), n);
      quorvane::engine::finishStreaming();
      for (std::size_t k = 0; k < 96; ++k) {
        const bool inside = k >= at && k < at + n;
        ASSERT_EQ(outWeights[k], inside ? weights[k - at] : -1.0) << k;
        ASSERT_EQ(out8[k], inside ? rows[k - at] : 7u) << k;
        ASSERT_EQ(out4[k], inside ? rows[k - at] : 7u) << k;
      }
    }
  }
}

}  // namespace
