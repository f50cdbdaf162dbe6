#pragma once

// The region sums of all of the weights in an order anyone can repeat: the weights' columns
// cut into chunks of about kChunkEntries entries, each chunk summed on its own (RegionSums)
// with its keys in ascending order, and the chunks' sums added up pairwise, neighbours first.
// The same chunks give the same bits however they were shared out, among threads here or
// among processes that each sum some of them and exchange their ties.

#include <cstdint>
#include <functional>
#include <vector>

#include "disc_pattern.h"
#include "region_graph.h"
#include "weight_engine.h"

namespace quorvane::segment {

// Sums of regions' pairs, keys (a, then b) ascending.
using RegionTies = std::vector<RegionSums::Entry>;

// Entries summed at once: a chunk's sums stay small, and processes that share the weights
// out have many chunks to share.
constexpr std::int64_t kChunkEntries = std::int64_t{1} << 18;

struct ColumnChunk {
  std::int64_t first, last;  // columns first ... last - 1
};

// The chunks of a matrix of these column starts (columns + 1 of them, not decreasing): about
// `entries` entries each and at least one column, in order, covering every column.
template <typename Index>
std::vector<ColumnChunk> sumChunks(const Index* starts, std::int64_t columns,
                                   std::int64_t entries = kChunkEntries);

// The chunks sumChunks makes of the disc pattern's column starts (disc_pattern.h: an nr x nc
// image, pixels numbered as there), found without making the pattern; begins gets the entry
// each chunk begins at and, last, the pattern's entry count.
std::vector<ColumnChunk> discChunks(std::int64_t nr, std::int64_t nc, double radius,
                                    std::int64_t entries, std::vector<std::int64_t>& begins);

// The sums' keys in ascending order.
RegionTies sortedTies(const RegionSums& sums);

// The parts added up pairwise, neighbours first (part 0 + part 1, 2 + 3, ..., an odd last
// one carried), round after round until one is left; empty for none.
RegionTies addedUp(std::vector<RegionTies> parts);

// A partial sum of that addition over `total` parts: round `level`'s sum number `index`,
// which covers parts index 2^level ... min((index + 1) 2^level, total) - 1.
struct TiesNode {
  int level;
  std::int64_t index;
  RegionTies ties;
};

// The largest partial sums that lie within parts first ... first + parts.size() - 1 of
// `total` (the parts given in order): what a holder of a run of the parts passes on, so that
// another can finish the addition with far less than the parts themselves.
std::vector<TiesNode> partialSums(std::vector<RegionTies> parts, std::int64_t first,
                                  std::int64_t total);

// addedUp of `total` parts from partial sums that cover each part once (partialSums of runs
// of them): the same bits. False when they do not cover every part.
bool addedUp(std::vector<TiesNode> nodes, std::int64_t total, RegionTies& sum);

// Weights in compressed columns over `pixels` pixels (starts: pixels + 1 of them).
template <typename Index>
struct ColumnWeights {
  std::int64_t pixels;
  const Index* starts;
  const Index* rows;
  const double* values;
};

// The sorted sums of each of the chunks over labels (0 ... count - 1; among: see RegionSums),
// the chunks shared among the workers; false when the weights were unusable (RegionSums::add).
template <typename Index>
bool chunkTies(const ColumnWeights<Index>& weights, const std::vector<ColumnChunk>& chunks,
               const std::int32_t* labels, std::int32_t count, const std::uint8_t* among,
               const Workers& workers, std::vector<RegionTies>& ties);

// All of the weights' region sums over the pixels' labels (0 ... count - 1), only the pairs
// with a pixel in a flagged region when among is not null (one flag per region): every
// chunk's, added up. False when the weights were unusable.
using SumWeights = std::function<bool(const std::int32_t* labels, std::int32_t count,
                                      const std::uint8_t* among, RegionTies& ties)>;

// SumWeights over weights held whole by the caller (which must outlive it), the chunks'
// sums taken by the workers.
template <typename Index>
SumWeights chunkedSums(ColumnWeights<Index> weights, const Workers& workers = {});

}  // namespace quorvane::segment
