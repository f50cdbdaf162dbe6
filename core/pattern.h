#pragma once

#include <cstdint>

namespace quorvane {

// Pixel-pair pattern in compressed-column form. Entry k of column j (jc[j] <= k < jc[j+1])
// pairs pixel j, the start of the walk, with pixel ir[k], its end.
struct Pattern {
  const std::uint32_t* ir;  // row pixel of each entry
  const std::uint32_t* jc;  // np + 1 column starts
};

}  // namespace quorvane
