// Fuzz target: quorvane_segment's mexFunction through the stand-in host. A call has 0 to 3
// inputs: an image of any class, any 2-D to 4-D shape (also empty or 2 channels), complex or
// sparse now and then, its values small whole numbers, awkward doubles or a constant; options
// as a struct of known and unknown fields with values of any kind, a struct array or no
// struct; any number of outputs; now and then an output that cannot be allocated.
//
// The contract is modelled here without the gateway's code: which identifier the first
// failing check raises, that the message is one line after "quorvane_segment: " and names a
// faulty option. A call that passes must return labels 1 .. count numbered along the rows,
// equal to the core's segments (+1) of the image that this file reads out of the host's
// array itself; the core's picture check decides NaN, infinite and constant pictures. No
// input may be written and the host must hold nothing afterwards.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disc_pattern.h"
#include "fuzz_input.h"
#include "host_arrays.h"
#include "segment/segmentation.h"

namespace {

using fuzzing::FuzzInput;
using testhost::ClassId;
using testhost::HostArray;
namespace seg = quorvane::segment;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "segment_call_fuzzer: %s\n", what.c_str());
  std::abort();
}

struct Call {
  int nlhs = 1;
  std::vector<std::shared_ptr<HostArray>> inputs;
  bool failOutput = false;
};

const std::vector<ClassId> kClasses{
    ClassId::kDouble,  ClassId::kSingle, ClassId::kUint32, ClassId::kInt32, ClassId::kUint8,
    ClassId::kLogical, ClassId::kChar,   ClassId::kCell,   ClassId::kInt8,  ClassId::kInt16,
    ClassId::kUint16,  ClassId::kInt64,  ClassId::kUint64, ClassId::kStruct};

bool numeric(ClassId c) {
  return c != ClassId::kChar && c != ClassId::kCell && c != ClassId::kStruct;
}

// An array of the class and size(x), its elements from `value(k)`.
template <typename Value>
std::shared_ptr<HostArray> makeArray(ClassId classId, const std::vector<std::uint64_t>& shape,
                                     Value&& value) {
  auto a = std::make_shared<HostArray>();
  a->classId = classId;
  a->rows = shape[0];
  a->cols = 1;
  for (std::size_t d = 1; d < shape.size(); ++d)
    a->cols *= shape[d];
  a->dimensions = shape.size();
  if (shape.size() > 2)
    a->shape.assign(shape.begin(), shape.end());
  const std::size_t bytes = testhost::elementBytes(classId);
  a->data.resize(a->rows * a->cols * bytes);
  for (std::size_t k = 0; k < a->rows * a->cols && bytes > 0; ++k) {
    const double v = value(k);
    switch (classId) {
      case ClassId::kDouble:
        testhost::setDouble(*a, k, v);
        break;
      case ClassId::kSingle: {
        const float f = static_cast<float>(v);
        std::memcpy(&a->data[k * 4], &f, 4);
        break;
      }
      default: {  // whole numbers within every integer class's range
        const double w = std::isfinite(v) ? std::fmin(std::fmax(std::round(v), 0.0), 100.0) : 0;
        const std::int64_t i = static_cast<std::int64_t>(w);
        std::memcpy(&a->data[k * bytes], &i, bytes);  // little-endian: the low bytes
        if (classId == ClassId::kLogical)
          a->data[k] = i != 0 ? static_cast<unsigned char>(1 + (k % 3)) : 0;
      }
    }
  }
  return a;
}

std::shared_ptr<HostArray> anyImage(FuzzInput& in) {
  std::vector<std::uint64_t> shape{in.inRange(0, 9), in.inRange(0, 9)};
  if (in.chance(100))
    shape.push_back(in.inRange(1, 5));
  if (in.chance(10))
    shape.push_back(in.inRange(2, 3));
  const ClassId classId = in.chance(100) ? ClassId::kDouble : in.pick(kClasses);
  const unsigned content = in.inRange(0, 3);
  const double level = in.inRange(0, 3);
  auto image = makeArray(classId, shape, [&](std::size_t) {
    switch (content) {
      case 0:
        return static_cast<double>(in.inRange(0, 255));
      case 1:
        return in.awkwardDouble();
      case 2:
        return level;
      default:
        return in.inRange(0, 100) / 100.0;
    }
  });
  if (in.chance(12) && numeric(classId) && classId != ClassId::kLogical) {
    image->complex = true;
    image->imag.assign(image->rows * image->cols, 1.0);
  } else if (in.chance(12) && shape.size() == 2) {
    testhost::makeSparse(*image);
    image->sparse = image->sparse || classId == ClassId::kLogical;
  }
  return image;
}

std::shared_ptr<HostArray> anyValue(FuzzInput& in) {
  static const std::vector<double> pool{
      1, 2.5, 0, -1, NAN, INFINITY, 3, 8, 1e20, 9007199254740992.0, 0.5, 400, 9.4, -0.0, 2};
  const double v = in.pick(pool);
  switch (in.inRange(0, 9)) {
    case 0:
      return makeArray(in.pick(kClasses), {1, in.inRange(0, 2)}, [v](std::size_t) { return v; });
    case 1: {
      auto a = makeArray(ClassId::kDouble, {1, 1}, [v](std::size_t) { return v; });
      a->complex = true;
      a->imag.assign(1, 1.0);
      return a;
    }
    case 2:
      return makeArray(in.pick(kClasses), {1, 1}, [v](std::size_t) { return v; });
    default:
      return makeArray(ClassId::kDouble, {1, 1}, [v](std::size_t) { return v; });
  }
}

std::shared_ptr<HostArray> anyOptions(FuzzInput& in) {
  static const std::vector<std::string> names{"scale", "contrast", "smallest", "radius",
                                              "Scale", "sigma",    "workers"};
  if (in.chance(20))
    return makeArray(in.pick(kClasses), {1, in.inRange(0, 2)}, [](std::size_t) { return 1.0; });
  auto options = makeArray(ClassId::kStruct, {1, in.chance(20) ? in.inRange(0, 2) : 1},
                           [](std::size_t) { return 0.0; });
  for (std::uint32_t n = in.inRange(0, 3); n > 0; --n) {
    const std::string& name = in.pick(names);
    bool repeated = false;
    for (const auto& field : options->fields)
      repeated = repeated || field.first == name;
    if (!repeated)
      options->fields.emplace_back(name, anyValue(in));
  }
  return options;
}

Call decodeCall(FuzzInput& in) {
  Call call;
  call.nlhs = static_cast<int>(in.chance(30) ? in.inRange(0, 3) : in.inRange(1, 2));
  const std::uint32_t inputs = in.chance(20) ? in.inRange(0, 3) : in.inRange(1, 2);
  if (inputs >= 1)
    call.inputs.push_back(anyImage(in));
  if (inputs >= 2)
    call.inputs.push_back(anyOptions(in));
  if (inputs >= 3)
    call.inputs.push_back(anyValue(in));
  call.failOutput = in.chance(10);
  return call;
}

std::vector<std::uint64_t> sizeOf(const HostArray& a) {
  if (!a.shape.empty())
    return {a.shape.begin(), a.shape.end()};
  return {a.rows, a.cols};
}

// The model: the identifier the call must raise ("" for none), the option it must name, and
// for a call that passes its checks the picture's size and the settings.
struct Expected {
  std::string identifier;
  std::string option;
  std::int64_t rows = 0, columns = 0;
  int channels = 1;
  seg::SegmentSettings settings;
};

Expected expectedOutcome(const Call& call) {
  Expected e;
  const auto refuse = [&e](const char* what, std::string option = "") {
    e.identifier = std::string("quorvane_segment:") + what;
    e.option = std::move(option);
    return e;
  };
  if (call.inputs.empty() || call.inputs.size() > 2)
    return refuse("nargin");
  if (call.nlhs > 2)
    return refuse("nargout");
  const HostArray& image = *call.inputs[0];
  const std::vector<std::uint64_t> size = sizeOf(image);
  const std::uint64_t channels = size.size() == 3 ? size[2] : 1;
  if (!numeric(image.classId) || image.complex || image.sparse || size.size() > 3 ||
      (channels != 1 && channels != 3 && channels != 4) || size[0] < 2 || size[1] < 2)
    return refuse("badImage");
  e.rows = static_cast<std::int64_t>(size[0]);
  e.columns = static_cast<std::int64_t>(size[1]);
  e.channels = static_cast<int>(channels);
  if (call.inputs.size() == 2) {
    const HostArray& options = *call.inputs[1];
    if (options.classId != ClassId::kStruct || options.rows * options.cols != 1)
      return refuse("badOption");
    double smallest = 8;
    for (const auto& [name, value] : options.fields) {
      double* setting = name == "scale"      ? &e.settings.scale
                        : name == "contrast" ? &e.settings.contrast
                        : name == "smallest" ? &smallest
                        : name == "radius"   ? &e.settings.radius
                                             : nullptr;
      const bool number = setting != nullptr && numeric(value->classId) &&
                          value->classId != ClassId::kLogical && !value->complex &&
                          value->rows * value->cols == 1;
      if (!number)
        return refuse("badOption", name);
      const double v = testhost::asDouble(*value, 0);
      const bool within =
          name == "scale"      ? v > 0 && v <= static_cast<double>(std::max(e.rows, e.columns))
          : name == "contrast" ? v > 0
          : name == "radius"   ? v >= 0
                               : v >= 1 && v <= 9007199254740992.0 && v == std::floor(v);
      if (!std::isfinite(v) || !within)
        return refuse("badOption", name);
      *setting = v;
    }
    e.settings.smallest = static_cast<std::int64_t>(smallest);
  }
  if (quorvane::discPatternEntries(e.columns, e.rows, e.settings.radius) > UINT32_MAX)
    return refuse("tooLarge");
  // The values, read here: row-major, channels interleaved.
  std::vector<double> values(static_cast<std::size_t>(e.rows * e.columns * e.channels));
  for (std::int64_t r = 0; r < e.rows; ++r)
    for (std::int64_t c = 0; c < e.columns; ++c)
      for (int k = 0; k < e.channels; ++k)
        values[static_cast<std::size_t>((r * e.columns + c) * e.channels + k)] = testhost::asDouble(
            image, static_cast<std::size_t>(r + c * e.rows + k * e.rows * e.columns));
  if (seg::pictureValues(e.rows, e.columns, e.channels, values.data()).fault !=
      seg::PictureFault::kNone)
    return refuse("badImage");
  if (call.failOutput)
    return refuse("outOfMemory");
  return e;
}

void judge(const Call& call, const Expected& e, const testhost::CallResult& result) {
  if (result.identifier != e.identifier)
    fail("expected " + (e.identifier.empty() ? "success" : e.identifier) + ", got " +
         (result.error ? result.identifier + " \"" + *result.error + "\"" : "success"));
  if (result.error) {
    const std::string& text = *result.error;
    if (text.rfind("quorvane_segment: ", 0) != 0 || text.find('\n') != std::string::npos)
      fail("not one line after the function's name: " + text);
    if (!e.option.empty() && text.find("'" + e.option + "'") == std::string::npos)
      fail("the message does not name option " + e.option + ": " + text);
    if (testhost::log().messages.size() != 1)
      fail("more than one message raised");
    return;
  }
  if (!result.output || (call.nlhs >= 2) != static_cast<bool>(result.second))
    fail("the outputs asked for are not there");
  const HostArray& labels = *result.output;
  if (labels.classId != ClassId::kDouble || labels.complex || labels.sparse ||
      labels.rows != static_cast<std::uint64_t>(e.rows) ||
      labels.cols != static_cast<std::uint64_t>(e.columns))
    fail("labels of the wrong class or size");
  std::vector<double> values(static_cast<std::size_t>(e.rows * e.columns * e.channels));
  const HostArray& image = *call.inputs[0];
  for (std::int64_t r = 0; r < e.rows; ++r)
    for (std::int64_t c = 0; c < e.columns; ++c)
      for (int k = 0; k < e.channels; ++k)
        values[static_cast<std::size_t>((r * e.columns + c) * e.channels + k)] = testhost::asDouble(
            image, static_cast<std::size_t>(r + c * e.rows + k * e.rows * e.columns));
  const seg::Segmentation found = seg::segmentPicture(
      seg::pictureValues(e.rows, e.columns, e.channels, values.data()), e.settings);
  double next = 1;  // labels appear along the rows in order
  for (std::int64_t r = 0; r < e.rows; ++r)
    for (std::int64_t c = 0; c < e.columns; ++c) {
      const double label = testhost::getDouble(labels, static_cast<std::size_t>(r + c * e.rows));
      if (label != found.segments[static_cast<std::size_t>(r * e.columns + c)] + 1.0)
        fail("a label differs from the core's segment + 1");
      if (label > next)
        fail("labels are not numbered along the rows");
      next += label == next ? 1 : 0;
    }
  if (next - 1 != found.count ||
      (result.second && testhost::getDouble(*result.second, 0) != found.count))
    fail("the count differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testhost::setAllocationLimit(std::uint64_t{1} << 20);
  testhost::resetLog();
  FuzzInput in(data, size);
  const Call call = decodeCall(in);
  const Expected expected = expectedOutcome(call);
  std::vector<const HostArray*> inputs;
  std::vector<std::vector<unsigned char>> before;
  for (const auto& a : call.inputs) {
    inputs.push_back(a.get());
    before.push_back(a->data);
  }
  // Armed only when the call reaches the output, so that it is consumed here.
  if (expected.identifier == "quorvane_segment:outOfMemory")
    testhost::failNextMatrixCreation();
  if (std::getenv("QUORVANE_FUZZ_VERBOSE") != nullptr)
    std::fprintf(stderr, "%zu inputs, nlhs %d: expect %s\n", call.inputs.size(), call.nlhs,
                 expected.identifier.empty() ? "success" : expected.identifier.c_str());
  const testhost::CallResult result = testhost::call(call.nlhs, inputs);
  judge(call, expected, result);
  for (std::size_t n = 0; n < inputs.size(); ++n) {
    if (call.inputs[n]->data != before[n])
      fail("input " + std::to_string(n + 1) + " was written");
  }
  if (testhost::log().arraysAlive != 0)
    fail("the host still holds " + std::to_string(testhost::log().arraysAlive) + " arrays");
  return 0;
}
