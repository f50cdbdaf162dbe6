// quorvane._quorvane's segmentation steps over numpy arrays: boundary_strength and crests
// (core/segment/boundary_strength.h). The arrays are checked here, the results allocated here
// and filled by the core with the GIL released; the core reads the caller's arrays in place,
// so the caller must not change them meanwhile.

#include "segment_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "disc_pattern.h"
#include "fresh_memory.h"
#include "pixel_grid.h"
#include "segment/boundary_strength.h"
#include "segment/segmentation.h"
#include "thread_workers.h"

namespace py = pybind11;

int threadsOf(int workers) {
  if (workers < 1 && workers != -1)
    throw py::value_error("workers shall be a positive integer or -1, got " +
                          std::to_string(workers));
  return workers == -1 ? quorvane::usableCores() : workers;
}

namespace {

using ImageArray = py::array_t<double, py::array::c_style>;

bool allFinite(const double* values, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (!std::isfinite(values[i]))
      return false;
  }
  return true;
}

// A ValueError naming the first setting the core's rule refuses for a picture of h x w.
void checkSettings(std::initializer_list<std::pair<const char*, double>> settings, std::int64_t h,
                   std::int64_t w) {
  const double largerSide = static_cast<double>(std::max(h, w));
  for (const auto& [name, value] : settings) {
    if (const char* rule = quorvane::segment::settingRule(name, value, largerSide)) {
      const std::string bound = rule == std::string("finite") || std::string(name) != "scale"
                                    ? ""
                                    : " (" + std::to_string(std::max(h, w)) + ")";
      throw py::value_error(std::string(name) + " shall be " + rule + bound + ", got " +
                            py::repr(py::float_(value)).cast<std::string>());
    }
  }
}

// A C-contiguous float64 (H, W) or (H, W, C) picture, C of 1, 3 or 4, as the core reads it
// (quorvane.segment.picture_values): (H, W) grey or (H, W, 3) colour values, or a ValueError
// with the core's message.
ImageArray pictureValues(const py::array& values) {
  if (!py::isinstance<ImageArray>(values) || !(values.ndim() == 2 || values.ndim() == 3))
    throw py::type_error("values shall be a C-contiguous float64 (H, W) or (H, W, C) array");
  const int channels = values.ndim() == 3 ? static_cast<int>(values.shape(2)) : 1;
  const std::int64_t h = values.shape(0), w = values.shape(1);
  quorvane::segment::PictureValues picture;
  {
    const auto* data = static_cast<const double*>(values.data());
    py::gil_scoped_release release;
    picture = quorvane::segment::pictureValues(h, w, channels, data);
  }
  if (picture.fault != quorvane::segment::PictureFault::kNone)
    throw py::value_error(quorvane::segment::pictureMessage(picture));
  ImageArray out = picture.channels == 1 ? ImageArray({h, w}) : ImageArray({h, w, py::ssize_t{3}});
  std::copy(picture.values.begin(), picture.values.end(), out.mutable_data());
  return out;
}

// A C-contiguous float64 (H, W) grey or (H, W, 3) colour picture of finite values, as
// quorvane.segment.boundary_strength takes it, with a scale the core allows for it.
struct StrengthPicture {
  std::int64_t h, w;
  int channels;
  const double* data;
};

StrengthPicture strengthPicture(const py::array& values, double scale) {
  if (!py::isinstance<ImageArray>(values) || !(values.ndim() == 2 || values.ndim() == 3))
    throw py::type_error("values shall be a C-contiguous float64 (H, W) or (H, W, 3) array");
  const int channels = values.ndim() == 3 ? static_cast<int>(values.shape(2)) : 1;
  if (channels != 1 && channels != 3)
    throw py::value_error("values shall have 1 or 3 channels, got " + std::to_string(channels));
  const std::int64_t h = values.shape(0), w = values.shape(1);
  if (h == 0 || w == 0)
    throw py::value_error("values shall not be empty");
  checkSettings({{"scale", scale}}, h, w);
  const auto* data = static_cast<const double*>(values.data());
  if (!allFinite(data, h * w * channels))
    throw py::value_error("values shall be finite");
  return {h, w, channels, data};
}

// (strength, orientation) of a picture, as quorvane.segment.boundary_strength gives them.
py::tuple boundaryStrength(const py::array& values, double scale, int workers) {
  const StrengthPicture p = strengthPicture(values, scale);
  const int threads = threadsOf(workers);
  quorvane::segment::StrengthImage image;
  {
    py::gil_scoped_release release;
    image = quorvane::segment::boundaryStrength(p.h, p.w, p.channels, p.data, scale,
                                                quorvane::threadWorkers(threads));
  }
  ImageArray strength({p.h, p.w}), orientation({p.h, p.w});
  std::copy(image.strength.begin(), image.strength.end(), strength.mutable_data());
  std::copy(image.orientation.begin(), image.orientation.end(), orientation.mutable_data());
  return py::make_tuple(strength, orientation);
}

// The bands of rows (first, last) that `bands` processes measure a picture of h x w in.
std::vector<std::pair<std::int64_t, std::int64_t>> strengthBands(std::int64_t h, std::int64_t w,
                                                                 int bands) {
  if (h < 1 || w < 1 || bands < 1)
    throw py::value_error("h, w and bands shall be positive");
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;
  for (const auto& span : quorvane::segment::strengthBands(h, w, bands))
    spans.emplace_back(span.first, span.last);
  return spans;
}

// (strength, crests) of the rows of one band of strength_bands, each (last - first, W): the
// picture's values are the whole picture's, and every process calls with its band, the
// exchange's add_counts(int64 array) returning the element-wise sum over the processes and
// join_tiles(float64 array) the processes' arrays joined in the bands' order.
py::tuple bandStrength(const py::array& values, double scale, std::int64_t first, std::int64_t last,
                       const py::function& addCounts, const py::function& joinTiles, int workers) {
  const StrengthPicture p = strengthPicture(values, scale);
  const int threads = threadsOf(workers);
  namespace seg = quorvane::segment;
  // The core calls these with the GIL released, on this thread.
  const seg::BandExchange exchange{
      [&addCounts](std::vector<std::int64_t>& counts) {
        py::gil_scoped_acquire acquire;
        py::array_t<std::int64_t> mine(static_cast<py::ssize_t>(counts.size()), counts.data());
        const auto sum = addCounts(mine).cast<py::array_t<std::int64_t, py::array::c_style>>();
        if (sum.size() != static_cast<py::ssize_t>(counts.size()))
          throw py::value_error("add_counts shall return as many counts as it was given");
        std::copy(sum.data(), sum.data() + sum.size(), counts.begin());
      },
      [&joinTiles](std::vector<double>& tiles) {
        py::gil_scoped_acquire acquire;
        const ImageArray mine(static_cast<py::ssize_t>(tiles.size()), tiles.data());
        const auto all = joinTiles(mine).cast<py::array_t<double, py::array::c_style>>();
        tiles.assign(all.data(), all.data() + all.size());
      }};
  seg::BandStrength band;
  try {
    py::gil_scoped_release release;
    band = seg::bandStrength(p.h, p.w, p.channels, p.data, scale, {first, last}, exchange,
                             quorvane::threadWorkers(threads));
  } catch (const std::invalid_argument& error) {
    throw py::value_error(error.what());
  }
  const std::int64_t rows = last - first;
  ImageArray strength({rows, p.w}), crests({rows, p.w});
  std::copy(band.strength.begin(), band.strength.end(), strength.mutable_data());
  std::copy(band.crests.begin(), band.crests.end(), crests.mutable_data());
  return py::make_tuple(strength, crests);
}

// The strength on its ridges across the orientation, 0 elsewhere: quorvane.segment.crests.
ImageArray crests(const py::array& strength, const py::array& orientation, int workers) {
  if (!py::isinstance<ImageArray>(strength) || !py::isinstance<ImageArray>(orientation) ||
      strength.ndim() != 2 || orientation.ndim() != 2)
    throw py::type_error("strength and orientation shall be C-contiguous 2-D float64 arrays");
  const std::int64_t h = strength.shape(0), w = strength.shape(1);
  if (orientation.shape(0) != h || orientation.shape(1) != w)
    throw py::value_error("strength and orientation shall have the same shape");
  const int threads = threadsOf(workers);
  ImageArray out({h, w});
  {
    const auto* s = static_cast<const double*>(strength.data());
    const auto* o = static_cast<const double*>(orientation.data());
    double* c = out.mutable_data();
    py::gil_scoped_release release;
    quorvane::segment::ridgeCrests(h, w, s, o, c, quorvane::threadWorkers(threads));
  }
  return out;
}

// The segments (int64, H x W) of a C-contiguous float64 (H, W) or (H, W, C) picture, C of 1,
// 3 or 4: every step in the core, as quorvane.segment.segment gives them. A picture the core
// refuses is a ValueError with its message.
py::array_t<std::int64_t> segment(const py::array& values, double scale, double contrast,
                                  std::int64_t smallest, double radius, int workers) {
  if (!py::isinstance<ImageArray>(values) || !(values.ndim() == 2 || values.ndim() == 3))
    throw py::type_error("values shall be a C-contiguous float64 (H, W) or (H, W, C) array");
  const int channels = values.ndim() == 3 ? static_cast<int>(values.shape(2)) : 1;
  const std::int64_t h = values.shape(0), w = values.shape(1);
  checkSettings({{"scale", scale},
                 {"contrast", contrast},
                 {"smallest", static_cast<double>(smallest)},
                 {"radius", radius}},
                h, w);
  if (h < 1 || w < 1 || h * w > quorvane::kMaxPixels ||
      quorvane::discPatternEntries(w, h, radius) > std::numeric_limits<std::uint32_t>::max())
    throw py::value_error(
        "the picture shall have fewer than 2^31 pixels and at most 2^32 - 1 "
        "pixel pairs within the radius; shrink it or lower the radius");
  const int threads = threadsOf(workers);
  namespace seg = quorvane::segment;
  seg::PictureValues picture;
  seg::Segmentation found;
  {
    const auto* data = static_cast<const double*>(values.data());
    py::gil_scoped_release release;
    picture = seg::pictureValues(h, w, channels, data);
    if (picture.fault == seg::PictureFault::kNone)
      found = seg::segmentPicture(std::move(picture), {scale, contrast, smallest, radius},
                                  quorvane::threadWorkers(threads));
  }
  if (picture.fault != seg::PictureFault::kNone)
    throw py::value_error(seg::pictureMessage(picture));
  py::array_t<std::int64_t> labels({h, w});
  std::copy(found.segments.begin(), found.segments.end(), labels.mutable_data());
  return labels;
}

// Huge pages for calls in a quick loop (fresh_memory.h says why).
quorvane::CallAdvice hugePages;

// A numpy array of `count` uninitialised elements of fresh memory, advised for huge pages as
// `advice` says (as the Octave functions' results are, where numpy would advise every large
// array), and freed as it was allocated.
template <typename T>
py::array_t<T> freshArray(std::size_t count, quorvane::HugePages advice) {
  T* data = quorvane::allocateFresh<T>(std::max<std::size_t>(count, 1), advice);
  if (data == nullptr)
    throw std::bad_alloc();
  const py::capsule owner(data, [](void* memory) { ::operator delete(memory); });
  return py::array_t<T>({static_cast<py::ssize_t>(count)}, {static_cast<py::ssize_t>(sizeof(T))},
                        data, owner);
}

// (data, indices, indptr) of the compressed columns of the weights of the disc pattern's pairs
// whose column pixel lies in first ... last - 1, over the crests and the basins (int32, as
// basins() gives them), every other column empty: the columns of the segmentation's weights,
// with no copy of the pattern. Index arrays int32, int64 past 2^31 - 1 entries. Without
// edgeTables the engine weighs them from its strength cache alone.
py::tuple discWeights(const py::array& crests, const py::array& basins, double radius,
                      double contrast, std::int64_t first, std::int64_t last, int workers,
                      bool edgeTables) {
  using Basins = py::array_t<std::int32_t, py::array::c_style>;
  if (!py::isinstance<ImageArray>(crests) || crests.ndim() != 2 || crests.size() == 0)
    throw py::type_error("crests shall be a non-empty C-contiguous float64 (H, W) array");
  if (!py::isinstance<Basins>(basins) || basins.ndim() != 2 || basins.shape(0) != crests.shape(0) ||
      basins.shape(1) != crests.shape(1))
    throw py::type_error("basins shall be a C-contiguous int32 array of the crests' shape");
  const std::int64_t h = crests.shape(0), w = crests.shape(1), n = h * w;
  if (!(contrast > 0.0) || !std::isfinite(contrast) || !(radius >= 0.0))
    throw py::value_error("contrast shall be positive and finite, radius at least 0");
  if (n > quorvane::kMaxPixels)
    throw py::value_error("the crests shall have fewer than 2^31 pixels");
  if (first < 0 || first > last || last > n)
    throw py::value_error("columns shall be 0 <= first <= last <= " + std::to_string(n));
  const quorvane::PixelRange part{first, last};
  const std::uint64_t entries = quorvane::discPatternEntries(w, h, radius, part);
  if (entries > std::numeric_limits<std::uint32_t>::max())
    throw py::value_error("the columns hold more than 2^32 - 1 pixel pairs within the radius");
  const auto size = static_cast<py::ssize_t>(entries);
  const bool narrow =
      entries <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  // The core writes uint32 indices; int32 arrays hold them as they are when they fit.
  const quorvane::HugePages advice = hugePages.forThisCall();
  py::array_t<double> data = freshArray<double>(entries, advice);
  py::array_t<std::int32_t> rows = freshArray<std::int32_t>(narrow ? entries : 0, advice);
  py::array_t<std::int32_t> starts = freshArray<std::int32_t>(narrow ? n + 1 : 0, advice);
  std::vector<std::uint32_t> wideRows(narrow ? 0 : entries), wideStarts(narrow ? 0 : n + 1);
  auto* r = narrow ? reinterpret_cast<std::uint32_t*>(rows.mutable_data()) : wideRows.data();
  auto* s = narrow ? reinterpret_cast<std::uint32_t*>(starts.mutable_data()) : wideStarts.data();
  const int threads = threadsOf(workers);
  {
    const auto* m = static_cast<const double*>(crests.data());
    const auto* b = static_cast<const std::int32_t*>(basins.data());
    double* d = data.mutable_data();
    py::gil_scoped_release release;
    quorvane::segment::weighDiscColumns(
        h, w, m, b, {1.0, contrast, 1, radius}, part, r, s, d, quorvane::threadWorkers(threads),
        edgeTables ? quorvane::WeightSource::kChosen : quorvane::WeightSource::kStrengthCache);
  }
  hugePages.callEnded();
  if (narrow)
    return py::make_tuple(data, rows, starts);
  py::array_t<std::int64_t> indices(size), indptr(n + 1);
  std::copy(wideRows.begin(), wideRows.end(), indices.mutable_data());
  std::copy(wideStarts.begin(), wideStarts.end(), indptr.mutable_data());
  return py::make_tuple(data, indices, indptr);
}

}  // namespace

void defineSegmentFunctions(py::module_& module) {
  module.def("disc_weights", &discWeights, py::arg("crests"), py::arg("basins"), py::arg("radius"),
             py::arg("contrast"), py::arg("first"), py::arg("last"), py::arg("workers") = -1,
             py::arg("edge_tables") = true,
             "(data, indices, indptr): the segmentation's weights of the disc pattern's columns "
             "first ... last - 1, the other columns empty; edge_tables=False weighs them "
             "without the engine's tables of the whole image (the same bits, less memory).");
  module.def("segment", &segment, py::arg("values"), py::arg("scale"), py::arg("contrast"),
             py::arg("smallest"), py::arg("radius"), py::arg("workers") = -1,
             "The segments of a picture, every step compiled; see quorvane.segment.segment.");
  module.def(
      "picture_values", &pictureValues, py::arg("values"),
      "The values of a picture as the steps read them; see quorvane.segment.picture_values.");
  module.def("weight_sigma", &quorvane::segment::weightSigma, py::arg("contrast"),
             "sigma of the weights: an edge of strength `contrast` weighs one half.");
  module.def("boundary_strength", &boundaryStrength, py::arg("values"), py::arg("scale"),
             py::arg("workers") = 1,
             "(strength, orientation) of a picture; see quorvane.segment.boundary_strength.");
  module.def("strength_bands", &strengthBands, py::arg("h"), py::arg("w"), py::arg("bands"),
             "[(first, last)]: the bands of rows that processes measure an h x w picture's "
             "strength in (band_strength), one each.");
  module.def("band_strength", &bandStrength, py::arg("values"), py::arg("scale"), py::arg("first"),
             py::arg("last"), py::arg("add_counts"), py::arg("join_tiles"), py::arg("workers") = 1,
             "(strength, crests) of rows first ... last - 1 (a band of strength_bands) of a "
             "picture, collectively with the other bands' processes: the bits of those rows "
             "of boundary_strength and crests over the whole.");
  module.def("crests", &crests, py::arg("strength"), py::arg("orientation"), py::arg("workers") = 1,
             "The strength on its ridges, 0 elsewhere; see quorvane.segment.crests.");
}
