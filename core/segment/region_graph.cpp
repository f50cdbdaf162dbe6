#include "region_graph.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <numeric>
#include <utility>

namespace quorvane::segment {
namespace {

std::uint64_t keyOf(std::int32_t a, std::int32_t b) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) |
         static_cast<std::uint32_t>(b);
}

std::size_t slotOf(std::uint64_t key, std::size_t mask) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 17) & mask;
}

}  // namespace

RegionSums::RegionSums(std::int64_t pixels, const std::int32_t* labels, std::int32_t count,
                       const std::uint8_t* among)
    : pixels_(pixels),
      labels_(labels),
      count_(count),
      among_(among),
      slots_(1024, -1),
      lastB_(static_cast<std::size_t>(count), -1),
      lastEntry_(static_cast<std::size_t>(count), -1) {}

Tie& RegionSums::at(std::int32_t a, std::int32_t b) {
  // Neighbouring columns mostly lie in one region, so a's last key is mostly the one.
  if (lastB_[a] == b)
    return entries_[static_cast<std::size_t>(lastEntry_[a])].sum;
  const std::uint64_t key = keyOf(a, b);
  // Kept at most half full, so that probes stay short.
  if (2 * (entries_.size() + 1) > slots_.size()) {
    slots_.assign(2 * slots_.size(), -1);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t s = slotOf(keyOf(entries_[e].a, entries_[e].b), mask);
      while (slots_[s] >= 0)
        s = (s + 1) & mask;
      slots_[s] = static_cast<std::int64_t>(e);
    }
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = slotOf(key, mask);
  while (slots_[s] >= 0) {
    const Entry& entry = entries_[static_cast<std::size_t>(slots_[s])];
    if (entry.a == a && entry.b == b)
      break;
    s = (s + 1) & mask;
  }
  if (slots_[s] < 0) {
    slots_[s] = static_cast<std::int64_t>(entries_.size());
    entries_.push_back({a, b, {}});
  }
  lastB_[a] = b;
  lastEntry_[a] = slots_[s];
  return entries_[static_cast<std::size_t>(slots_[s])].sum;
}

template <typename Index>
bool RegionSums::add(std::int64_t first, std::int64_t last, const Index* starts, const Index* rows,
                     const double* values) {
  if (first < 0 || last > pixels_)
    return false;
  for (std::int64_t j = first; j < last; ++j) {
    // Each start is read once: a check then holds for what is used.
    const std::int64_t begin = static_cast<std::int64_t>(starts[j - first]);
    const std::int64_t end = static_cast<std::int64_t>(starts[j - first + 1]);
    if (begin < 0 || end < begin)
      return false;
    const std::int32_t b = labels_[j];
    const bool column = among_ == nullptr || among_[b];
    for (std::int64_t k = begin; k < end; ++k) {
      const std::int64_t i = static_cast<std::int64_t>(rows[k]);
      if (i < 0 || i >= pixels_)
        return false;
      const std::int32_t a = labels_[i];
      if (!column && !among_[a])
        continue;
      Tie& sum = at(a, b);
      sum.tie += values[k];
      sum.count += 1;
    }
  }
  return true;
}

template bool RegionSums::add<std::int32_t>(std::int64_t, std::int64_t, const std::int32_t*,
                                            const std::int32_t*, const double*);
template bool RegionSums::add<std::int64_t>(std::int64_t, std::int64_t, const std::int64_t*,
                                            const std::int64_t*, const double*);
template bool RegionSums::add<std::uint32_t>(std::int64_t, std::int64_t, const std::uint32_t*,
                                             const std::uint32_t*, const double*);

void RegionSums::clear() {
  for (const Entry& e : entries_)
    lastB_[e.a] = -1;
  entries_.clear();
  std::fill(slots_.begin(), slots_.end(), -1);
}

RegionGraph RegionGraph::of(std::vector<RegionSums::Entry> sums, std::vector<std::int64_t> areas) {
  using Entry = RegionSums::Entry;
  if (!std::is_sorted(sums.begin(), sums.end(), RegionSums::keyBefore))
    std::sort(sums.begin(), sums.end(), RegionSums::keyBefore);
  const auto n = static_cast<std::int32_t>(areas.size());
  std::vector<std::size_t> rowStarts(static_cast<std::size_t>(n) + 1, 0);
  for (const Entry& e : sums)
    ++rowStarts[e.a + 1];
  std::partial_sum(rowStarts.begin(), rowStarts.end(), rowStarts.begin());
  // A border's sum is that of both directions, a to b and b to a (the same in either order):
  // visit(e, back) for each border, at its key from the lower region, back its key from the
  // higher (null without one). Keys from the lower region ask for row b's keys in increasing
  // a, so one cursor a row finds them all.
  std::vector<std::uint8_t> mirrored(sums.size(), 0);
  const auto forEachBorder = [&](const auto& visit) {
    std::vector<std::size_t> cursor(rowStarts.begin(), rowStarts.end() - 1);
    for (const Entry& e : sums) {
      if (e.a < e.b) {
        std::size_t& c = cursor[e.b];
        while (c < rowStarts[e.b + 1] && sums[c].b < e.a)
          ++c;
        const bool found = c < rowStarts[e.b + 1] && sums[c].b == e.a;
        visit(e, found ? &sums[c] : nullptr);
      }
    }
    for (std::size_t k = 0; k < sums.size(); ++k) {
      if (sums[k].a > sums[k].b && !mirrored[k])
        visit(sums[k], nullptr);
    }
  };
  RegionGraph graph;
  graph.areas_ = std::move(areas);
  graph.own_.assign(static_cast<std::size_t>(n), Tie{});
  graph.starts_.assign(static_cast<std::size_t>(n) + 1, 0);
  forEachBorder([&](const Entry& e, const Entry* back) {
    if (back != nullptr)
      mirrored[static_cast<std::size_t>(back - sums.data())] = 1;
    ++graph.starts_[e.a + 1];
    ++graph.starts_[e.b + 1];
  });
  std::partial_sum(graph.starts_.begin(), graph.starts_.end(), graph.starts_.begin());
  graph.edges_.resize(static_cast<std::size_t>(graph.starts_[n]));
  std::vector<std::int64_t> next(graph.starts_.begin(), graph.starts_.end() - 1);
  forEachBorder([&](const Entry& e, const Entry* back) {
    Tie sum = e.sum;
    if (back != nullptr) {
      sum.tie += back->sum.tie;
      sum.count += back->sum.count;
    }
    graph.edges_[static_cast<std::size_t>(next[e.a]++)] = {e.b, sum};
    graph.edges_[static_cast<std::size_t>(next[e.b]++)] = {e.a, sum};
  });
  for (const Entry& e : sums) {
    if (e.a == e.b) {
      Tie& own = graph.own_[e.a];
      own.tie += e.sum.tie + e.sum.tie;
      own.count += 2 * e.sum.count;
    }
  }
  sums = {};  // the rows need them no more: freed before anything else is made
  for (std::int32_t a = 0; a < n; ++a) {
    std::sort(graph.edges_.begin() + graph.starts_[a], graph.edges_.begin() + graph.starts_[a + 1],
              [](const Edge& x, const Edge& y) { return x.other < y.other; });
  }
  return graph;
}

std::vector<double> RegionGraph::inner() const {
  std::vector<double> mean(own_.size(), 1.0);
  for (std::size_t a = 0; a < own_.size(); ++a) {
    if (own_[a].count > 0)
      mean[a] = own_[a].tie / static_cast<double>(own_[a].count);
  }
  return mean;
}

void RegionGraph::mostTied(std::vector<std::int32_t>& neighbour, std::vector<double>& mean) const {
  neighbour.assign(areas_.size(), -1);
  mean.assign(areas_.size(), -std::numeric_limits<double>::infinity());
  for (std::int32_t a = 0; a < size(); ++a) {
    // Neighbours ascend: the first of equal means stays.
    for (const Edge* e = begin(a); e != end(a); ++e) {
      const double m = e->sum.tie / static_cast<double>(e->sum.count);
      if (m > mean[a]) {
        mean[a] = m;
        neighbour[a] = e->other;
      }
    }
  }
}

RegionGraph RegionGraph::joined(const std::vector<std::int32_t>& into, std::int32_t count) const {
  const std::int32_t n = size();
  // The old regions of each new one, ascending.
  std::vector<std::int64_t> memberStarts(static_cast<std::size_t>(count) + 1, 0);
  for (std::int32_t a = 0; a < n; ++a)
    ++memberStarts[into[a] + 1];
  std::partial_sum(memberStarts.begin(), memberStarts.end(), memberStarts.begin());
  std::vector<std::int32_t> members(static_cast<std::size_t>(n));
  {
    std::vector<std::int64_t> next(memberStarts.begin(), memberStarts.end() - 1);
    for (std::int32_t a = 0; a < n; ++a)
      members[next[into[a]]++] = a;
  }
  RegionGraph graph;
  graph.areas_.assign(static_cast<std::size_t>(count), 0);
  graph.own_.assign(static_cast<std::size_t>(count), Tie{});
  graph.starts_.assign(static_cast<std::size_t>(count) + 1, 0);
  graph.edges_.reserve(edges_.size());
  // Where the new row being built holds each other region (valid when seenIn matches).
  std::vector<std::int64_t> slot(static_cast<std::size_t>(count), 0);
  std::vector<std::int32_t> seenIn(static_cast<std::size_t>(count), -1);
  for (std::int32_t r = 0; r < count; ++r) {
    const std::int64_t rowStart = static_cast<std::int64_t>(graph.edges_.size());
    Tie& own = graph.own_[r];
    for (std::int64_t m = memberStarts[r]; m < memberStarts[r + 1]; ++m) {
      const std::int32_t a = members[m];
      graph.areas_[r] += areas_[a];
      own.tie += own_[a].tie;
      own.count += own_[a].count;
      for (const Edge* e = begin(a); e != end(a); ++e) {
        const std::int32_t other = into[e->other];
        if (other == r) {
          own.tie += e->sum.tie;
          own.count += e->sum.count;
        } else if (seenIn[other] != r) {
          seenIn[other] = r;
          slot[other] = static_cast<std::int64_t>(graph.edges_.size());
          graph.edges_.push_back({other, e->sum});
        } else {
          Tie& sum = graph.edges_[slot[other]].sum;
          sum.tie += e->sum.tie;
          sum.count += e->sum.count;
        }
      }
    }
    std::sort(graph.edges_.begin() + rowStart, graph.edges_.end(),
              [](const Edge& x, const Edge& y) { return x.other < y.other; });
    graph.starts_[r + 1] = static_cast<std::int64_t>(graph.edges_.size());
  }
  return graph;
}

std::int32_t linkedComponents(const std::vector<std::int32_t>& link,
                              std::vector<std::int32_t>& into) {
  const std::int32_t n = static_cast<std::int32_t>(link.size());
  std::vector<std::int32_t> parent(link.size());
  std::iota(parent.begin(), parent.end(), 0);
  auto root = [&](std::int32_t a) {
    while (parent[a] != a) {
      parent[a] = parent[parent[a]];
      a = parent[a];
    }
    return a;
  };
  for (std::int32_t a = 0; a < n; ++a) {
    const std::int32_t x = root(a), y = root(link[a]);
    if (x != y)
      parent[std::max(x, y)] = std::min(x, y);
  }
  // Roots are their component's lowest region, so numbering roots as they come numbers the
  // components by their lowest region.
  into.assign(link.size(), -1);
  std::int32_t count = 0;
  for (std::int32_t a = 0; a < n; ++a) {
    const std::int32_t r = root(a);
    if (into[r] < 0)
      into[r] = count++;
    into[a] = into[r];
  }
  return count;
}

}  // namespace quorvane::segment
