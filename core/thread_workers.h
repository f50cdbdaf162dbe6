#pragma once

// Threads for the engine's workers (Workers, weight_engine.h), for hosts that want more than
// their calling thread; the Octave and MATLAB module does not include this. Link with the
// platform's threads library.

#include <algorithm>
#include <cerrno>
#include <exception>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

#include "weight_engine.h"

namespace quorvane {

// A JobRunner: job 0 runs on the calling thread, every other job on a thread of its own. A
// job whose thread cannot be started (the system is out of threads or memory) runs on the
// calling thread after job 0: the result is the same, only later.
inline void runOnThreads(int count, void (*job)(void* data, int index), void* data) {
  std::vector<std::thread> threads;
  int started = 1;  // jobs 1 ... started - 1 have a thread
  try {
    threads.reserve(static_cast<std::size_t>(count > 1 ? count - 1 : 0));
    for (; started < count; ++started)
      threads.emplace_back(job, data, started);
  } catch (const std::exception&) {
  }
  job(data, 0);
  for (int n = started; n < count; ++n)
    job(data, n);
  for (std::thread& thread : threads)
    thread.join();
}

// Calls body(part, begin, end) for `parts` consecutive ranges of about equal length that
// cover 0 ... count - 1, each on a thread of its own (runOnThreads); returns when all are done.
template <typename Body>
void splitOnThreads(std::size_t count, int parts, Body& body) {
  struct Split {
    Body* body;
    std::size_t count;
    int parts;
  } split{&body, count, parts};
  runOnThreads(
      parts,
      [](void* data, int part) {
        const Split& s = *static_cast<const Split*>(data);
        const auto share = [&s](int p) {  // the first p ranges hold one more item each
          const auto parts = static_cast<std::size_t>(s.parts), q = static_cast<std::size_t>(p);
          return s.count / parts * q + std::min(q, s.count % parts);
        };
        (*s.body)(part, share(part), share(part + 1));
      },
      &split);
}

// `count` workers on threads.
inline Workers threadWorkers(int count) {
  Workers workers;
  workers.count = count;
  workers.run = runOnThreads;
  return workers;
}

// How many processors this process may run on: the processors of its affinity mask (what
// Python's len(os.sched_getaffinity(0)) counts), or where that cannot be read the hardware's
// thread count; at least 1.
inline int usableCores() {
#ifdef __linux__
  // The mask's size is not known beforehand: a set too small for the kernel's is refused.
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr)
      break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const bool read = sched_getaffinity(0, size, set) == 0;
    const int error = errno;
    const int count = read ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (read)
      return std::max(count, 1);
    if (error != EINVAL)
      break;
  }
#endif
  return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
}

}  // namespace quorvane
