#pragma once

// Large arrays that are written right after they are allocated (the output of a call, a
// pattern). The first write of fresh memory is a page fault per page, and at 4 KiB a page
// those faults cost more than the engine itself; on Linux, advising the kernel that the
// array may be backed by transparent huge pages (MADV_HUGEPAGE, as numpy does for its large
// arrays) lets it hand the memory out 2 MiB at a time. Advice only: where the kernel cannot
// or will not, nothing changes but the speed.

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

// `count` elements of T from ::operator new (so that a host which frees with delete, as
// Octave's arrays do, can adopt them), advised for huge pages; nullptr when the memory
// cannot be had. The elements are not initialised.
template <typename T>
T* allocateFresh(std::size_t count) {
  if (count > SIZE_MAX / sizeof(T))
    return nullptr;
  void* data = ::operator new(count * sizeof(T), std::nothrow);
  adviseHugePages(data, count * sizeof(T));
  return static_cast<T*>(data);
}

}  // namespace quorvane
