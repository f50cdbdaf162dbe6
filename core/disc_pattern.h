#pragma once

#include <cstdint>

namespace quorvane {

// The disc pattern of an nr x nc image: each pixel paired with every pixel at Euclidean
// distance at most `radius` (itself included), as compressed columns over the column-major
// pixel numbering, each column's row pixels ascending. A pixel dr rows and dc columns away
// is a partner when sqrt(dr^2 + dc^2) <= radius in double arithmetic, so a radius written as
// sqrt(k) takes in the pixels at distance sqrt(k). The pattern is symmetric, and the disc
// pattern of the transposed image is the same arrays (which is how C-order hosts use it).
//
// A part of the pattern is the columns of the pixels first ... last - 1: their row pixels
// (numbered over the whole image) and last - first + 1 column starts from 0, exactly the
// whole pattern's columns with their starts shifted. Parts are how a host that shares an
// image among processes builds only its own columns.

struct PixelRange {
  std::int64_t first = 0, last = 0;  // pixels first <= p < last
};

// Its entry count when that is at most UINT32_MAX, otherwise some number above it (counting
// stops there), in time proportional to the disc's width. Needs 0 < nr * nc < 2^31,
// radius >= 0 and 0 <= first <= last <= nr * nc.
std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius);
std::uint64_t discPatternEntries(std::int64_t nr, std::int64_t nc, double radius,
                                 PixelRange columns);

// Writes the pattern: ir gets discPatternEntries(...) row pixels (at most UINT32_MAX), jc
// one more column start than there are columns. Pages of both arrays are written in order,
// once.
void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, std::uint32_t* ir,
                     std::uint32_t* jc);
void fillDiscPattern(std::int64_t nr, std::int64_t nc, double radius, PixelRange columns,
                     std::uint32_t* ir, std::uint32_t* jc);

}  // namespace quorvane
