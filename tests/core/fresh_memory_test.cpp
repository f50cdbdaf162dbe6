// Fresh arrays for hosts: huge-page advice only for calls in a loop, and no allocation for
// counts whose size overflows.
#include "fresh_memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <thread>

TEST(FreshMemory, HugePagesOnlyForCallsSoonAfterTheLastOneEnded) {
  quorvane::HugePageAdvice advice(1000);
  EXPECT_FALSE(advice.forThisCall());  // a process's first call
  advice.callEnded();
  EXPECT_TRUE(advice.forThisCall());  // the next call of a loop
  EXPECT_TRUE(advice.forThisCall());  // asking twice changes nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_FALSE(advice.forThisCall());  // a call on its own, later
  advice.callEnded();
  EXPECT_TRUE(advice.forThisCall());
}

TEST(FreshMemory, AllocatesAdvisedOrNotAndRefusesOverflowingCounts) {
  for (bool advise : {false, true}) {
    auto* data = quorvane::allocateFresh<double>(std::size_t{1} << 20, advise);
    ASSERT_NE(data, nullptr);
    data[0] = data[(std::size_t{1} << 20) - 1] = 1.0;
    ::operator delete(data);
  }
  EXPECT_EQ(quorvane::allocateFresh<double>(SIZE_MAX / 4), nullptr);
}
