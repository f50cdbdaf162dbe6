// The segmentation's steps after the basins (core/segment/), for quorvane._quorvane:
//
//   merge_regions(basins, count, data, indices, indptr, smallest, above=0.5, workers=-1)
//       -> (regions, merged_count, rounds): average linkage of the basins' graph over the
//       weights; regions (int64, one per basin) the merged region of each basin.
//   find_segments(labels, values, data, indices, indptr, smallest, passes=3, workers=-1)
//       -> (segments, count): whole segments of the merged labels (H, W), borders settled on
//       the values (H, W) or (H, W, C), whole segments again; segments int64 (H, W).
//   whole_segments(labels, data, indices, indptr, smallest, workers=-1) -> (segments, count)
//   connected_segments(labels) -> (pieces, count)
//   settle_borders(segments, values, passes=3) -> segments
//
// For weights shared out among processes, the region sums come a chunk of columns at a time:
//   sum_chunks(indptr, entries=SUM_CHUNK_ENTRIES) -> [(first, last), ...]: the chunks of the
//       whole matrix's columns, the ones the functions above take.
//   disc_chunks(rows, cols, radius, entries=SUM_CHUNK_ENTRIES) -> (chunks, begins): those of
//       the disc pattern's matrix, without making it, and the entry each chunk begins at.
//   chunk_ties(labels, count, data, indices, indptr, chunks, among=None, workers=-1, run=None)
//       -> one structured array a chunk (a, b, sum.tie, sum.count; keys ascending), or with
//       run=(first, total), the chunks being chunks first ... of total, their partial sums
//       [(level, index, ties), ...]: far fewer keys to pass on.
//   merge_summed_regions(basins, count, ties_of, smallest, above=0.5) and
//   find_summed_segments(labels, values, ties_of, smallest, passes=3): merge_regions and
//       find_segments over the sums ties_of(labels, count, among) returns: the chunk_ties of
//       every chunk of the whole matrix in the chunks' order, or (total, partial sums of
//       every run of them); the core adds them up pairwise as it adds up its own chunks, so
//       the same chunks give the same bits.
//
// The weights are quorvane's matrix over the pixels in C order, as compressed columns (data
// float64, indices and indptr both int32 or both int64). Labels are any integer arrays of
// values 0 ... 2^31 - 1; basins below count. Everything is checked here or, for the row
// pixels, by the core as it reads them; the core runs without the GIL on copies of what it
// must trust (labels, column starts).

#include "segment_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "segment/merging.h"
#include "segment/region_graph.h"
#include "segment/region_ties.h"
#include "segment/settle_borders.h"
#include "segment/whole_segments.h"
#include "thread_workers.h"

namespace py = pybind11;
namespace seg = quorvane::segment;

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using ValueArray = py::array_t<double, py::array::c_style>;

// A copy of an integer array's values as int32 labels, each 0 <= label < below.
std::vector<std::int32_t> labelsOf(const py::array& array, const char* name, std::int64_t below) {
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u')
    throw py::type_error(std::string(name) + " shall be an integer array");
  const Int64Array values = Int64Array::ensure(array);
  std::vector<std::int32_t> labels(static_cast<std::size_t>(values.size()));
  const std::int64_t* v = values.data();
  for (std::size_t p = 0; p < labels.size(); ++p) {
    if (v[p] < 0 || v[p] >= below)
      throw py::value_error(std::string(name) + " shall hold values 0 ... " +
                            std::to_string(below - 1));
    labels[p] = static_cast<std::int32_t>(v[p]);
  }
  return labels;
}

std::pair<std::int64_t, std::int64_t> imageShape(const py::array& array, const char* name) {
  if (array.ndim() != 2 || array.shape(0) == 0 || array.shape(1) == 0)
    throw py::value_error(std::string(name) + " shall be a non-empty 2-D array");
  return {array.shape(0), array.shape(1)};
}

// The picture's values: float64 C-contiguous (H, W) or (H, W, C); its channel count.
std::int64_t channelsOf(const py::array& values, std::int64_t h, std::int64_t w) {
  if (!py::isinstance<ValueArray>(values) || (values.ndim() != 2 && values.ndim() != 3))
    throw py::type_error("values shall be a C-contiguous float64 (H, W) or (H, W, C) array");
  if (values.shape(0) != h || values.shape(1) != w || (values.ndim() == 3 && values.shape(2) < 1))
    throw py::value_error("values shall have the labels' shape (H, W) or (H, W, C)");
  return values.ndim() == 3 ? values.shape(2) : 1;
}

// The weights held for the core: the caller's data and row indices (kept referenced; the
// core checks each row index as it reads it) and a checked copy of the column starts.
class Weights {
 public:
  Weights(const py::array& data, const py::array& indices, const py::array& indptr,
          std::int64_t pixels)
      : data_(data), indices_(indices), wide_(indices.dtype().is(py::dtype::of<std::int64_t>())) {
    if (!py::isinstance<ValueArray>(data) || data.ndim() != 1)
      throw py::type_error("data shall be a 1-D C-contiguous float64 array");
    const bool narrow = indices.dtype().is(py::dtype::of<std::int32_t>());
    if ((!narrow && !wide_) || !indptr.dtype().is(indices.dtype()) || indices.ndim() != 1 ||
        indptr.ndim() != 1 || !(indices.flags() & py::array::c_style) ||
        !(indptr.flags() & py::array::c_style))
      throw py::type_error(
          "indices and indptr shall be 1-D C-contiguous arrays, both int32 or "
          "both int64");
    if (indptr.size() != pixels + 1)
      throw py::value_error("indptr shall have one more element than there are pixels (" +
                            std::to_string(pixels + 1) + "), got " + std::to_string(indptr.size()));
    const Int64Array starts = Int64Array::ensure(indptr);
    const std::int64_t* s = starts.data();
    const std::int64_t entries = std::min<std::int64_t>(indices.size(), data.size());
    for (std::int64_t j = 0; j <= pixels; ++j) {
      if (s[j] < 0 || (j > 0 && s[j] < s[j - 1]) || s[j] > entries)
        throw py::value_error("indptr shall not decrease and stay within indices and data");
    }
    if (wide_)
      wideStarts_.assign(s, s + pixels + 1);
    else
      narrowStarts_.assign(s, s + pixels + 1);
    pixels_ = pixels;
  }

  // Calls use(ColumnWeights<Index>) with the weights' own index type.
  template <typename Use>
  auto with(const Use& use) const {
    const auto* values = static_cast<const double*>(data_.data());
    if (wide_) {
      return use(seg::ColumnWeights<std::int64_t>{
          pixels_, wideStarts_.data(), static_cast<const std::int64_t*>(indices_.data()), values});
    }
    return use(seg::ColumnWeights<std::int32_t>{
        pixels_, narrowStarts_.data(), static_cast<const std::int32_t*>(indices_.data()), values});
  }

  // All of the weights' sums, the chunks on `threads` threads.
  seg::SumWeights sums(int threads) const {
    return with([threads](auto weights) {
      return seg::chunkedSums(weights, quorvane::threadWorkers(threads));
    });
  }

 private:
  py::array data_, indices_;
  bool wide_;
  std::int64_t pixels_ = 0;
  std::vector<std::int32_t> narrowStarts_;
  std::vector<std::int64_t> wideStarts_;
};

constexpr const char* kBadRows = "indices shall hold pixel numbers below the pixel count";

constexpr std::int64_t kLabelLimit = std::numeric_limits<std::int32_t>::max();

py::array_t<std::int64_t> imageOf(const std::vector<std::int32_t>& labels, std::int64_t h,
                                  std::int64_t w) {
  py::array_t<std::int64_t> out({h, w});
  std::int64_t* o = out.mutable_data();
  for (std::size_t p = 0; p < labels.size(); ++p)
    o[p] = labels[p];
  return out;
}

// The tie sums as Python holds them: one structured array a chunk, fields a, b (int32) and
// sum (tie float64, count int64), keys ascending, as the core's entries lie in memory.
using TiesArray = py::array_t<seg::RegionSums::Entry, py::array::c_style>;

TiesArray tiesArray(const seg::RegionTies& ties) {
  TiesArray array(static_cast<py::ssize_t>(ties.size()));
  std::copy(ties.begin(), ties.end(), array.mutable_data());
  return array;
}

// A chunk's ties from Python (chunk_ties' arrays, over regions 0 ... count - 1).
seg::RegionTies tiesOf(const py::handle& part, std::int32_t count) {
  constexpr const char* kBadTies =
      "ties_of shall return a list of chunk_ties' arrays: keys of regions 0 ... count - 1, "
      "ascending, with counts of 0 or more";
  if (!py::isinstance<TiesArray>(part))
    throw py::type_error(kBadTies);
  const auto array = py::reinterpret_borrow<TiesArray>(part);
  if (array.ndim() != 1)
    throw py::value_error(kBadTies);
  seg::RegionTies ties(array.data(), array.data() + array.size());
  for (std::size_t e = 0; e < ties.size(); ++e) {
    const auto& t = ties[e];
    const bool after = e == 0 || seg::RegionSums::keyBefore(ties[e - 1], t);
    if (t.a < 0 || t.a >= count || t.b < 0 || t.b >= count || t.sum.count < 0 || !after)
      throw py::value_error(kBadTies);
  }
  return ties;
}

// The sum of chunk ties as ties_of gives them (see askedSums), over regions 0 ... count - 1.
// With letGo (told is held here alone), the partial sums of a list that nothing else holds
// are let go once copied (the items become None), so that they are not held twice.
seg::RegionTies summedTies(const py::object& told, std::int32_t count, bool letGo = false) {
  seg::RegionTies ties;
  if (py::isinstance<py::tuple>(told)) {
    const auto [chunks, partial] = told.cast<std::pair<std::int64_t, py::list>>();
    const bool unseen = letGo && partial.ref_count() == 2;  // the tuple's and this one
    std::vector<seg::TiesNode> nodes;
    for (std::size_t k = 0; k < partial.size(); ++k) {
      const auto [level, index, part] =
          partial[k].cast<std::tuple<int, std::int64_t, py::object>>();
      nodes.push_back({level, index, tiesOf(part, count)});
      if (unseen)
        partial[k] = py::none();
    }
    if (!seg::addedUp(std::move(nodes), chunks, ties))
      throw py::value_error("the partial sums shall cover each of the chunks once");
    return ties;
  }
  std::vector<seg::RegionTies> summed;
  for (const py::handle part : told)
    summed.push_back(tiesOf(part, count));
  return seg::addedUp(std::move(summed));
}

// SumWeights that asks Python: ties_of(labels, count, among) returns the chunk ties of all of
// the weights, either every chunk's in the chunks' order (chunk_ties' list) or, as processes
// that each hold a run of the chunks pass them on, (chunks, partial sums): the chunk count
// and chunk_ties' partial sums of every run, (level, index, ties) each. The core adds them up
// in one order whoever summed what. Called with the GIL held.
seg::SumWeights askedSums(const py::function& tiesOf_, std::int64_t pixels) {
  return [tiesOf_, pixels](const std::int32_t* labels, std::int32_t count,
                           const std::uint8_t* among, seg::RegionTies& ties) {
    py::array_t<std::int32_t> flat(static_cast<py::ssize_t>(pixels));
    std::copy(labels, labels + pixels, flat.mutable_data());
    py::object flags = py::none();
    if (among != nullptr) {
      py::array_t<bool> chosen(static_cast<py::ssize_t>(count));
      for (std::int32_t a = 0; a < count; ++a)
        chosen.mutable_data()[a] = among[a] != 0;
      flags = chosen;
    }
    const py::object told = tiesOf_(flat, count, flags);
    ties = summedTies(told, count, told.ref_count() == 1);
    return true;
  };
}

std::int32_t checkedCount(std::int64_t count) {
  if (count < 1 || count > kLabelLimit)
    throw py::value_error("count shall be 1 ... 2^31 - 1");
  return static_cast<std::int32_t>(count);
}

py::tuple mergedTuple(const seg::Merged& merged, std::int64_t count) {
  py::array_t<std::int64_t> regions(static_cast<py::ssize_t>(count));
  std::int64_t* r = regions.mutable_data();
  for (std::size_t b = 0; b < merged.region.size(); ++b)
    r[b] = merged.region[b];
  return py::make_tuple(regions, merged.count, merged.rounds);
}

py::tuple mergeRegions(const py::array& basins, std::int64_t count, const py::array& data,
                       const py::array& indices, const py::array& indptr, std::int64_t smallest,
                       double above, int workers) {
  const std::int32_t n = checkedCount(count);
  const std::vector<std::int32_t> labels = labelsOf(basins, "basins", count);
  const Weights weights(data, indices, indptr, static_cast<std::int64_t>(labels.size()));
  const seg::SumWeights sums = weights.sums(threadsOf(workers));
  seg::Merged merged;
  bool usable = true;
  {
    py::gil_scoped_release release;
    usable = seg::mergeBasins(labels.data(), static_cast<std::int64_t>(labels.size()), n, sums,
                              smallest, merged, above);
  }
  if (!usable)
    throw py::value_error(kBadRows);
  return mergedTuple(merged, count);
}

py::tuple mergeSummedRegions(const py::array& basins, std::int64_t count,
                             const py::function& tiesOf_, std::int64_t smallest, double above) {
  const std::int32_t n = checkedCount(count);
  const std::vector<std::int32_t> labels = labelsOf(basins, "basins", count);
  seg::Merged merged;
  const auto pixels = static_cast<std::int64_t>(labels.size());
  seg::mergeBasins(labels.data(), pixels, n, askedSums(tiesOf_, pixels), smallest, merged, above);
  return mergedTuple(merged, count);
}

py::tuple findSegments(const py::array& labels, const py::array& values, const py::array& data,
                       const py::array& indices, const py::array& indptr, std::int64_t smallest,
                       int passes, int workers) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::int64_t channels = channelsOf(values, h, w);
  const std::vector<std::int32_t> merged = labelsOf(labels, "labels", kLabelLimit);
  const Weights weights(data, indices, indptr, h * w);
  const seg::SumWeights sums = weights.sums(threadsOf(workers));
  std::vector<std::int32_t> segments(merged.size());
  std::int32_t count = 0;
  {
    const auto* v = static_cast<const double*>(values.data());
    py::gil_scoped_release release;
    count = seg::findSegments(h, w, merged.data(), channels, v, smallest, sums, segments.data(),
                              passes);
  }
  if (count < 0)
    throw py::value_error(kBadRows);
  return py::make_tuple(imageOf(segments, h, w), count);
}

py::tuple findSummedSegments(const py::array& labels, const py::array& values,
                             const py::function& tiesOf_, std::int64_t smallest, int passes) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::int64_t channels = channelsOf(values, h, w);
  const std::vector<std::int32_t> merged = labelsOf(labels, "labels", kLabelLimit);
  std::vector<std::int32_t> segments(merged.size());
  const auto* v = static_cast<const double*>(values.data());
  const std::int32_t count = seg::findSegments(h, w, merged.data(), channels, v, smallest,
                                               askedSums(tiesOf_, h * w), segments.data(), passes);
  return py::make_tuple(imageOf(segments, h, w), count);
}

py::tuple wholeSegments(const py::array& labels, const py::array& data, const py::array& indices,
                        const py::array& indptr, std::int64_t smallest, int workers) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::vector<std::int32_t> merged = labelsOf(labels, "labels", kLabelLimit);
  const Weights weights(data, indices, indptr, h * w);
  const seg::SumWeights sums = weights.sums(threadsOf(workers));
  std::vector<std::int32_t> segments(merged.size());
  std::int32_t count = 0;
  {
    py::gil_scoped_release release;
    count = seg::wholeSegments(h, w, merged.data(), smallest, sums, segments.data());
  }
  if (count < 0)
    throw py::value_error(kBadRows);
  return py::make_tuple(imageOf(segments, h, w), count);
}

py::list sumChunks(const py::array& indptr, std::int64_t entries) {
  if (entries < 1)
    throw py::value_error("entries shall be at least 1");
  if (indptr.ndim() != 1 || indptr.size() < 1 ||
      (indptr.dtype().kind() != 'i' && indptr.dtype().kind() != 'u'))
    throw py::type_error("indptr shall be a 1-D integer array of one or more column starts");
  const Int64Array starts = Int64Array::ensure(indptr);
  const std::int64_t* s = starts.data();
  for (py::ssize_t j = 1; j < starts.size(); ++j) {
    if (s[j] < s[j - 1] || s[0] < 0)
      throw py::value_error("indptr shall not decrease");
  }
  py::list chunks;
  for (const seg::ColumnChunk& c : seg::sumChunks(s, starts.size() - 1, entries))
    chunks.append(py::make_tuple(c.first, c.last));
  return chunks;
}

TiesArray addedTies(const py::object& ties, std::int64_t count) {
  return tiesArray(summedTies(ties, checkedCount(count)));
}

py::tuple discChunks(std::int64_t h, std::int64_t w, double radius, std::int64_t entries) {
  if (h < 1 || w < 1 || h * w > std::numeric_limits<std::int32_t>::max() || !(radius >= 0.0) ||
      entries < 1)
    throw py::value_error(
        "the shape shall be positive with fewer than 2^31 pixels, the radius at least 0, "
        "entries at least 1");
  std::vector<std::int64_t> begins;
  std::vector<seg::ColumnChunk> found;
  {
    py::gil_scoped_release release;
    found = seg::discChunks(w, h, radius, entries, begins);
  }
  py::list chunks;
  for (const seg::ColumnChunk& c : found)
    chunks.append(py::make_tuple(c.first, c.last));
  py::array_t<std::int64_t> starts(static_cast<py::ssize_t>(begins.size()));
  std::copy(begins.begin(), begins.end(), starts.mutable_data());
  return py::make_tuple(chunks, starts);
}

py::list chunkTies(const py::array& labels, std::int64_t count, const py::array& data,
                   const py::array& indices, const py::array& indptr, const py::iterable& chunks,
                   const py::object& among, int workers, const py::object& run) {
  const std::int32_t n = checkedCount(count);
  const std::vector<std::int32_t> flat = labelsOf(labels, "labels", count);
  const auto pixels = static_cast<std::int64_t>(flat.size());
  const Weights weights(data, indices, indptr, pixels);
  std::vector<seg::ColumnChunk> taken;
  for (const py::handle chunk : chunks) {
    const auto [first, last] = chunk.cast<std::pair<std::int64_t, std::int64_t>>();
    if (first < 0 || last <= first || last > pixels)
      throw py::value_error("chunks shall be (first, last) column ranges, 0 <= first < last <= " +
                            std::to_string(pixels));
    taken.push_back({first, last});
  }
  std::vector<std::uint8_t> flags;
  if (!among.is_none()) {
    using Flags = py::array_t<bool, py::array::c_style | py::array::forcecast>;
    const Flags chosen = Flags::ensure(among);
    if (!chosen || chosen.ndim() != 1 || chosen.size() != count)
      throw py::value_error("among shall be None or one flag per region (" + std::to_string(count) +
                            ")");
    flags.assign(chosen.data(), chosen.data() + count);
  }
  const int threads = threadsOf(workers);
  std::vector<seg::RegionTies> ties;
  bool usable = true;
  {
    py::gil_scoped_release release;
    usable = weights.with([&](auto w) {
      return seg::chunkTies(w, taken, flat.data(), n, flags.empty() ? nullptr : flags.data(),
                            quorvane::threadWorkers(threads), ties);
    });
  }
  if (!usable)
    throw py::value_error(kBadRows);
  py::list parts;
  if (run.is_none()) {
    for (const seg::RegionTies& part : ties)
      parts.append(tiesArray(part));
    return parts;
  }
  const auto [first, total] = run.cast<std::pair<std::int64_t, std::int64_t>>();
  if (first < 0 || total < first + static_cast<std::int64_t>(ties.size()) || total < 1)
    throw py::value_error("run shall be (first, total): the chunks are chunks first ... of total");
  for (const seg::TiesNode& node : seg::partialSums(std::move(ties), first, total))
    parts.append(py::make_tuple(node.level, node.index, tiesArray(node.ties)));
  return parts;
}

py::tuple connectedSegments(const py::array& labels) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::vector<std::int32_t> image = labelsOf(labels, "labels", kLabelLimit);
  std::vector<std::int32_t> pieces(image.size());
  std::int32_t count = 0;
  {
    py::gil_scoped_release release;
    count = seg::connectedSegments(h, w, image.data(), pieces.data());
  }
  return py::make_tuple(imageOf(pieces, h, w), count);
}

py::array_t<std::int64_t> settleBorders(const py::array& segments, const py::array& values,
                                        int passes) {
  const auto [h, w] = imageShape(segments, "segments");
  const std::int64_t channels = channelsOf(values, h, w);
  std::vector<std::int32_t> settled = labelsOf(segments, "segments", kLabelLimit);
  {
    const auto* v = static_cast<const double*>(values.data());
    py::gil_scoped_release release;
    seg::settleBorders(h, w, channels, v, settled.data(), passes);
  }
  return imageOf(settled, h, w);
}

}  // namespace

void defineRegionSteps(py::module_& module) {
  PYBIND11_NUMPY_DTYPE(seg::Tie, tie, count);
  PYBIND11_NUMPY_DTYPE(seg::RegionSums::Entry, a, b, sum);
  module.def("merge_regions", &mergeRegions, py::arg("basins"), py::arg("count"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"), py::arg("above") = 0.5,
             py::arg("workers") = -1,
             "(regions, merged_count, rounds): average linkage of the basins over the weights.");
  module.def("merge_summed_regions", &mergeSummedRegions, py::arg("basins"), py::arg("count"),
             py::arg("ties_of"), py::arg("smallest"), py::arg("above") = 0.5,
             "merge_regions over the sums ties_of(labels, count, among) returns: every chunk's "
             "chunk_ties of all of the weights in the chunks' order, or (chunks, the partial "
             "sums of every run of them).");
  module.def("find_segments", &findSegments, py::arg("labels"), py::arg("values"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"), py::arg("passes") = 3,
             py::arg("workers") = -1,
             "(segments, count): whole segments, settled borders, whole segments again.");
  module.def("find_summed_segments", &findSummedSegments, py::arg("labels"), py::arg("values"),
             py::arg("ties_of"), py::arg("smallest"), py::arg("passes") = 3,
             "find_segments over the sums ties_of returns (see merge_summed_regions).");
  module.def("whole_segments", &wholeSegments, py::arg("labels"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"), py::arg("workers") = -1,
             "(segments, count): the pieces of labels, small ones joined to touching ones.");
  module.attr("SUM_CHUNK_ENTRIES") = seg::kChunkEntries;
  module.def("sum_chunks", &sumChunks, py::arg("indptr"), py::arg("entries") = seg::kChunkEntries,
             "The (first, last) column ranges in which the region sums take a matrix of these "
             "column starts, about `entries` entries each, in order.");
  module.def("disc_chunks", &discChunks, py::arg("rows"), py::arg("cols"), py::arg("radius"),
             py::arg("entries") = seg::kChunkEntries,
             "(chunks, begins): sum_chunks of the disc pattern's column starts over an image of "
             "rows x cols, found without making the pattern, and the entry each chunk begins at "
             "(one more: the pattern's entry count).");
  module.def("chunk_ties", &chunkTies, py::arg("labels"), py::arg("count"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("chunks"),
             py::arg("among") = py::none(), py::arg("workers") = -1, py::arg("run") = py::none(),
             "Each chunk's region sums over the weights' columns (one structured array a chunk: "
             "a, b, sum.tie, sum.count, keys ascending); with run=(first, total), the chunks as "
             "chunks first ... of total, their partial sums (level, index, ties) instead.");
  module.def("added_ties", &addedTies, py::arg("ties"), py::arg("count"),
             "The sum of chunk ties (a list of chunk_ties' arrays, or (total, partial sums)) "
             "over regions 0 ... count - 1, added up as the merging adds them up.");
  module.def("connected_segments", &connectedSegments, py::arg("labels"),
             "(pieces, count): the 4-connected pieces, numbered by their first pixel.");
  module.def("settle_borders", &settleBorders, py::arg("segments"), py::arg("values"),
             py::arg("passes") = 3,
             "The segments with border pixels moved to the neighbouring segment of nearest mean.");
}
