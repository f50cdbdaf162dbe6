// quorvane._quorvane: the weight computation over numpy arrays. The pure-Python package
// (python/quorvane/__init__.py) converts and range-checks the caller's arrays and builds the
// scipy.sparse matrix; this module checks again everything the core relies on, copies what
// the core reads of the pattern, allocates the result's numpy arrays and lets the core fill
// them in place with the GIL released.
//
// Pixels are numbered in numpy's C order: for an (H, W) image, pixel p is at row p / W and
// column p % W. Read column-major, that buffer is the W x H transposed image, so the core
// runs on a grid of nr = W rows and nc = H columns, with no copy of the images.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "build_weight_matrix.h"
#include "disc_pattern.h"
#include "pattern_call_check.h"
#include "pattern_check.h"
#include "segment/watershed.h"
#include "segment_binding.h"
#include "thread_workers.h"

namespace py = pybind11;

namespace {

using ImageArray = py::array_t<double, py::array::c_style>;
using PatternArray = py::array_t<std::uint32_t, py::array::c_style>;

std::string shapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    text += std::to_string(array.shape(d));
    text += array.ndim() == 1 ? "," : (d + 1 < array.ndim() ? ", " : "");
  }
  return text + ")";
}

// Rows x columns of an image pair that the core can take, numpy's (H, W).
std::pair<std::int64_t, std::int64_t> checkImages(const py::array& magnitude,
                                                  const py::array& phase) {
  if (!py::isinstance<ImageArray>(magnitude) || !py::isinstance<ImageArray>(phase))
    throw py::type_error("magnitude and phase shall be C-contiguous float64 arrays");
  if (magnitude.ndim() != 2 || phase.ndim() != 2)
    throw py::value_error("magnitude and phase shall be 2-D arrays");
  if (magnitude.shape(0) != phase.shape(0) || magnitude.shape(1) != phase.shape(1)) {
    throw py::value_error("magnitude and phase shall have the same shape, got " +
                          shapeText(magnitude) + " and " + shapeText(phase));
  }
  const std::int64_t h = magnitude.shape(0), w = magnitude.shape(1);
  if (h == 0 || w == 0)
    throw py::value_error("magnitude and phase shall not be empty");
  if (h > quorvane::kMaxPixels / w)
    throw py::value_error("magnitude and phase shall have fewer than 2^31 pixels");
  return {h, w};
}

PatternArray checkPatternArray(const py::array& array, const char* name) {
  if (!py::isinstance<PatternArray>(array) || array.ndim() != 1)
    throw py::type_error(std::string(name) + " shall be a 1-D C-contiguous uint32 array");
  return py::reinterpret_borrow<PatternArray>(array);
}

const char* patternMessage(quorvane::PatternFault fault) {
  switch (fault) {
    case quorvane::PatternFault::kDecreasingColumnStarts:
      return "indptr shall not decrease";
    case quorvane::PatternFault::kTooFewRowIndices:
      return "indices shall hold at least indptr[-1] entries";
    case quorvane::PatternFault::kRowIndexOutOfRange:
      return "indices[indptr[0]:indptr[-1]] shall hold pixel numbers below the pixel count";
    case quorvane::PatternFault::kNone:
      break;
  }
  return "";
}

// The caller's column starts, copied and checked, and shifted to start at 0 (the same
// weights and row indices; the result's column starts). The computation runs without the
// GIL, so the caller's arrays may change meanwhile: it reads only copies, checked after
// copying. `first` is where the entries start in the caller's row indices.
struct CheckedStarts {
  PatternArray starts;
  std::uint32_t first;
};

CheckedStarts checkedStarts(const quorvane::PixelGrid& grid, const PatternArray& ir,
                            const PatternArray& jc) {
  PatternArray starts(jc.size());
  std::uint32_t* start = starts.mutable_data();
  std::memcpy(start, jc.data(), static_cast<std::size_t>(jc.size()) * sizeof(std::uint32_t));
  const quorvane::PatternFault fault =
      quorvane::checkColumnStarts(grid, start, static_cast<std::size_t>(ir.size()));
  if (fault != quorvane::PatternFault::kNone)
    throw py::value_error(patternMessage(fault));
  const std::uint32_t first = start[0];
  for (std::int32_t j = 0; j <= grid.np; ++j)
    start[j] -= first;
  return {starts, first};
}

// Copies `entries` row indices to `to` on up to `threads` threads (one for each million
// entries at most: smaller shares are copied before a thread would have started) and checks
// the copy.
void copyCheckedRows(const quorvane::PixelGrid& grid, const std::uint32_t* from,
                     std::uint32_t entries, std::uint32_t* to, int threads) {
  const int parts = static_cast<int>(std::max<std::uint32_t>(
      1, std::min<std::uint32_t>(entries >> 20, static_cast<std::uint32_t>(threads))));
  std::vector<unsigned char> below(static_cast<std::size_t>(parts));
  {
    py::gil_scoped_release release;
    auto copy = [&](int part, std::size_t begin, std::size_t end) {
      below[static_cast<std::size_t>(part)] = quorvane::copyRowIndicesBelow(
          from + begin, end - begin, static_cast<std::uint32_t>(grid.np), to + begin);
    };
    quorvane::splitOnThreads(entries, parts, copy);
  }
  if (std::find(below.begin(), below.end(), 0) != below.end())
    throw py::value_error(patternMessage(quorvane::PatternFault::kRowIndexOutOfRange));
}

// The core reads the row indices from a checked copy: with 4-byte indices the result's own
// (which then are in place, and the core writes none), with 8-byte ones a private array.
template <typename Index>
py::tuple fill(const quorvane::PixelGrid& grid, const double* magnitude, const double* phase,
               const std::uint32_t* ir, const CheckedStarts& pattern, std::optional<double> sigma,
               int threads) {
  const std::uint32_t entries = pattern.starts.data()[grid.np];
  py::array_t<double> data(static_cast<py::ssize_t>(entries));
  py::array_t<Index> indices(static_cast<py::ssize_t>(entries));
  py::array_t<Index> indptr(static_cast<py::ssize_t>(grid.np) + 1);
  constexpr bool kInPlace = sizeof(Index) == sizeof(std::uint32_t);
  PatternArray copy(kInPlace ? 0 : static_cast<py::ssize_t>(entries));
  std::uint32_t* rows = copy.mutable_data();
  if constexpr (kInPlace)
    rows = reinterpret_cast<std::uint32_t*>(indices.mutable_data());
  copyCheckedRows(grid, ir + pattern.first, entries, rows, threads);
  const quorvane::WeightMatrix<Index> out{
      data.mutable_data(), kInPlace ? nullptr : indices.mutable_data(), indptr.mutable_data()};
  {
    // Inputs and outputs stay referenced by this frame; the core touches no Python object.
    py::gil_scoped_release release;
    quorvane::WeightOptions options{sigma};
    options.engine.workers = quorvane::threadWorkers(threads);
    quorvane::buildWeightMatrix<Index>(
        grid, magnitude, phase, quorvane::Pattern{rows, pattern.starts.data()}, out, options);
  }
  return py::make_tuple(data, indices, indptr);
}

// The (data, indices, indptr) of the weight matrix. Index arrays are int32 when the entry
// count and the pixel count are at most int32Limit (2^31 - 1 from the package; tests lower
// it to reach the int64 path with small images), int64 otherwise. `workers` threads (-1:
// every processor this process may use) share the computation.
py::tuple weights(const py::array& magnitude, const py::array& phase, const py::array& indices,
                  const py::array& indptr, std::optional<double> sigma, std::int64_t int32Limit,
                  int workers) {
  if (workers < 1 && workers != -1)
    throw py::value_error("workers shall be a positive integer or -1, got " +
                          std::to_string(workers));
  const auto [h, w] = checkImages(magnitude, phase);
  const PatternArray ir = checkPatternArray(indices, "indices");
  const PatternArray jc = checkPatternArray(indptr, "indptr");
  const quorvane::PixelGrid grid = quorvane::makePixelGrid(w, h);
  if (jc.size() != static_cast<py::ssize_t>(grid.np) + 1) {
    throw py::value_error("indptr shall have " + std::to_string(grid.np + std::int64_t{1}) +
                          " elements (one more than the pixel count), got " +
                          std::to_string(jc.size()));
  }
  const CheckedStarts pattern = checkedStarts(grid, ir, jc);
  const std::uint32_t entries = pattern.starts.data()[grid.np];
  const int threads = workers == -1 ? quorvane::usableCores() : workers;
  const auto* m = static_cast<const double*>(magnitude.data());
  const auto* q = static_cast<const double*>(phase.data());
  if (entries <= int32Limit && grid.np <= int32Limit)
    return fill<std::int32_t>(grid, m, q, ir.data(), pattern, sigma, threads);
  return fill<std::int64_t>(grid, m, q, ir.data(), pattern, sigma, threads);
}

// The checks of core/pattern_call_check.h, with Python's texts, all raised as ValueError.
// The shape's pixel count is checked with the shape, before the radius.
quorvane::CheckedPatternCall checkDiscPattern(std::int64_t h, std::int64_t w, double radius,
                                              std::int64_t first, std::int64_t last) {
  quorvane::PatternCallFacts call;
  call.inputs = 3;
  call.outputs = 2;
  call.size = quorvane::PatternSize::kOneShape;
  call.rows = {true, static_cast<double>(h)};
  call.columns = {true, static_cast<double>(w)};
  call.radius = {true, radius};
  call.part = quorvane::PixelRange{first, last};
  const quorvane::CheckedPatternCall checked =
      quorvane::checkPatternCall(call, [](const quorvane::CheckedPatternCall& c) {
        py::gil_scoped_release release;
        return quorvane::discPatternEntries(c.columns, c.rows, c.radius, c.part);
      });
  if (checked.fault != quorvane::PatternCallFault::kNone)
    throw py::value_error(quorvane::patternCallText(checked.fault, quorvane::PatternHost::kPython));
  return checked;
}

// Pattern of every pixel within Euclidean distance radius of each pixel (itself included),
// over an (h, w) image in C order, each column sorted: the columns of the pixels first ...
// last - 1. In C order the image is the w x h column-major one, whose disc pattern is the
// same arrays.
py::tuple discPattern(std::int64_t h, std::int64_t w, double radius, std::int64_t first,
                      std::int64_t last) {
  const quorvane::CheckedPatternCall call = checkDiscPattern(h, w, radius, first, last);
  PatternArray indices(static_cast<py::ssize_t>(call.pairs));
  PatternArray indptr(static_cast<py::ssize_t>(last - first) + 1);
  std::uint32_t* ir = indices.mutable_data();
  std::uint32_t* jc = indptr.mutable_data();
  {
    py::gil_scoped_release release;
    quorvane::fillDiscPattern(w, h, radius, call.part, ir, jc);
  }
  return py::make_tuple(indices, indptr);
}

// The catchment basins of a C-contiguous float64 (H, W) strength image of finite values: an
// int32 (H, W) array of labels 0 ... count - 1, and count.
py::tuple basins(const py::array& strength) {
  if (!py::isinstance<ImageArray>(strength) || strength.ndim() != 2)
    throw py::type_error("strength shall be a C-contiguous 2-D float64 array");
  const std::int64_t h = strength.shape(0), w = strength.shape(1);
  py::array_t<std::int32_t> labels({h, w});
  std::int32_t count = 0;
  {
    const auto* values = static_cast<const double*>(strength.data());
    std::int32_t* out = labels.mutable_data();
    py::gil_scoped_release release;
    count = quorvane::segment::watershedBasins(h, w, values, out);
  }
  return py::make_tuple(labels, count);
}

}  // namespace

PYBIND11_MODULE(_quorvane, module) {
  module.doc() = "Compiled core of quorvane; use the functions of the quorvane package.";
  module.def("weights", &weights, py::arg("magnitude"), py::arg("phase"), py::arg("indices"),
             py::arg("indptr"), py::arg("sigma"), py::arg("int32_limit"), py::arg("workers") = 1,
             "(data, indices, indptr) of the weight matrix; see quorvane.weights.");
  // Patterns with fewer entries than this for each worker run on fewer threads (tests size
  // their patterns by it).
  module.attr("entries_per_worker") = quorvane::kEntriesPerWorker;
  module.def("disc_pattern", &discPattern, py::arg("rows"), py::arg("cols"), py::arg("radius"),
             py::arg("first"), py::arg("last"),
             "(indices, indptr) of the disc pattern; see quorvane.disc_pattern.");
  module.def("basins", &basins, py::arg("strength"),
             "(labels, count): the catchment basins of a strength image.");
  defineSegmentFunctions(module);
  defineRegionSteps(module);
}
