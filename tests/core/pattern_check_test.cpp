#include "pattern_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using quorvane::checkPattern;
using quorvane::PatternFault;

PatternFault check(int nr, int nc, const std::vector<std::uint32_t>& ir,
                   const std::vector<std::uint32_t>& jc) {
  return checkPattern(quorvane::PixelGrid{nr, nc, nr * nc}, {ir.data(), jc.data()}, ir.size());
}

TEST(CheckPattern, AcceptsValidPatternsWhateverTheUnreadEntriesHold) {
  EXPECT_EQ(check(1, 3, {0, 1, 2, 0, 1, 2, 0, 1, 2}, {0, 3, 6, 9}), PatternFault::kNone);
  EXPECT_EQ(check(2, 1, {99, 99, 1, 0, 99}, {2, 3, 4}), PatternFault::kNone);
  EXPECT_EQ(check(2, 2, {}, {0, 0, 0, 0, 0}), PatternFault::kNone);
  EXPECT_EQ(check(2, 2, {}, {7, 7, 7, 7, 7}), PatternFault::kTooFewRowIndices);
}

TEST(CheckPattern, ReportsTheFirstFaultInCheckingOrder) {
  // Decreasing starts win over everything else.
  EXPECT_EQ(check(1, 2, {5}, {0, 2, 1}), PatternFault::kDecreasingColumnStarts);
  EXPECT_EQ(check(1, 2, {0, 1}, {1, 0, 2}), PatternFault::kDecreasingColumnStarts);
  EXPECT_EQ(check(1, 2, {0, 5}, {0, 1, 3}), PatternFault::kTooFewRowIndices);
  EXPECT_EQ(check(1, 2, {0, 2}, {0, 1, 2}), PatternFault::kRowIndexOutOfRange);
  EXPECT_EQ(check(1, 2, {0, 4294967295u}, {0, 1, 2}), PatternFault::kRowIndexOutOfRange);
  EXPECT_EQ(check(1, 2, {0, 1}, {0, 4294967295u, 4294967295u}), PatternFault::kTooFewRowIndices);
}

}  // namespace
