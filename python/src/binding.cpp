// quorvane._quorvane: the weight computation over numpy arrays. The pure-Python package
// (python/quorvane/__init__.py) converts and range-checks the caller's arrays and builds the
// scipy.sparse matrix; this module checks again everything the core relies on, allocates the
// result's numpy arrays and lets the core fill them in place with the GIL released.
//
// Pixels are numbered in numpy's C order: for an (H, W) image, pixel p is at row p / W and
// column p % W. Read column-major, that buffer is the W x H transposed image, so the core
// runs on a grid of nr = W rows and nc = H columns, with no copy of the images.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "build_weight_matrix.h"
#include "disc_pattern.h"
#include "pattern_check.h"

namespace py = pybind11;

namespace {

using ImageArray = py::array_t<double, py::array::c_style>;
using PatternArray = py::array_t<std::uint32_t, py::array::c_style>;

constexpr std::uint64_t kMaxEntries = std::numeric_limits<std::uint32_t>::max();

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

template <typename Index>
py::tuple fill(const quorvane::PixelGrid& grid, const double* magnitude, const double* phase,
               const quorvane::IndexPair& pattern, std::optional<double> sigma,
               std::size_t entries) {
  py::array_t<double> data(static_cast<py::ssize_t>(entries));
  py::array_t<Index> indices(static_cast<py::ssize_t>(entries));
  py::array_t<Index> indptr(static_cast<py::ssize_t>(grid.np) + 1);
  const quorvane::WeightMatrix<Index> out{data.mutable_data(), indices.mutable_data(),
                                          indptr.mutable_data()};
  {
    // Inputs and outputs stay referenced by this frame; the core touches no Python object.
    py::gil_scoped_release release;
    quorvane::buildWeightMatrix<Index>(grid, magnitude, phase, pattern, sigma, out);
  }
  return py::make_tuple(data, indices, indptr);
}

// The (data, indices, indptr) of the weight matrix. Index arrays are int32 when the entry
// count and the pixel count are at most int32Limit (2^31 - 1 from the package; tests lower
// it to reach the int64 path with small images), int64 otherwise.
//
// The index arrays must be private to the call (the package passes fresh copies): nothing
// may change them between the check and the computation, which runs without the GIL.
py::tuple weights(const py::array& magnitude, const py::array& phase, const py::array& indices,
                  const py::array& indptr, std::optional<double> sigma, std::int64_t int32Limit) {
  const auto [h, w] = checkImages(magnitude, phase);
  const PatternArray ir = checkPatternArray(indices, "indices");
  const PatternArray jc = checkPatternArray(indptr, "indptr");
  const quorvane::PixelGrid grid = quorvane::makePixelGrid(w, h);
  if (jc.size() != static_cast<py::ssize_t>(grid.np) + 1) {
    throw py::value_error("indptr shall have " + std::to_string(grid.np + std::int64_t{1}) +
                          " elements (one more than the pixel count), got " +
                          std::to_string(jc.size()));
  }
  const quorvane::IndexPair pattern{ir.data(), jc.data()};
  const quorvane::PatternFault fault =
      quorvane::checkPattern(grid, pattern, static_cast<std::size_t>(ir.size()));
  if (fault != quorvane::PatternFault::kNone)
    throw py::value_error(patternMessage(fault));

  const std::size_t entries = pattern.jc[grid.np] - pattern.jc[0];
  const auto* m = static_cast<const double*>(magnitude.data());
  const auto* q = static_cast<const double*>(phase.data());
  if (static_cast<std::int64_t>(entries) <= int32Limit && grid.np <= int32Limit)
    return fill<std::int32_t>(grid, m, q, pattern, sigma, entries);
  return fill<std::int64_t>(grid, m, q, pattern, sigma, entries);
}

// Pattern of every pixel within Euclidean distance radius of each pixel (itself included),
// over an (h, w) image in C order, each column sorted. In C order the image is the w x h
// column-major one, whose disc pattern is the same arrays.
py::tuple diskPattern(std::int64_t h, std::int64_t w, double radius) {
  if (h <= 0 || w <= 0)
    throw py::value_error("shape shall hold two positive sizes");
  if (h > quorvane::kMaxPixels / w)
    throw py::value_error("shape shall have fewer than 2^31 pixels");
  if (!(radius >= 0.0))
    throw py::value_error("radius shall be a non-negative number");

  std::uint64_t total = 0;
  {
    py::gil_scoped_release release;
    total = quorvane::discPatternEntries(w, h, radius);
  }
  if (total > kMaxEntries)
    throw py::value_error("the pattern would have 2^32 or more entries");

  PatternArray indices(static_cast<py::ssize_t>(total));
  PatternArray indptr(static_cast<py::ssize_t>(h * w) + 1);
  std::uint32_t* ir = indices.mutable_data();
  std::uint32_t* jc = indptr.mutable_data();
  {
    py::gil_scoped_release release;
    quorvane::fillDiscPattern(w, h, radius, ir, jc);
  }
  return py::make_tuple(indices, indptr);
}

}  // namespace

PYBIND11_MODULE(_quorvane, module) {
  module.doc() = "Compiled core of quorvane; use the functions of the quorvane package.";
  module.def("weights", &weights, py::arg("magnitude"), py::arg("phase"), py::arg("indices"),
             py::arg("indptr"), py::arg("sigma"), py::arg("int32_limit"),
             "(data, indices, indptr) of the weight matrix; see quorvane.weights.");
  module.def("disk_pattern", &diskPattern, py::arg("rows"), py::arg("cols"), py::arg("radius"),
             "(indices, indptr) of the disc pattern; see quorvane.disk_pattern.");
}
