#pragma once

// Large arrays that are written right after they are allocated (the output of a call, a
// pattern). The first write of fresh memory is a page fault per page, and at 4 KiB a page
// those faults cost more than the engine itself; on Linux, advising the kernel that the
// array may be backed by transparent huge pages (MADV_HUGEPAGE, as numpy does for its large
// arrays) lets it hand the memory out 2 MiB at a time. Advice only: where the kernel cannot
// or will not, nothing changes but the speed.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
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

// Whether a host function advises the arrays of its current call: only when its previous
// call ended less than two seconds before, in a loop of calls. A huge page comes only from
// a free 2 MiB block; on a virtual machine whose host takes back free memory (Linux's
// free-page reporting hands free blocks of that size back two seconds after they were
// freed), those blocks are exactly what the host must back anew, page by page, on the
// first touch, while 4 KiB pages come first from the smaller free pieces it still backs.
// So a call on its own takes 4 KiB pages, as a MEX module's output does, and calls in a
// loop reuse the huge pages their predecessors have just freed. Without such a host huge
// pages are cheap either way. docs/platforms.md has the measurements.
class HugePageAdvice {
 public:
  explicit HugePageAdvice(std::int64_t loopMilliseconds = 2000) : loop_(loopMilliseconds) {}
  bool forThisCall() const {
    const std::int64_t last = lastEnd_.load(std::memory_order_relaxed);
    return last != kNever && now() - last < loop_;
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

// `count` elements of T from ::operator new (so that a host which frees with delete, as
// Octave's arrays do, can adopt them), advised for huge pages if `advise`; nullptr when the
// memory cannot be had. The elements are not initialised.
template <typename T>
T* allocateFresh(std::size_t count, bool advise = true) {
  if (count > SIZE_MAX / sizeof(T))
    return nullptr;
  void* data = ::operator new(count * sizeof(T), std::nothrow);
  if (advise)
    adviseHugePages(data, count * sizeof(T));
  return static_cast<T*>(data);
}

}  // namespace quorvane
