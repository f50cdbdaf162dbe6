#pragma once

// Work over the rows of a picture shared among the engine's workers (Workers, weight_engine.h):
// each worker takes one band of consecutive rows. Every row is computed alike whichever band
// holds it, so the results do not depend on the number of workers.

#include <algorithm>
#include <cstdint>

#include "weight_engine.h"

namespace quorvane::segment {

// Rows first ... last - 1 of a picture.
struct RowSpan {
  std::int64_t first = 0, last = 0;
  std::int64_t count() const { return last - first; }
};

// How many bands forRowBands makes of `rows` rows: one per worker, no more than rows.
inline int rowBandCount(const Workers& workers, std::int64_t rows) {
  if (workers.run == nullptr)
    return 1;
  return static_cast<int>(
      std::clamp<std::int64_t>(workers.count, 1, std::max<std::int64_t>(rows, 1)));
}

// Calls body(band, begin, end) for the rowBandCount bands that cover rows 0 ... rows - 1,
// band 0 ... count - 1 on a worker each, and returns when all are done. body must not throw
// (allocate what it needs beforehand, one buffer per band).
template <typename Body>
void forRowBands(const Workers& workers, std::int64_t rows, const Body& body) {
  const int count = rowBandCount(workers, rows);
  if (count == 1) {
    body(0, std::int64_t{0}, rows);
    return;
  }
  struct Job {
    const Body* body;
    std::int64_t rows;
    int count;
  } job{&body, rows, count};
  workers.run(
      count,
      [](void* data, int band) {
        const Job& j = *static_cast<const Job*>(data);
        const auto start = [&j](int b) { return j.rows * b / j.count; };
        (*j.body)(band, start(band), start(band + 1));
      },
      &job);
}

}  // namespace quorvane::segment
