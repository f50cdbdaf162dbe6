// Fresh arrays for hosts: huge-page advice by what the machine does with free memory, and no
// allocation for counts whose size overflows.
#include "fresh_memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

// A fake sysfs list of virtio devices: each (device id, features, bound to a driver).
fs::path virtioDevices(const std::vector<std::tuple<std::string, std::string, bool>>& devices) {
  const fs::path root =
      fs::temp_directory_path() /
      ("quorvane-virtio-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       "-" + std::to_string(devices.size()));
  fs::remove_all(root);
  fs::create_directories(root);
  int n = 0;
  for (const auto& [id, features, bound] : devices) {
    const fs::path device = root / ("virtio" + std::to_string(n++));
    fs::create_directories(device);
    std::ofstream(device / "device") << id << "\n";
    std::ofstream(device / "features") << features << "\n";
    if (bound)
      fs::create_directories(device / "driver");
  }
  return root;
}

TEST(FreshMemory, FreePageReportingIsReadFromTheBalloonsFeatures) {
  const std::string reporting = "0110010100000000000000000000000010000000";
  const std::string without = "0110000100000000000000000000000010000000";
  struct Case {
    std::vector<std::tuple<std::string, std::string, bool>> devices;
    bool active;
  };
  const Case cases[] = {
      {{{"0x0002", without, true}, {"0x0005", reporting, true}}, true},  // this kind of VM
      {{{"0x0005", without, true}}, false},                              // a balloon without it
      {{{"0x0005", reporting, false}}, false},                           // no driver bound
      {{{"0x0001", reporting, true}}, false},                            // bit 5 of another device
      {{{"0x0005", "0110", true}}, false},                               // too few features
      {{}, false},                                                       // no virtio at all
  };
  for (const Case& c : cases) {
    const fs::path root = virtioDevices(c.devices);
    EXPECT_EQ(quorvane::freePageReporting(root.string()), c.active) << root;
    fs::remove_all(root);
  }
  EXPECT_FALSE(quorvane::freePageReporting("/nonexistent/virtio/devices"));
}

TEST(FreshMemory, TheEnvironmentsChoiceComesBeforeTheMachines) {
  using quorvane::HugePages;
  EXPECT_EQ(quorvane::chosenAdvice(nullptr, true), HugePages::kWhileBacked);
  EXPECT_EQ(quorvane::chosenAdvice(nullptr, false), HugePages::kAlways);
  EXPECT_EQ(quorvane::chosenAdvice("", true), HugePages::kWhileBacked);  // set but empty
  EXPECT_EQ(quorvane::chosenAdvice("never", false), HugePages::kNever);
  EXPECT_EQ(quorvane::chosenAdvice("always", true), HugePages::kAlways);
  EXPECT_EQ(quorvane::chosenAdvice("while-backed", false), HugePages::kWhileBacked);
  EXPECT_EQ(quorvane::chosenAdvice("sometimes", false), HugePages::kAlways);
}

TEST(FreshMemory, CallsInAQuickLoopAdviseEverything) {
  using quorvane::HugePages;
  const char* choice = std::getenv("QUORVANE_HUGE_PAGES");
  if (choice != nullptr && *choice != '\0')
    GTEST_SKIP() << "QUORVANE_HUGE_PAGES chooses the advice of every call";
  quorvane::CallAdvice advice(300);
  EXPECT_EQ(advice.forThisCall(HugePages::kWhileBacked), HugePages::kWhileBacked);  // the first
  advice.callEnded();
  EXPECT_EQ(advice.forThisCall(HugePages::kWhileBacked), HugePages::kAlways);  // the next, soon
  EXPECT_EQ(advice.forThisCall(HugePages::kNever), HugePages::kAlways);  // asking changes nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(advice.forThisCall(HugePages::kWhileBacked), HugePages::kWhileBacked);  // later
}

TEST(FreshMemory, ChunksAreBackedAtThePaceOfBackedHugePages) {
  constexpr std::size_t mib = std::size_t{1} << 20;
  EXPECT_TRUE(quorvane::chunkWasBacked(8 * 0.15e-3, 8 * mib));  // a backed huge page
  EXPECT_FALSE(quorvane::chunkWasBacked(8 * 0.6e-3, 8 * mib));  // 4 KiB pages do as well
  EXPECT_FALSE(quorvane::chunkWasBacked(8 * 2.0e-3, 8 * mib));  // a block taken back
  EXPECT_TRUE(quorvane::chunkWasBacked(2 * 0.3e-3, 2 * mib));   // a shorter last chunk
}

TEST(FreshMemory, FaultsInTheBackgroundNeverTouchWhatTheCallerWrites) {
  // Two arrays of odd sizes, written from their starts while the thread faults them in.
  const std::size_t counts[] = {(std::size_t{24} << 20) / 8 + 7, (std::size_t{9} << 20) / 8 + 3};
  double* a = quorvane::allocateFresh<double>(counts[0], quorvane::HugePages::kNever);
  double* b = quorvane::allocateFresh<double>(counts[1], quorvane::HugePages::kAlways);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  {
    const quorvane::BackgroundFaults faults(
        {{a, counts[0] * 8}, {b, counts[1] * 8}, {nullptr, 64}});
    for (std::size_t k = 0; k < counts[0]; ++k) {
      a[k] = static_cast<double>(k) + 0.5;
      if (k < counts[1])
        b[k] = -static_cast<double>(k);
    }
  }
  bool same = true;
  for (std::size_t k = 0; k < counts[0]; ++k)
    same = same && a[k] == static_cast<double>(k) + 0.5 && (k >= counts[1] || b[k] == -double(k));
  EXPECT_TRUE(same);
  ::operator delete(a);
  ::operator delete(b);
}

TEST(FreshMemory, AllocatesAdvisedEveryWayAndRefusesOverflowingCounts) {
  using quorvane::HugePages;
  for (HugePages advice : {HugePages::kNever, HugePages::kAlways, HugePages::kWhileBacked}) {
    // Odd sizes: the advised chunks stop short of the array's last huge page.
    const std::size_t count = (std::size_t{5} << 20) + 123;
    auto* data = quorvane::allocateFresh<double>(count, advice);
    ASSERT_NE(data, nullptr);
    data[0] = data[count - 1] = 1.0;
    ::operator delete(data);
  }
  EXPECT_EQ(quorvane::allocateFresh<double>(SIZE_MAX / 4), nullptr);
}
