#pragma once

// The regions' graph of the segmentation. Between two regions a and b, the tie is the sum of
// the weights of the pattern's pairs with one pixel in each and the count their number, so
// that tie / count is the mean weight across their border; a region's own pairs give its
// inner mean. Joining regions sums their ties and counts (P^T S P for the 0/1 matrix P of
// old to new regions), in time linear in the graph's size.

#include <cstdint>
#include <vector>

namespace quorvane::segment {

struct Tie {
  double tie = 0.0;
  std::int64_t count = 0;
};

// The sums of weights between regions, not symmetrised: a pair (row pixel i, column pixel j,
// weight v) adds v and 1 to the key (labels[i], labels[j]). The weights come a chunk of
// columns at a time, so a caller need never hold them whole. Every key sums its pairs in the
// order they are added: the same chunks in the same order give the same bits.
class RegionSums {
 public:
  // labels: the region (0 ... count - 1) of each of `pixels` pixels; among (null, or one flag
  // per region): only the pairs with a pixel in a flagged region are summed. Both are read
  // while adding and must outlive it.
  RegionSums(std::int64_t pixels, const std::int32_t* labels, std::int32_t count,
             const std::uint8_t* among = nullptr);

  // The columns first ... last - 1 of compressed-column weights: column first + c has its
  // pairs at starts[c] <= k < starts[c + 1] of rows and values (so the whole matrix's arrays
  // with starts + first, or a chunk's own). Returns false, having added part of the chunk,
  // when a column start decreases or a row pixel is not below the pixel count.
  template <typename Index>
  bool add(std::int64_t first, std::int64_t last, const Index* starts, const Index* rows,
           const double* values);

  struct Entry {
    std::int32_t a, b;
    Tie sum;
  };
  // The keys' order: by a, then by b.
  static bool keyBefore(const Entry& x, const Entry& y) {
    return x.a != y.a ? x.a < y.a : x.b < y.b;
  }
  // The keys in the order they were first added.
  const std::vector<Entry>& entries() const { return entries_; }
  std::int32_t count() const { return count_; }
  // Forgets every sum, for other weights over the same labels (in time of the keys held).
  void clear();

 private:
  Tie& at(std::int32_t a, std::int32_t b);

  std::int64_t pixels_;
  const std::int32_t* labels_;
  std::int32_t count_;
  const std::uint8_t* among_;
  std::vector<Entry> entries_;
  std::vector<std::int64_t> slots_;  // open addressing into entries_, -1 when free
  // The key (a, lastB_[a]) looked up last for each a, and its entry.
  std::vector<std::int32_t> lastB_;
  std::vector<std::int64_t> lastEntry_;
};

// The symmetrised graph of regions 0 ... size() - 1. Each border holds the sums of both
// directions (a region's own pairs twice): twice the halved sums a symmetrised matrix holds,
// which gives the same means to the bit.
class RegionGraph {
 public:
  struct Edge {
    std::int32_t other;
    Tie sum;
  };

  RegionGraph() = default;
  // The graph of regions 0 ... areas.size() - 1 (their areas in pixels) from the sums of all
  // of the weights (or of all pairs touching some regions), each key once; sums sorted by key
  // are read as they are (others sorted first), and freed before the rows are sorted.
  static RegionGraph of(std::vector<RegionSums::Entry> sums, std::vector<std::int64_t> areas);

  std::int32_t size() const { return static_cast<std::int32_t>(areas_.size()); }
  std::int64_t area(std::int32_t a) const { return areas_[a]; }
  const Tie& own(std::int32_t a) const { return own_[a]; }
  // The borders of a, other regions ascending.
  const Edge* begin(std::int32_t a) const { return edges_.data() + starts_[a]; }
  const Edge* end(std::int32_t a) const { return edges_.data() + starts_[a + 1]; }

  // The mean weight of every region's own pairs (1 for a region without any).
  std::vector<double> inner() const;
  // Every region's most tied neighbour (largest mean across the border, the lower number of
  // equals; -1 for a region alone) and that mean (-infinity for one alone).
  void mostTied(std::vector<std::int32_t>& neighbour, std::vector<double>& mean) const;
  // The graph after region a becomes region into[a] of count: sums of the old borders
  // between regions of one new region go to its own, the others are summed by new pair.
  RegionGraph joined(const std::vector<std::int32_t>& into, std::int32_t count) const;
  // The graph with only the borders for which keep(a, b) holds (own sums and areas kept).
  template <typename Keep>
  RegionGraph kept(Keep keep) const;

 private:
  std::vector<std::int64_t> areas_;
  std::vector<Tie> own_;
  std::vector<std::int64_t> starts_;
  std::vector<Edge> edges_;
};

// The components of the links (region a with region link[a]): into[a] is a's component,
// numbered in the order of their lowest region (as scipy's connected_components numbers
// them). Returns their count.
std::int32_t linkedComponents(const std::vector<std::int32_t>& link,
                              std::vector<std::int32_t>& into);

template <typename Keep>
RegionGraph RegionGraph::kept(Keep keep) const {
  RegionGraph graph;
  graph.areas_ = areas_;
  graph.own_ = own_;
  graph.starts_.assign(starts_.size(), 0);
  for (std::int32_t a = 0; a < size(); ++a) {
    for (const Edge* e = begin(a); e != end(a); ++e) {
      if (keep(a, e->other))
        graph.edges_.push_back(*e);
    }
    graph.starts_[a + 1] = static_cast<std::int64_t>(graph.edges_.size());
  }
  return graph;
}

}  // namespace quorvane::segment
