#pragma once

// Large arrays that are written right after they are allocated (the output of a call, a
// pattern). The first write of fresh memory is a page fault per page, and at 4 KiB a page
// those faults cost more than the engine itself; on Linux, advising the kernel that the
// array may be backed by transparent huge pages (MADV_HUGEPAGE, as numpy does for its large
// arrays) lets it hand the memory out 2 MiB at a time. Advice only: where the kernel cannot
// or will not, nothing changes but the speed.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#endif

namespace quorvane {

// Below this size the advice cannot pay: a huge page is 2 MiB.
inline constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

// Advises the whole pages inside [data, data + bytes) for huge pages, if the array is large.
inline void adviseHugePages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || bytes < kHugePageAdviceBytes)
    return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
  if (end > begin)
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// How the arrays a host function returns are advised for huge pages. A huge page comes only
// from a free 2 MiB block. On a virtual machine whose host takes back free memory (Linux's
// free-page reporting: it hands free blocks of that size back to the host soon after they
// are freed), such a block may be one the host must back anew on the first write, page by
// page, which costs several times what 4 KiB pages do (these come first from smaller free
// pieces, which are never reported); a block freed a moment ago, as in a loop of calls that
// allocate and free as much, is still backed and costs almost nothing. Which of the two
// the kernel hands out cannot be told in advance, so there the arrays are advised a chunk
// at a time, each written at once, while the chunks come at the pace of backed memory; the
// rest is left to 4 KiB pages. Calls in a quick loop advise everything (CallAdvice).
// docs/platforms.md has the measurements.
enum class HugePages { kNever, kAlways, kWhileBacked };

// Whether Linux's free-page reporting is active: a virtio balloon (device 5) bound to its
// driver and offering free-page reporting (feature bit 5, VIRTIO_BALLOON_F_REPORTING), as
// `devices` (sysfs's virtio devices) lists them.
inline bool freePageReporting(const std::string& devices = "/sys/bus/virtio/devices") {
  std::error_code error;
  for (const auto& device : std::filesystem::directory_iterator(devices, error)) {
    std::ifstream kind(device.path() / "device"), offered(device.path() / "features");
    std::string id, features;
    if (!(kind >> id) || std::strtol(id.c_str(), nullptr, 0) != 5 || !(offered >> features))
      continue;
    if (features.size() > 5 && features[5] == '1' &&
        std::filesystem::exists(device.path() / "driver", error))
      return true;
  }
  return false;
}

// The advice named by `choice` ("always", "never" or "while-backed"), or else the machine's.
inline HugePages chosenAdvice(const char* choice, bool reporting) {
  const std::string named = choice != nullptr ? choice : "";
  if (named == "always")
    return HugePages::kAlways;
  if (named == "never")
    return HugePages::kNever;
  if (named == "while-backed")
    return HugePages::kWhileBacked;
  return reporting ? HugePages::kWhileBacked : HugePages::kAlways;
}

// The advice of this process, found once: the environment's QUORVANE_HUGE_PAGES, so that a
// user (or a benchmark) can choose, or else what the machine's free-page reporting calls for.
inline HugePages machineAdvice() {
  static const HugePages advice =
      chosenAdvice(std::getenv("QUORVANE_HUGE_PAGES"), freePageReporting());
  return advice;
}

// The advice for a host function's current call: every array advised when the function's
// previous call ended less than `loop` before (a loop of calls; the blocks its results freed
// are still backed, so the loop's calls after the first two reuse them as huge pages),
// otherwise the process's (machineAdvice).
class CallAdvice {
 public:
  explicit CallAdvice(std::int64_t loopMilliseconds = 500) : loop_(loopMilliseconds) {}
  HugePages forThisCall(HugePages otherwise = machineAdvice()) const {
    const std::int64_t last = lastEnd_.load(std::memory_order_relaxed);
    const char* choice = std::getenv("QUORVANE_HUGE_PAGES");
    const bool chosen = choice != nullptr && *choice != '\0';
    return !chosen && last != kNever && now() - last < loop_ ? HugePages::kAlways : otherwise;
  }
  void callEnded() { lastEnd_.store(now(), std::memory_order_relaxed); }

 private:
  static std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static constexpr std::int64_t kNever = INT64_MIN;
  std::int64_t loop_;
  std::atomic<std::int64_t> lastEnd_{kNever};
};

// A chunk's first write at this pace or faster came from backed memory: here 4 KiB pages
// took 0.5-0.7 ms a MiB, huge pages of backed blocks 0.12-0.15 and of blocks the host had
// taken back 1.2-4.7 (docs/platforms.md).
inline constexpr double kBackedSecondsPerMiB = 0.4e-3;
inline constexpr std::size_t kAdvisedChunkBytes = std::size_t{8} << 20;

inline bool chunkWasBacked(double seconds, std::size_t bytes) {
  return seconds <= kBackedSecondsPerMiB * static_cast<double>(bytes) / double(1 << 20);
}

// Seconds of processor time this thread has used: what the first writes of a chunk cost it,
// the host's backing included (the thread is stalled on the processor meanwhile), and not the
// turns other work takes on a busy machine.
inline double threadSeconds() {
#if defined(__linux__)
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
#else
  return 0.0;
#endif
}

// Writes [begin, end) for the first time, in one call where the kernel can (Linux 5.14).
inline void firstWrite(std::uintptr_t begin, std::uintptr_t end, std::uintptr_t page) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0)
    return;
#endif
  for (std::uintptr_t at = begin; at < end; at += page)
    *reinterpret_cast<volatile unsigned char*>(at) = 0;
}

// Advises [data, data + bytes) as `advice` says, if the array is large.
inline void adviseFresh(void* data, std::size_t bytes, HugePages advice) {
  if (advice == HugePages::kAlways)
    adviseHugePages(data, bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (advice != HugePages::kWhileBacked || data == nullptr || bytes < kHugePageAdviceBytes)
    return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t huge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) / huge * huge;
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / huge * huge;
  for (std::uintptr_t chunk = begin; chunk < end; chunk += kAdvisedChunkBytes) {
    const std::uintptr_t last = std::min<std::uintptr_t>(chunk + kAdvisedChunkBytes, end);
    const double start = threadSeconds();
    madvise(reinterpret_cast<void*>(chunk), last - chunk, MADV_HUGEPAGE);
    firstWrite(chunk, last, page);
    if (!chunkWasBacked(threadSeconds() - start, last - chunk))
      return;
  }
#endif
}

// Faults in fresh arrays on a thread of its own while the caller writes them from their
// starts (Linux 5.14's MADV_POPULATE_WRITE, which maps pages without writing to them, so the
// two never race for the contents): the kernel's zeroing of each new page, most of a large
// call's time, then overlaps the caller's work instead of adding to it. The arrays are taken
// a piece of each in turn, in the order the caller writes them; the destructor waits for the
// thread. Where the kernel cannot, no thread can be had or the arrays are small, nothing
// happens.
class BackgroundFaults {
 public:
  struct Span {
    void* data;
    std::size_t bytes;
  };
  explicit BackgroundFaults(std::vector<Span> spans) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Small arrays fault in faster than a thread starts: a loop of small calls starts none.
    std::size_t bytes = 0;
    for (const Span& span : spans)
      bytes += span.data != nullptr ? span.bytes : 0;
    if (bytes < kHugePageAdviceBytes)
      return;
    try {
      thread_ = std::thread([spans = std::move(spans)] { populate(spans); });
    } catch (const std::exception&) {
    }
#else
    (void)spans;
#endif
  }
  ~BackgroundFaults() {
    if (thread_.joinable())
      thread_.join();
  }
  BackgroundFaults(const BackgroundFaults&) = delete;
  BackgroundFaults& operator=(const BackgroundFaults&) = delete;

 private:
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  static void populate(const std::vector<Span>& spans) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t offset = 0;; offset += kAdvisedChunkBytes) {
      bool more = false;
      for (const Span& span : spans) {
        if (span.data == nullptr || offset >= span.bytes)
          continue;
        more = true;
        const auto start = reinterpret_cast<std::uintptr_t>(span.data) + offset;
        const auto begin = (start + page - 1) / page * page;
        const auto end = std::min<std::uintptr_t>(
            (reinterpret_cast<std::uintptr_t>(span.data) + span.bytes) / page * page,
            (start + kAdvisedChunkBytes) / page * page);
        if (end > begin &&
            madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) != 0)
          return;  // a kernel without it
      }
      if (!more)
        return;
    }
  }
#endif
  std::thread thread_;
};

// `count` elements of T from ::operator new (so that a host which frees with delete, as
// Octave's arrays do, can adopt them), advised for huge pages as `advice` says; nullptr when
// the memory cannot be had. The elements are not initialised.
template <typename T>
T* allocateFresh(std::size_t count, HugePages advice = machineAdvice()) {
  if (count > SIZE_MAX / sizeof(T))
    return nullptr;
  void* data = ::operator new(count * sizeof(T), std::nothrow);
  adviseFresh(data, count * sizeof(T), advice);
  return static_cast<T*>(data);
}

}  // namespace quorvane
