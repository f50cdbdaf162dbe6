#include "call_mutations.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "call_inputs.h"
#include "host_arrays.h"

namespace callfuzz {
namespace {

using testhost::ClassId;
using testhost::elementCount;
using testhost::getU32;
using testhost::setU32;
using testhost::zeroArray;

void tooFewInputs(FuzzInput& in, Call& call) {
  call.inputs.resize(in.inRange(0, 3));
}

void anyOutputCount(FuzzInput& in, Call& call) {
  static const std::vector<int> counts{2, 3, 7, -1, std::numeric_limits<int>::max()};
  call.nlhs = in.pick(counts);
}

// Maybe with as many elements.
void phaseOfAnotherShape(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
  if (in.chance(128)) {
    std::swap(inputs[1]->rows, inputs[1]->cols);
  } else {
    auto other = zeroArray(ClassId::kDouble, inputs[1]->rows + in.inRange(0, 2),
                           inputs[1]->cols + in.inRange(0, 2));
    inputs[1] = std::move(other);
  }
}

void emptyImages(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
  const std::uint64_t rows = in.chance(128) ? 0 : in.inRange(1, 3);
  const std::uint64_t cols = rows == 0 ? in.inRange(0, 3) : 0;
  inputs[0] = zeroArray(ClassId::kDouble, rows, cols);
  if (in.chance(200))
    inputs[1] = zeroArray(ClassId::kDouble, rows, cols);
}

// Claimed by the host, maybe with a column-start array to match.
void imagesTooLargeToHold(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
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
  if (in.chance(128)) {
    const std::uint64_t n = size.first * size.second + 1;
    inputs[3] = testhost::sizeOnlyArray(ClassId::kUint32, n, 1);
  }
}

void anotherClass(FuzzInput& in, Call& call) {
  changeClass(in, *call.inputs[in.inRange(0, 3)]);
}

void complexImage(FuzzInput& in, Call& call) {
  makeComplex(in, *call.inputs[in.inRange(0, 1)]);
}

void sparseImage(FuzzInput& in, Call& call) {
  testhost::makeSparse(*call.inputs[in.inRange(0, 1)]);
}

// The elements of a uint32 array that holds data.
std::vector<std::uint32_t> elementsOf(const HostArray& a) {
  std::vector<std::uint32_t> values(elementCount(a));
  for (std::size_t k = 0; k < values.size(); ++k)
    values[k] = getU32(a, k);
  return values;
}

void columnStartTooManyOrTooFew(FuzzInput& in, Call& call) {
  const HostArray& jc = *call.inputs[3];
  if (jc.classId != ClassId::kUint32 || jc.data.empty())
    return;
  std::vector<std::uint32_t> values = elementsOf(jc);
  if (in.chance(128) || values.size() < 2)
    values.push_back(values.back());
  else
    values.pop_back();
  call.inputs[3] = testhost::uint32Array(values.size(), 1, values);
}

void decreasingColumnStart(FuzzInput& in, Call& call) {
  HostArray& jc = *call.inputs[3];
  if (jc.classId != ClassId::kUint32 || jc.data.empty() || elementCount(jc) < 2)
    return;
  const auto p = in.inRange(0, static_cast<std::uint32_t>(elementCount(jc) - 2));
  const std::uint32_t start = getU32(jc, p);
  if (start > 0)
    setU32(jc, p + 1, start - in.inRange(1, start < 3 ? start : 3));
  else
    setU32(jc, p, getU32(jc, p + 1) + 1);
}

// Fewer than the last column start says.
void fewerRowIndices(FuzzInput& in, Call& call) {
  const HostArray& ir = *call.inputs[2];
  if (ir.classId != ClassId::kUint32 || ir.data.empty())
    return;
  std::vector<std::uint32_t> values = elementsOf(ir);
  values.resize(values.size() - std::min<std::size_t>(values.size(), in.inRange(1, 3)));
  call.inputs[2] = testhost::uint32Array(1, values.size(), values);
}

// One row index among those the pattern reads (out of range, or just in range), or among
// those it never reads (anything).
void bendRowIndex(FuzzInput& in, Call& call, bool read) {
  HostArray& ir = *call.inputs[2];
  const HostArray& jc = *call.inputs[3];
  const std::uint64_t np = elementCount(*call.inputs[0]);
  if (ir.classId != ClassId::kUint32 || ir.data.empty() || jc.classId != ClassId::kUint32 ||
      jc.data.empty() || elementCount(jc) != np + 1)
    return;
  const std::uint64_t length = elementCount(ir);
  const std::uint64_t first = getU32(jc, 0), last = std::min<std::uint64_t>(getU32(jc, np), length);
  std::vector<std::uint64_t> candidates;
  for (std::uint64_t k = 0; k < length; ++k) {
    if ((k >= first && k < last) == read)
      candidates.push_back(k);
  }
  if (candidates.empty())
    return;
  static const std::vector<std::uint32_t> bumps{0, 1, 2, 0xffffffffu - 1};
  const std::uint64_t value = in.chance(60) ? 0xffffffffu : np - 1 + in.pick(bumps);
  setU32(ir, in.pick(candidates), static_cast<std::uint32_t>(value));
}

void readRowIndex(FuzzInput& in, Call& call) {
  bendRowIndex(in, call, true);
}

void unreadRowIndex(FuzzInput& in, Call& call) {
  bendRowIndex(in, call, false);
}

// An empty pattern with capacity.
void everyColumnStartLarge(FuzzInput& in, Call& call) {
  const std::uint64_t np = elementCount(*call.inputs[0]);
  if (np >= 100000)
    return;
  static const std::vector<std::uint32_t> starts{1000, 70000, 0xffffffffu};
  const std::uint32_t start = in.pick(starts);
  std::vector<std::uint32_t> values(np + 1, start);
  call.inputs[3] = testhost::uint32Array(1, values.size(), values);
  // Room for every entry (the output then needs more than the host grants at 70000),
  // or one short.
  const std::uint32_t length = start <= 70000 ? start - in.inRange(0, 1) : 3;
  call.inputs[2] = zeroArray(ClassId::kUint32, length, 1);
}

// Which allocation: decided last, when the call is retyped.
void failingAllocation(FuzzInput&, Call& call) {
  call.failing = Allocation::kOutput;
}

void lastColumnStartAtTheTop(FuzzInput&, Call& call) {
  HostArray& jc = *call.inputs[3];
  if (jc.classId == ClassId::kUint32 && !jc.data.empty())
    setU32(jc, elementCount(jc) - 1, 0xffffffffu);
}

void anotherSigma(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
  if (inputs.size() >= 5)
    inputs[4] = anySigma(in);
  else
    inputs.push_back(anySigma(in));
}

// Reported with its trailing ones folded.
void imageOfThreeDimensions(FuzzInput& in, Call& call) {
  call.inputs[in.inRange(0, 1)]->dimensions = 3;
}

void anyArrayAnywhere(FuzzInput& in, Call& call) {
  auto& inputs = call.inputs;
  inputs[in.inRange(0, static_cast<std::uint32_t>(inputs.size() - 1))] = anyArray(in);
}

}  // namespace

const Mutation kMutations[] = {
    {"too few inputs", tooFewInputs},
    {"any number of outputs", anyOutputCount},
    {"phase of another shape", phaseOfAnotherShape},
    {"empty images", emptyImages},
    {"images too large to hold", imagesTooLargeToHold},
    {"another class", anotherClass},
    {"complex image", complexImage},
    {"sparse image", sparseImage},
    {"one column start too many or too few", columnStartTooManyOrTooFew},
    {"a decreasing column start", decreasingColumnStart},
    {"fewer row indices than the last column start", fewerRowIndices},
    {"a read row index out of range or just in range", readRowIndex},
    {"an unread row index of any value", unreadRowIndex},
    {"every column start the same large value", everyColumnStartLarge},
    {"a failing allocation", failingAllocation},
    {"the last column start at the top of the range", lastColumnStartAtTheTop},
    {"another sigma", anotherSigma},
    {"an image of three dimensions", imageOfThreeDimensions},
    {"any array anywhere", anyArrayAnywhere},
};
const std::size_t kMutationCount = sizeof kMutations / sizeof kMutations[0];
static_assert(sizeof kMutations / sizeof kMutations[0] == 19,
              "the committed corpus chooses among these 19 mutations");

int mutate(FuzzInput& in, Call& call) {
  if (call.inputs.size() < 4)
    return -1;
  const std::uint32_t choice = in.inRange(0, static_cast<std::uint32_t>(kMutationCount - 1));
  kMutations[choice].apply(in, call);
  return static_cast<int>(choice);
}

}  // namespace callfuzz
