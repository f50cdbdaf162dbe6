// The segmentation's steps after the basins (core/segment/), for quorvane._quorvane:
//
//   merge_regions(basins, count, data, indices, indptr, smallest, above=0.5)
//       -> (regions, merged_count, rounds): average linkage of the basins' graph over the
//       weights; regions (int64, one per basin) the merged region of each basin.
//   find_segments(labels, values, data, indices, indptr, smallest, passes=3)
//       -> (segments, count): whole segments of the merged labels (H, W), borders settled on
//       the values (H, W) or (H, W, C), whole segments again; segments int64 (H, W).
//   whole_segments(labels, data, indices, indptr, smallest) -> (segments, count)
//   connected_segments(labels) -> (pieces, count)
//   settle_borders(segments, values, passes=3) -> segments
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
#include <vector>

#include "segment/merging.h"
#include "segment/region_graph.h"
#include "segment/settle_borders.h"
#include "segment/whole_segments.h"

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

  // Adds the whole matrix to sums (without the GIL).
  bool addTo(seg::RegionSums& sums) const {
    const auto* values = static_cast<const double*>(data_.data());
    if (wide_) {
      return sums.add(0, pixels_, wideStarts_.data(),
                      static_cast<const std::int64_t*>(indices_.data()), values);
    }
    return sums.add(0, pixels_, narrowStarts_.data(),
                    static_cast<const std::int32_t*>(indices_.data()), values);
  }

  seg::AddWeights adder() const {
    return [this](seg::RegionSums& sums) { return addTo(sums); };
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

py::tuple mergeRegions(const py::array& basins, std::int64_t count, const py::array& data,
                       const py::array& indices, const py::array& indptr, std::int64_t smallest,
                       double above) {
  if (count < 1 || count > kLabelLimit)
    throw py::value_error("count shall be 1 ... 2^31 - 1");
  const std::vector<std::int32_t> labels = labelsOf(basins, "basins", count);
  const std::int64_t pixels = static_cast<std::int64_t>(labels.size());
  const Weights weights(data, indices, indptr, pixels);
  seg::Merged merged;
  bool usable = true;
  {
    py::gil_scoped_release release;
    seg::RegionSums sums(pixels, labels.data(), static_cast<std::int32_t>(count));
    usable = weights.addTo(sums);
    if (usable) {
      std::vector<std::int64_t> areas(static_cast<std::size_t>(count), 0);
      for (std::int32_t b : labels)
        ++areas[b];
      merged = seg::mergeRegions(seg::RegionGraph::of(sums, std::move(areas)), smallest, above);
    }
  }
  if (!usable)
    throw py::value_error(kBadRows);
  py::array_t<std::int64_t> regions(static_cast<py::ssize_t>(count));
  std::int64_t* r = regions.mutable_data();
  for (std::size_t b = 0; b < merged.region.size(); ++b)
    r[b] = merged.region[b];
  return py::make_tuple(regions, merged.count, merged.rounds);
}

py::tuple findSegments(const py::array& labels, const py::array& values, const py::array& data,
                       const py::array& indices, const py::array& indptr, std::int64_t smallest,
                       int passes) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::int64_t channels = channelsOf(values, h, w);
  const std::vector<std::int32_t> merged = labelsOf(labels, "labels", kLabelLimit);
  const Weights weights(data, indices, indptr, h * w);
  std::vector<std::int32_t> segments(merged.size());
  std::int32_t count = 0;
  {
    const auto* v = static_cast<const double*>(values.data());
    py::gil_scoped_release release;
    count = seg::findSegments(h, w, merged.data(), channels, v, smallest, weights.adder(),
                              segments.data(), passes);
  }
  if (count < 0)
    throw py::value_error(kBadRows);
  return py::make_tuple(imageOf(segments, h, w), count);
}

py::tuple wholeSegments(const py::array& labels, const py::array& data, const py::array& indices,
                        const py::array& indptr, std::int64_t smallest) {
  const auto [h, w] = imageShape(labels, "labels");
  const std::vector<std::int32_t> merged = labelsOf(labels, "labels", kLabelLimit);
  const Weights weights(data, indices, indptr, h * w);
  std::vector<std::int32_t> segments(merged.size());
  std::int32_t count = 0;
  {
    py::gil_scoped_release release;
    count = seg::wholeSegments(h, w, merged.data(), smallest, weights.adder(), segments.data());
  }
  if (count < 0)
    throw py::value_error(kBadRows);
  return py::make_tuple(imageOf(segments, h, w), count);
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
  module.def("merge_regions", &mergeRegions, py::arg("basins"), py::arg("count"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"), py::arg("above") = 0.5,
             "(regions, merged_count, rounds): average linkage of the basins over the weights.");
  module.def("find_segments", &findSegments, py::arg("labels"), py::arg("values"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"), py::arg("passes") = 3,
             "(segments, count): whole segments, settled borders, whole segments again.");
  module.def("whole_segments", &wholeSegments, py::arg("labels"), py::arg("data"),
             py::arg("indices"), py::arg("indptr"), py::arg("smallest"),
             "(segments, count): the pieces of labels, small ones joined to touching ones.");
  module.def("connected_segments", &connectedSegments, py::arg("labels"),
             "(pieces, count): the 4-connected pieces, numbered by their first pixel.");
  module.def("settle_borders", &settleBorders, py::arg("segments"), py::arg("values"),
             py::arg("passes") = 3,
             "The segments with border pixels moved to the neighbouring segment of nearest mean.");
}
