// Fuzz target: mexFunction through the stand-in host with arbitrary calls: 0 to 7 inputs of
// any class, shape, complexity, storage and content, and any number of requested outputs.
// Most inputs describe a valid call that a few mutations then bend (a wrong class or shape,
// a decreasing column start, a short or out-of-range row index, a huge size, a failing
// allocation, an odd sigma), since almost valid calls reach the deepest checks.
//
// Each call is judged against the call contract, modelled here independently of the
// gateway: the first failing check must raise exactly its message and produce no output;
// a call that passes every check must return, bit for bit, what the reference transcription in
// tests/support computes from the images read as doubles, and leave the output's unused room
// untouched. No input may be written, the host must hold no array and no mxMalloc block
// afterwards, and the gateway must never read data that a call does not entitle it to (the
// host throws, which aborts the run).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "reference_weights.h"
#include "test_host.h"

namespace {

[[noreturn]] void fail(const std::string& what);

using fuzzing::FuzzInput;
using testhost::ClassId;
using testhost::HostArray;

const char* const kMessages[] = {
    "Four input arguments required",
    "Too many output arguments",
    "Edge magnitude and phase shall be of the same image size",
    "Edge magnitude and phase shall have fewer than 2^31 pixels",
    "Edge magnitude and phase shall be real double matrices",
    "Index pair shall be of type UINT32",
    "Wrong index representation",
    "Index pair column starts shall not decrease",
    "Index pair has fewer row indices than its last column start",
    "Index pair row index exceeds the image size",
    "Sigma shall be a real scalar",
    "Not enough memory for the output matrix",
};
constexpr int kSuccess = -1;
enum Message {
  kFourInputs,
  kTooManyOutputs,
  kImageSize,
  kTooManyPixels,
  kNotRealDouble,
  kNotUint32,
  kWrongIndexRepresentation,
  kDecreasing,
  kTooFewRows,
  kRowOutOfRange,
  kSigma,
  kNoMemory,
};

// Small, so that the host refuses large outputs (more than 65535 entries) quickly instead
// of allocating them.
constexpr std::uint64_t kAllocationLimit = std::uint64_t{1} << 20;

using testhost::elementBytes;

std::uint64_t elementCount(const HostArray& a) {
  return a.rows * a.cols;
}

// An array of the class and size with zeroed data; a huge one only claims its size.
std::unique_ptr<HostArray> zeroArray(ClassId classId, std::uint64_t rows, std::uint64_t cols) {
  auto a = testhost::sizeOnlyArray(classId, rows, cols);
  if (rows * cols <= (std::uint64_t{1} << 20))
    a->data.assign(rows * cols * elementBytes(classId), 0);
  return a;
}

double getDouble(const HostArray& a, std::size_t k) {
  double value;
  std::memcpy(&value, a.data.data() + k * sizeof value, sizeof value);
  return value;
}
void setDouble(HostArray& a, std::size_t k, double value) {
  std::memcpy(a.data.data() + k * sizeof value, &value, sizeof value);
}
// Element k of a real, full array of a numeric or logical class, as double(x) gives it.
double asDouble(const HostArray& a, std::size_t k) {
  const unsigned char* at = a.data.data() + k * elementBytes(a.classId);
  const auto read = [at](auto value) {
    std::memcpy(&value, at, sizeof value);
    return static_cast<double>(value);
  };
  switch (a.classId) {
    case ClassId::kDouble:
      return read(double{});
    case ClassId::kSingle:
      return read(float{});
    case ClassId::kInt8:
      return read(std::int8_t{});
    case ClassId::kUint8:
      return read(std::uint8_t{});
    case ClassId::kInt16:
      return read(std::int16_t{});
    case ClassId::kUint16:
      return read(std::uint16_t{});
    case ClassId::kInt32:
      return read(std::int32_t{});
    case ClassId::kUint32:
      return read(std::uint32_t{});
    case ClassId::kInt64:
      return read(std::int64_t{});
    case ClassId::kUint64:
      return read(std::uint64_t{});
    case ClassId::kLogical:
      return *at != 0 ? 1.0 : 0.0;
    default:
      fail("no double value for this class");
  }
}
std::uint32_t getU32(const HostArray& a, std::size_t k) {
  std::uint32_t value;
  std::memcpy(&value, a.data.data() + k * sizeof value, sizeof value);
  return value;
}
void setU32(HostArray& a, std::size_t k, std::uint32_t value) {
  std::memcpy(a.data.data() + k * sizeof value, &value, sizeof value);
}

std::unique_ptr<HostArray> u32Array(const std::vector<std::uint32_t>& values, std::uint64_t rows,
                                    std::uint64_t cols) {
  return testhost::uint32Array(rows, cols, values);
}

bool holdsNoData(const HostArray& a) {
  return a.data.empty() && elementCount(a) != 0;
}

// A shape for n elements: a column, a row, or another factorisation.
void shapeFor(FuzzInput& in, std::uint64_t n, std::uint64_t& rows, std::uint64_t& cols) {
  rows = n;
  cols = 1;
  switch (in.inRange(0, 3)) {
    case 1:
      std::swap(rows, cols);
      break;
    case 2:
      for (std::uint64_t f = 2; f * f <= n; ++f) {
        if (n % f == 0) {
          rows = f;
          cols = n / f;
          break;
        }
      }
      break;
    default:
      break;
  }
}

// Another class for an array, with its data refilled with zeros or ones.
void changeClass(FuzzInput& in, HostArray& a) {
  static const std::vector<ClassId> classes{ClassId::kDouble, ClassId::kSingle, ClassId::kUint32,
                                            ClassId::kInt32,  ClassId::kUint8,  ClassId::kLogical,
                                            ClassId::kChar,   ClassId::kCell};
  const ClassId to = in.pick(classes);
  if (!a.data.empty())
    a.data.assign(elementCount(a) * elementBytes(to), in.byte() & 1);
  a.classId = to;
  a.complex = false;
  a.sparse = false;
}

// Stores a real double array in the host's sparse form: values of the non-zeros, their rows,
// column starts.
void makeSparse(HostArray& a) {
  if (a.classId != ClassId::kDouble || a.complex || a.data.empty())
    return;
  std::vector<double> dense(elementCount(a));
  for (std::size_t k = 0; k < dense.size(); ++k)
    dense[k] = getDouble(a, k);
  a.sparse = true;
  a.data.clear();
  a.ir.clear();
  a.jc.assign(1, 0);
  for (std::uint64_t c = 0; c < a.cols; ++c) {
    for (std::uint64_t r = 0; r < a.rows; ++r) {
      const double v = dense[r + c * a.rows];
      if (v != 0.0) {
        a.data.resize(a.data.size() + sizeof v);
        std::memcpy(a.data.data() + a.data.size() - sizeof v, &v, sizeof v);
        a.ir.push_back(static_cast<mwIndex>(r));
      }
    }
    a.jc.push_back(static_cast<mwIndex>(a.ir.size()));
  }
}

// Complex arrays exist of every numeric class; only a double's imaginary part is modelled.
void makeComplex(FuzzInput& in, HostArray& a) {
  if (a.classId == ClassId::kChar || a.classId == ClassId::kCell ||
      a.classId == ClassId::kLogical || a.sparse)
    return;
  a.complex = true;
  if (!a.data.empty() && a.classId == ClassId::kDouble)
    a.imag.assign(elementCount(a), in.awkwardDouble());
}

// Any array: small, of any class and content; now and then a huge one that holds no data.
std::unique_ptr<HostArray> anyArray(FuzzInput& in) {
  // (The 8-, 16- and 64-bit integer classes come in through retype(), which leaves the
  // decoding of older inputs as it was.)
  static const std::vector<ClassId> classes{
      ClassId::kDouble, ClassId::kDouble, ClassId::kUint32,  ClassId::kUint32, ClassId::kSingle,
      ClassId::kInt32,  ClassId::kUint8,  ClassId::kLogical, ClassId::kChar,   ClassId::kCell};
  const ClassId classId = in.pick(classes);
  if (in.chance(8)) {
    static const std::vector<std::uint64_t> sides{
        0, 1, 3, 65536, 32768, 46341, 2147483647u, 2147483648u, std::uint64_t{1} << 40};
    const std::uint64_t rows = in.pick(sides);
    std::uint64_t cols = in.pick(sides) >> in.inRange(0, 8);
    if (static_cast<unsigned __int128>(rows) * cols > (std::uint64_t{1} << 62))
      cols = 1;  // no host holds more than 2^63 elements
    return zeroArray(classId, rows, cols);
  }
  auto a = zeroArray(classId, in.inRange(0, 5), in.inRange(0, 5));
  for (std::size_t k = 0; k < elementCount(*a); ++k) {
    switch (classId) {
      case ClassId::kDouble:
        setDouble(*a, k, in.awkwardDouble());
        break;
      case ClassId::kUint32:
        setU32(*a, k, in.chance(220) ? in.inRange(0, 12) : in.u32());
        break;
      case ClassId::kLogical:
        a->data[k] = in.byte() & 1;
        break;
      default:
        for (std::size_t b = 0; b < elementBytes(classId); ++b)
          a->data[k * elementBytes(classId) + b] = in.byte();
        break;
    }
  }
  if (in.chance(20))
    makeComplex(in, *a);
  else if (in.chance(20))
    makeSparse(*a);
  return a;
}

// Sigma of every kind the host can pass: a double scalar, empty, other classes, complex,
// sparse, a matrix, a cell.
std::unique_ptr<HostArray> anySigma(FuzzInput& in) {
  const double value = in.awkwardDouble();
  switch (in.inRange(0, 9)) {
    case 0:
      return zeroArray(ClassId::kDouble, 0, in.inRange(0, 1));
    case 1:
      return zeroArray(in.chance(128) ? ClassId::kUint32 : ClassId::kChar, 0, 0);
    case 2: {
      auto a = zeroArray(ClassId::kSingle, 1, 1);
      const float f = static_cast<float>(in.inRange(0, 1000)) / 8.0f;
      std::memcpy(a->data.data(), &f, sizeof f);
      return a;
    }
    case 3: {
      auto a = zeroArray(in.chance(128) ? ClassId::kUint32 : ClassId::kInt32, 1, 1);
      setU32(*a, 0, in.u32());
      return a;
    }
    case 4: {
      auto a = zeroArray(in.chance(128) ? ClassId::kUint8 : ClassId::kLogical, 1, 1);
      a->data[0] = in.byte() & (a->classId == ClassId::kLogical ? 1 : 0xff);
      return a;
    }
    case 5: {
      auto a = zeroArray(ClassId::kChar, 1, in.inRange(1, 3));
      a->data[0] = in.byte();
      return a;
    }
    case 6: {
      auto a = testhost::doubleArray(1, 1, {value});
      if (in.chance(128))
        makeComplex(in, *a);
      else
        makeSparse(*a);
      return a;
    }
    case 7: {
      auto a = zeroArray(ClassId::kDouble, 2, 2);
      for (std::size_t k = 0; k < 4; ++k)
        setDouble(*a, k, in.awkwardDouble());
      return a;
    }
    case 8:
      return zeroArray(ClassId::kCell, in.inRange(0, 1), 1);
    default:
      return testhost::doubleArray(1, 1, {value});
  }
}

// The host allocations a call may make, in the gateway's order: a copy of each image that
// is not double, then the output.
enum class Allocation { kNone, kFirstCopy, kSecondCopy, kOutput };

struct Call {
  int nlhs = 1;
  std::vector<std::unique_ptr<HostArray>> inputs;
  Allocation failing = Allocation::kNone;  // wanted: this allocation shall fail
};

// A valid call on a small grid: images with awkward values, a pattern with a leading
// offset, unread garbage, unsorted and repeated rows, and maybe sigma and extra inputs.
Call validCall(FuzzInput& in) {
  Call call;
  call.nlhs = in.chance(200) ? 1 : 0;
  std::uint64_t nr = in.inRange(1, 6), nc = in.inRange(1, 6);
  if (in.chance(30))
    (in.chance(128) ? nr : nc) = in.inRange(1, 40);
  const std::uint32_t np = static_cast<std::uint32_t>(nr * nc);
  auto magnitude = zeroArray(ClassId::kDouble, nr, nc);
  auto phase = zeroArray(ClassId::kDouble, nr, nc);
  for (std::uint32_t p = 0; p < np; ++p) {
    setDouble(*magnitude, p, in.awkwardDouble());
    setDouble(*phase, p, in.phaseValue());
  }
  std::vector<std::uint32_t> ir, jc;
  const std::uint32_t offset = in.chance(200) ? 0 : in.inRange(1, 4);
  for (std::uint32_t k = 0; k < offset; ++k)
    ir.push_back(in.u32());
  jc.push_back(offset);
  for (std::uint32_t j = 0; j < np; ++j) {
    const std::uint32_t count = in.inRange(0, np < 8 ? np + 1 : 8);
    for (std::uint32_t n = 0; n < count; ++n)
      ir.push_back(in.chance(60) ? j : in.inRange(0, np - 1));
    jc.push_back(static_cast<std::uint32_t>(ir.size()));
  }
  for (std::uint32_t k = in.inRange(0, 2); k > 0; --k)
    ir.push_back(in.chance(128) ? np : in.u32());
  std::uint64_t rows, cols;
  shapeFor(in, ir.size(), rows, cols);
  auto irArray = u32Array(ir, rows, cols);
  shapeFor(in, jc.size(), rows, cols);
  auto jcArray = u32Array(jc, rows, cols);
  call.inputs.push_back(std::move(magnitude));
  call.inputs.push_back(std::move(phase));
  call.inputs.push_back(std::move(irArray));
  call.inputs.push_back(std::move(jcArray));
  if (in.chance(160)) {
    call.inputs.push_back(anySigma(in));
    for (std::uint32_t extra = in.inRange(0, 2); extra > 0; --extra)
      call.inputs.push_back(anyArray(in));
  }
  return call;
}

// Bends one part of a call.
void mutate(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
  if (inputs.size() < 4)
    return;
  HostArray& magnitude = *inputs[0];
  const std::uint64_t np = elementCount(magnitude);
  HostArray& jc = *inputs[3];
  const std::uint32_t choice = in.inRange(0, 18);
  switch (choice) {
    case 0:  // too few inputs
      inputs.resize(in.inRange(0, 3));
      break;
    case 1: {  // any number of outputs
      static const std::vector<int> counts{2, 3, 7, -1, std::numeric_limits<int>::max()};
      call.nlhs = in.pick(counts);
      break;
    }
    case 2:  // phase of another shape, maybe with as many elements
      if (in.chance(128)) {
        std::swap(inputs[1]->rows, inputs[1]->cols);
      } else {
        auto other = zeroArray(ClassId::kDouble, inputs[1]->rows + in.inRange(0, 2),
                               inputs[1]->cols + in.inRange(0, 2));
        inputs[1] = std::move(other);
      }
      break;
    case 3: {  // empty images
      const std::uint64_t rows = in.chance(128) ? 0 : in.inRange(1, 3);
      const std::uint64_t cols = rows == 0 ? in.inRange(0, 3) : 0;
      inputs[0] = zeroArray(ClassId::kDouble, rows, cols);
      if (in.chance(200))
        inputs[1] = zeroArray(ClassId::kDouble, rows, cols);
      break;
    }
    case 4: {  // images too large to hold, claimed by the host
      static const std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes{
          {65536, 32768},
          {2147483648u, 1},
          {1, 2147483648u},
          {46341, 46341},
          {46340, 46341},
          {2147483647u, 1},
          {std::uint64_t{1} << 31, std::uint64_t{1} << 31}};
      const auto size = in.pick(sizes);
      const ClassId classId = in.chance(200) ? ClassId::kDouble : ClassId::kSingle;
      inputs[0] = testhost::sizeOnlyArray(classId, size.first, size.second);
      inputs[1] = testhost::sizeOnlyArray(classId, size.first, size.second);
      if (in.chance(128)) {  // with a column-start array to match
        const std::uint64_t n = size.first * size.second + 1;
        inputs[3] = testhost::sizeOnlyArray(ClassId::kUint32, n, 1);
      }
      break;
    }
    case 5:
      changeClass(in, *inputs[in.inRange(0, 3)]);
      break;
    case 6:
      makeComplex(in, *inputs[in.inRange(0, 1)]);
      break;
    case 7:
      makeSparse(*inputs[in.inRange(0, 1)]);
      break;
    case 8: {  // one column start too many or too few
      if (jc.classId != ClassId::kUint32 || jc.data.empty())
        break;
      std::vector<std::uint32_t> values(elementCount(jc));
      for (std::size_t k = 0; k < values.size(); ++k)
        values[k] = getU32(jc, k);
      if (in.chance(128) || values.size() < 2)
        values.push_back(values.back());
      else
        values.pop_back();
      inputs[3] = u32Array(values, values.size(), 1);
      break;
    }
    case 9: {  // a decreasing column start
      if (jc.classId != ClassId::kUint32 || jc.data.empty() || elementCount(jc) < 2)
        break;
      const auto p = in.inRange(0, static_cast<std::uint32_t>(elementCount(jc) - 2));
      const std::uint32_t start = getU32(jc, p);
      if (start > 0)
        setU32(jc, p + 1, start - in.inRange(1, start < 3 ? start : 3));
      else
        setU32(jc, p, getU32(jc, p + 1) + 1);
      break;
    }
    case 10: {  // fewer row indices than the last column start says
      HostArray& ir = *inputs[2];
      if (ir.classId != ClassId::kUint32 || ir.data.empty())
        break;
      std::vector<std::uint32_t> values(elementCount(ir));
      for (std::size_t k = 0; k < values.size(); ++k)
        values[k] = getU32(ir, k);
      values.resize(values.size() - std::min<std::size_t>(values.size(), in.inRange(1, 3)));
      inputs[2] = u32Array(values, 1, values.size());
      break;
    }
    case 11:    // a row index that is read: out of range, or just in range
    case 12: {  // a row index that is never read: anything
      HostArray& ir = *inputs[2];
      if (ir.classId != ClassId::kUint32 || ir.data.empty() || jc.classId != ClassId::kUint32 ||
          jc.data.empty() || elementCount(jc) != np + 1)
        break;
      const std::uint64_t length = elementCount(ir);
      const std::uint64_t first = getU32(jc, 0),
                          last = std::min<std::uint64_t>(getU32(jc, np), length);
      std::vector<std::uint64_t> candidates;
      for (std::uint64_t k = 0; k < length; ++k) {
        if ((k >= first && k < last) == (choice == 11))
          candidates.push_back(k);
      }
      if (candidates.empty())
        break;
      static const std::vector<std::uint32_t> bumps{0, 1, 2, 0xffffffffu - 1};
      const std::uint64_t value = in.chance(60) ? 0xffffffffu : np - 1 + in.pick(bumps);
      setU32(ir, in.pick(candidates), static_cast<std::uint32_t>(value));
      break;
    }
    case 13: {  // every column start the same large value: an empty pattern with capacity
      if (np >= 100000)
        break;
      static const std::vector<std::uint32_t> starts{1000, 70000, 0xffffffffu};
      const std::uint32_t start = in.pick(starts);
      std::vector<std::uint32_t> values(np + 1, start);
      inputs[3] = u32Array(values, 1, values.size());
      // Room for every entry (the output then needs more than the host grants at 70000),
      // or one short.
      const std::uint32_t length = start <= 70000 ? start - in.inRange(0, 1) : 3;
      inputs[2] = zeroArray(ClassId::kUint32, length, 1);
      break;
    }
    case 14:  // which allocation: see retype()
      call.failing = Allocation::kOutput;
      break;
    case 15:  // the last column start at the top of the range
      if (jc.classId == ClassId::kUint32 && !jc.data.empty())
        setU32(jc, elementCount(jc) - 1, 0xffffffffu);
      break;
    case 16:
      if (inputs.size() >= 5)
        inputs[4] = anySigma(in);
      else
        inputs.push_back(anySigma(in));
      break;
    case 17:  // an image of three dimensions, reported with its trailing ones folded
      inputs[in.inRange(0, 1)]->dimensions = 3;
      break;
    default:  // any array anywhere
      inputs[in.inRange(0, static_cast<std::uint32_t>(inputs.size() - 1))] = anyArray(in);
      break;
  }
}

// An image of another numeric or logical class in place of a real double one with data:
// mostly small integers (weights away from 0), now and then any bytes; logical bytes other
// than 1 too.
void retypeImage(FuzzInput& in, std::unique_ptr<HostArray>& image) {
  if (image->classId != ClassId::kDouble || image->complex || image->sparse || holdsNoData(*image))
    return;
  static const std::vector<ClassId> classes{
      ClassId::kSingle, ClassId::kInt8,   ClassId::kUint8, ClassId::kInt16,  ClassId::kUint16,
      ClassId::kInt32,  ClassId::kUint32, ClassId::kInt64, ClassId::kUint64, ClassId::kLogical};
  const ClassId classId = in.pick(classes);
  const std::uint64_t n = elementCount(*image);
  auto other = zeroArray(classId, image->rows, image->cols);
  other->dimensions = image->dimensions;
  const std::size_t bytes = elementBytes(classId);
  for (std::size_t p = 0; p < n; ++p) {
    unsigned char* at = other->data.data() + p * bytes;
    if (classId == ClassId::kLogical) {
      *at = in.chance(16) ? in.byte() : in.byte() & 1;
    } else if (in.chance(64)) {
      for (std::size_t b = 0; b < bytes; ++b)
        at[b] = in.byte();
    } else if (classId == ClassId::kSingle) {
      const float value = static_cast<float>(in.inRange(0, 40)) / 4.0f - 2.0f;
      std::memcpy(at, &value, sizeof value);
    } else {
      at[0] = in.byte() & 7;  // little-endian: the low byte
    }
  }
  image = std::move(other);
}

// Last, so that inputs from before these choices existed decode as they did (bytes past the
// end read 0): images of other classes, and a failing copy in place of a failing output.
void retype(FuzzInput& in, Call& call) {
  for (std::size_t n = 0; n < 2 && n < call.inputs.size(); ++n) {
    if (in.byte() >= 160)
      retypeImage(in, call.inputs[n]);
  }
  if (call.failing == Allocation::kOutput && in.byte() >= 128)
    call.failing = in.chance(128) ? Allocation::kFirstCopy : Allocation::kSecondCopy;
}

Call decodeCall(FuzzInput& in) {
  if (in.chance(24)) {  // anything at all
    Call call;
    call.nlhs = static_cast<int>(in.inRange(0, 3));
    for (std::uint32_t n = in.inRange(0, 7); n > 0; --n)
      call.inputs.push_back(anyArray(in));
    retype(in, call);
    return call;
  }
  Call call = validCall(in);
  for (std::uint32_t n = in.inRange(0, 3); n > 0; --n)
    mutate(in, call);
  retype(in, call);
  return call;
}

// What the call contract says about a call: the index of the message of the first failing
// check, or kSuccess. `unanswerable` is set when the contract lets the gateway read data
// that the host only claims to have (a huge size-only array): such calls cannot be run.
// `failed` is the allocation that is to fail and that the call reaches, if any.
int expectedOutcome(const Call& call, bool& unanswerable, Allocation& failed) {
  unanswerable = false;
  failed = Allocation::kNone;
  const auto& in = call.inputs;
  if (in.size() < 4)
    return kFourInputs;
  if (call.nlhs > 1)
    return kTooManyOutputs;
  const std::uint64_t nr = in[0]->rows, nc = in[0]->cols;
  if (nr == 0 || nc == 0 || in[1]->rows != nr || in[1]->cols != nc)
    return kImageSize;
  if (static_cast<unsigned __int128>(nr) * nc > std::numeric_limits<std::int32_t>::max())
    return kTooManyPixels;
  const auto realMatrix = [](const HostArray& a) {
    return a.classId != ClassId::kChar && a.classId != ClassId::kCell && !a.complex && !a.sparse &&
           a.dimensions == 2;
  };
  if (!realMatrix(*in[0]) || !realMatrix(*in[1]))
    return kNotRealDouble;
  if (in[2]->classId != ClassId::kUint32 || in[3]->classId != ClassId::kUint32)
    return kNotUint32;
  const std::uint64_t np = nr * nc;
  if (elementCount(*in[3]) != np + 1)
    return kWrongIndexRepresentation;
  // From here on the gateway may take the data of both index arrays.
  if (holdsNoData(*in[2]) || holdsNoData(*in[3])) {
    unanswerable = true;
    return kSuccess;
  }
  for (std::uint64_t j = 0; j < np; ++j) {
    if (getU32(*in[3], j + 1) < getU32(*in[3], j))
      return kDecreasing;
  }
  const std::uint32_t first = getU32(*in[3], 0), last = getU32(*in[3], np);
  if (elementCount(*in[2]) < last)
    return kTooFewRows;
  for (std::uint32_t k = first; k < last; ++k) {
    if (getU32(*in[2], k) >= np)
      return kRowOutOfRange;
  }
  if (in.size() >= 5 && elementCount(*in[4]) != 0) {  // empty: the default sigma
    const HostArray& sigma = *in[4];
    const bool number = sigma.classId != ClassId::kChar && sigma.classId != ClassId::kCell &&
                        !sigma.complex && !sigma.sparse;
    if (!number || elementCount(sigma) != 1)
      return kSigma;
  }
  // Images that are not double are copied as doubles, magnitude first, each copy taken from
  // the host before the output and read in full.
  Allocation copy = Allocation::kFirstCopy;
  for (int n = 0; n < 2; ++n) {
    if (in[n]->classId == ClassId::kDouble)
      continue;
    if (call.failing == copy) {
      failed = copy;
      return kNoMemory;
    }
    if (np * 8 > kAllocationLimit)
      return kNoMemory;
    if (holdsNoData(*in[n])) {
      unanswerable = true;
      return kSuccess;
    }
    copy = Allocation::kSecondCopy;
  }
  const std::uint64_t capacity = last > 0 ? last : 1;
  if (call.failing == Allocation::kOutput) {
    failed = Allocation::kOutput;
    return kNoMemory;
  }
  if (capacity * 16 + (np + 1) * 8 > kAllocationLimit)
    return kNoMemory;
  if (holdsNoData(*in[0]) || holdsNoData(*in[1]) || (in.size() >= 5 && holdsNoData(*in[4]))) {
    unanswerable = true;
  }
  return kSuccess;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "call contract broken: %s\n", what.c_str());
  std::abort();
}

std::string describe(const std::optional<std::string>& error) {
  return error ? "\"" + *error + "\"" : std::string("success");
}

// A successful call's output against the reference transcription.
void compareOutput(const Call& call, const HostArray& out) {
  const HostArray& magnitude = *call.inputs[0];
  const auto nr = static_cast<std::int32_t>(magnitude.rows);
  const auto nc = static_cast<std::int32_t>(magnitude.cols);
  const std::size_t np = static_cast<std::size_t>(nr) * static_cast<std::size_t>(nc);
  std::vector<double> mag(np), phase(np);
  for (std::size_t p = 0; p < np; ++p) {
    mag[p] = asDouble(magnitude, p);
    phase[p] = asDouble(*call.inputs[1], p);
  }
  std::vector<std::uint32_t> ir(elementCount(*call.inputs[2])), jc(np + 1);
  for (std::size_t k = 0; k < ir.size(); ++k)
    ir[k] = getU32(*call.inputs[2], k);
  for (std::size_t k = 0; k < jc.size(); ++k)
    jc[k] = getU32(*call.inputs[3], k);
  const bool hasSigma = call.inputs.size() >= 5 && !mxIsEmpty(call.inputs[4].get());
  const double sigma = hasSigma ? mxGetScalar(call.inputs[4].get()) : 0.0;
  const reference::Sparse expected =
      reference::weights(nr, nc, mag, phase, ir, jc, hasSigma, sigma);

  const std::size_t capacity = jc[np] > 0 ? jc[np] : 1;
  if (!out.sparse || out.complex || out.rows != np || out.cols != np)
    fail("output is not a real np x np sparse matrix");
  if (out.ir.size() != capacity || out.data.size() != capacity * sizeof(double) ||
      out.jc.size() != np + 1)
    fail("output capacity differs from the last column start");
  for (std::size_t j = 0; j <= np; ++j) {
    if (out.jc[j] != expected.starts[j])
      fail("column start " + std::to_string(j) + " differs");
  }
  for (std::size_t k = 0; k < capacity; ++k) {
    const double got = getDouble(out, k);
    if (k < expected.values.size()) {
      if (out.ir[k] != expected.rows[k])
        fail("row index of entry " + std::to_string(k) + " differs");
      if (!reference::sameBits(got, expected.values[k]))
        fail("value of entry " + std::to_string(k) + " differs");
    } else if (out.ir[k] != -1 || !reference::sameBits(got, 0.0)) {
      fail("entry " + std::to_string(k) + " beyond the pattern was written");
    }
  }
}

// One line per input, for reproducing a failure (set QUORVANE_FUZZ_VERBOSE).
void printCall(const Call& call, int expected) {
  static const char* const names[] = {"double",  "single", "uint32", "int32", "uint8",
                                      "logical", "char",   "cell",   "int8",  "int16",
                                      "uint16",  "int64",  "uint64"};
  std::fprintf(stderr, "nlhs %d, %zu inputs, expect %s\n", call.nlhs, call.inputs.size(),
               expected == kSuccess ? "success" : kMessages[expected]);
  for (const auto& a : call.inputs) {
    std::fprintf(stderr, "  %s%s%s%s %llu x %llu%s:", names[static_cast<int>(a->classId)],
                 a->complex ? " complex" : "", a->sparse ? " sparse" : "",
                 a->dimensions != 2 ? " 3-D" : "", static_cast<unsigned long long>(a->rows),
                 static_cast<unsigned long long>(a->cols), holdsNoData(*a) ? " (no data)" : "");
    if (!a->sparse && a->classId == ClassId::kUint32) {
      for (std::size_t k = 0; k < elementCount(*a) && k < 40 && !a->data.empty(); ++k)
        std::fprintf(stderr, " %u", getU32(*a, k));
    } else if (!a->sparse && a->classId != ClassId::kChar && a->classId != ClassId::kCell) {
      for (std::size_t k = 0; k < elementCount(*a) && k < 40 && !a->data.empty(); ++k)
        std::fprintf(stderr, " %g", asDouble(*a, k));
    }
    std::fprintf(stderr, "\n");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testhost::setAllocationLimit(kAllocationLimit);
  testhost::resetLog();
  FuzzInput in(data, size);
  const Call call = decodeCall(in);
  bool unanswerable = false;
  Allocation failed = Allocation::kNone;
  const int expected = expectedOutcome(call, unanswerable, failed);
  if (std::getenv("QUORVANE_FUZZ_VERBOSE") != nullptr)
    printCall(call, expected);
  if (unanswerable)
    return 0;

  std::vector<const HostArray*> inputs;
  std::vector<std::vector<unsigned char>> before;
  for (const auto& a : call.inputs) {
    inputs.push_back(a.get());
    before.push_back(a->data);
  }
  // Armed only for an allocation that the call reaches, so that it is consumed here.
  if (failed == Allocation::kOutput)
    testhost::failNextSparseCreation();
  else if (failed != Allocation::kNone)
    testhost::failMalloc(failed == Allocation::kFirstCopy ? 1 : 2);

  {
    const testhost::CallResult result = testhost::call(call.nlhs, inputs);
    const std::optional<std::string> wanted =
        expected == kSuccess ? std::nullopt : std::optional<std::string>(kMessages[expected]);
    if (result.error != wanted)
      fail("expected " + describe(wanted) + ", got " + describe(result.error));
    if (result.error) {
      if (result.output)
        fail("a failed call left an output");
      if (testhost::log().messages.size() != 1)
        fail("more than one message raised");
    } else {
      if (!result.output)
        fail("a successful call left no output");
      compareOutput(call, *result.output);
    }
  }
  for (std::size_t n = 0; n < inputs.size(); ++n) {
    if (call.inputs[n]->data != before[n])
      fail("input " + std::to_string(n + 1) + " was written");
  }
  if (testhost::log().arraysAlive != 0)
    fail("the host still holds " + std::to_string(testhost::log().arraysAlive) + " arrays");
  if (testhost::log().blocksLeft != 0)
    fail("the call left " + std::to_string(testhost::log().blocksLeft) + " mxMalloc blocks");
  return 0;
}
