#include "region_ties.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <new>
#include <optional>
#include <utility>

#include "row_bands.h"

namespace quorvane::segment {
namespace {

constexpr auto before = RegionSums::keyBefore;

RegionTies plus(const RegionTies& x, const RegionTies& y) {
  RegionTies sum;
  sum.reserve(x.size() + y.size());
  std::size_t i = 0, j = 0;
  while (i < x.size() && j < y.size()) {
    if (before(x[i], y[j])) {
      sum.push_back(x[i++]);
    } else if (before(y[j], x[i])) {
      sum.push_back(y[j++]);
    } else {
      RegionSums::Entry e = x[i++];
      e.sum.tie += y[j].sum.tie;
      e.sum.count += y[j++].sum.count;
      sum.push_back(e);
    }
  }
  sum.insert(sum.end(), x.begin() + static_cast<std::ptrdiff_t>(i), x.end());
  sum.insert(sum.end(), y.begin() + static_cast<std::ptrdiff_t>(j), y.end());
  return sum;
}

}  // namespace

template <typename Index>
std::vector<ColumnChunk> sumChunks(const Index* starts, std::int64_t columns,
                                   std::int64_t entries) {
  std::vector<ColumnChunk> chunks;
  std::int64_t first = 0;
  while (first < columns) {
    // The last column whose start lies within `entries` of the chunk's first entry.
    const auto bound = static_cast<std::int64_t>(starts[first]) + entries;
    const Index* end = std::upper_bound(
        starts + first, starts + columns + 1, bound,
        [](std::int64_t value, Index start) { return value < static_cast<std::int64_t>(start); });
    const std::int64_t last = std::min(std::max((end - starts) - 1, first + 1), columns);
    chunks.push_back({first, last});
    first = last;
  }
  return chunks;
}

std::vector<ColumnChunk> discChunks(std::int64_t nr, std::int64_t nc, double radius,
                                    std::int64_t entries, std::vector<std::int64_t>& begins) {
  // The entries of columns first ... last - 1, in closed form. Counting stops above
  // UINT32_MAX, which is still above any chunk's `entries` below it.
  const auto between = [&](std::int64_t first, std::int64_t last) {
    return discPatternEntries(nr, nc, radius, {first, last});
  };
  const std::int64_t columns = nr * nc;
  std::vector<ColumnChunk> chunks;
  begins.clear();
  std::int64_t first = 0, begin = 0;
  while (first < columns) {
    // The last column whose start lies within `entries` of the chunk's first entry, as
    // sumChunks finds it: starts never decrease.
    std::int64_t low = first, high = columns;
    while (low < high) {
      const std::int64_t middle = low + (high - low + 1) / 2;
      if (between(first, middle) <= static_cast<std::uint64_t>(entries))
        low = middle;
      else
        high = middle - 1;
    }
    const std::int64_t last = std::max(low, first + 1);
    chunks.push_back({first, last});
    begins.push_back(begin);
    begin += static_cast<std::int64_t>(between(first, last));
    first = last;
  }
  begins.push_back(begin);
  return chunks;
}

RegionTies sortedTies(const RegionSums& sums) {
  RegionTies ties = sums.entries();
  std::sort(ties.begin(), ties.end(), before);
  return ties;
}

namespace {

// Sums of the addition over `total` parts, made on demand from those known: round `level`'s
// sum `index` is the sum of round level - 1's sums 2 index and 2 index + 1, or the first
// alone when it is that round's last (the odd one carried).
class PartialSums {
 public:
  explicit PartialSums(std::int64_t total) : total_(total) {}

  void know(int level, std::int64_t index, RegionTies ties) {
    known_[{level, index}] = std::move(ties);
  }

  // The sum, or nullopt when a part it needs is not known; the known ones it takes are used up.
  std::optional<RegionTies> sum(int level, std::int64_t index) {
    const auto found = known_.find({level, index});
    if (found != known_.end()) {
      RegionTies ties = std::move(found->second);
      known_.erase(found);
      return ties;
    }
    if (level == 0)
      return std::nullopt;
    std::optional<RegionTies> left = sum(level - 1, 2 * index);
    if (!left)
      return std::nullopt;
    if (2 * index + 1 >= sums(level - 1))
      return left;
    std::optional<RegionTies> right = sum(level - 1, 2 * index + 1);
    if (!right)
      return std::nullopt;
    return plus(*left, *right);
  }

  // The sums of round `level`, and the round of the whole sum.
  std::int64_t sums(int level) const {
    const std::int64_t span = std::int64_t{1} << level;
    return (total_ + span - 1) / span;
  }
  int top() const {
    int level = 0;
    while (sums(level) > 1)
      ++level;
    return level;
  }

 private:
  std::int64_t total_;
  std::map<std::pair<int, std::int64_t>, RegionTies> known_;
};

}  // namespace

RegionTies addedUp(std::vector<RegionTies> parts) {
  const auto total = static_cast<std::int64_t>(parts.size());
  RegionTies sum;
  if (total == 0)
    return sum;
  std::vector<TiesNode> nodes;
  for (std::int64_t p = 0; p < total; ++p)
    nodes.push_back({0, p, std::move(parts[static_cast<std::size_t>(p)])});
  addedUp(std::move(nodes), total, sum);
  return sum;
}

std::vector<TiesNode> partialSums(std::vector<RegionTies> parts, std::int64_t first,
                                  std::int64_t total) {
  const std::int64_t end = first + static_cast<std::int64_t>(parts.size());
  PartialSums known(total);
  for (std::int64_t p = first; p < end; ++p)
    known.know(0, p, std::move(parts[static_cast<std::size_t>(p - first)]));
  std::vector<TiesNode> nodes;
  for (std::int64_t p = first; p < end;) {
    // The highest round whose sum starts at p and ends within the run.
    int level = 0;
    while (p % (std::int64_t{2} << level) == 0 &&
           std::min(p + (std::int64_t{2} << level), total) <= end && known.sums(level) > 1)
      ++level;
    const std::int64_t index = p >> level;
    nodes.push_back({level, index, *known.sum(level, index)});
    p = std::min((index + 1) << level, total);
  }
  return nodes;
}

bool addedUp(std::vector<TiesNode> nodes, std::int64_t total, RegionTies& sum) {
  if (total < 1)
    return false;
  PartialSums known(total);
  for (TiesNode& node : nodes) {
    if (node.level < 0 || node.level > 62 || node.index < 0 || node.index >= known.sums(node.level))
      return false;
    known.know(node.level, node.index, std::move(node.ties));
  }
  std::optional<RegionTies> whole = known.sum(known.top(), 0);
  if (!whole)
    return false;
  sum = std::move(*whole);
  return true;
}

template <typename Index>
bool chunkTies(const ColumnWeights<Index>& weights, const std::vector<ColumnChunk>& chunks,
               const std::int32_t* labels, std::int32_t count, const std::uint8_t* among,
               const Workers& workers, std::vector<RegionTies>& ties) {
  ties.assign(chunks.size(), {});
  std::atomic<bool> unusable{false}, outOfMemory{false};
  // The chunks shared among the workers as rows are, a run of them each.
  const auto n = static_cast<std::int64_t>(chunks.size());
  forRowBands(workers, n, [&](int, std::int64_t begin, std::int64_t end) {
    try {
      // One accumulator a worker, emptied between its chunks.
      RegionSums sums(weights.pixels, labels, count, among);
      for (std::int64_t c = begin; c < end; ++c) {
        const ColumnChunk chunk = chunks[static_cast<std::size_t>(c)];
        if (!sums.add(chunk.first, chunk.last, weights.starts + chunk.first, weights.rows,
                      weights.values)) {
          unusable = true;
          return;
        }
        ties[static_cast<std::size_t>(c)] = sortedTies(sums);
        sums.clear();
      }
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  });
  if (outOfMemory)
    throw std::bad_alloc();
  return !unusable;
}

template <typename Index>
SumWeights chunkedSums(ColumnWeights<Index> weights, const Workers& workers) {
  std::vector<ColumnChunk> chunks = sumChunks(weights.starts, weights.pixels);
  return
      [weights, workers, chunks = std::move(chunks)](const std::int32_t* labels, std::int32_t count,
                                                     const std::uint8_t* among, RegionTies& ties) {
        std::vector<RegionTies> parts;
        if (!chunkTies(weights, chunks, labels, count, among, workers, parts))
          return false;
        ties = addedUp(std::move(parts));
        return true;
      };
}

#define QUORVANE_REGION_TIES(Index)                                                             \
  template std::vector<ColumnChunk> sumChunks<Index>(const Index*, std::int64_t, std::int64_t); \
  template bool chunkTies<Index>(const ColumnWeights<Index>&, const std::vector<ColumnChunk>&,  \
                                 const std::int32_t*, std::int32_t, const std::uint8_t*,        \
                                 const Workers&, std::vector<RegionTies>&);                     \
  template SumWeights chunkedSums<Index>(ColumnWeights<Index>, const Workers&);

QUORVANE_REGION_TIES(std::int32_t)
QUORVANE_REGION_TIES(std::int64_t)
QUORVANE_REGION_TIES(std::uint32_t)

#undef QUORVANE_REGION_TIES

}  // namespace quorvane::segment
