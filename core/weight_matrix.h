#pragma once

namespace quorvane {

// The np x np sparse result in compressed-column form, owned by the caller and filled in
// place. Index is the caller's sparse index type (signed 64-bit in Octave, size_t in MATLAB,
// 32- or 64-bit in numpy), so the core writes straight into host memory without a copy.
template <typename Index>
struct WeightMatrix {
  double* pr;  // values, room for the pattern's entry count
  Index* ir;   // row indices, same room
  Index* jc;   // np + 1 column starts
};

}  // namespace quorvane
