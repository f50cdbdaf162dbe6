#include "call_judge.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "host_arrays.h"
#include "reference_weights.h"

namespace callfuzz {

using testhost::ClassId;
using testhost::elementCount;
using testhost::getDouble;
using testhost::getU32;

void fail(const std::string& what) {
  std::fprintf(stderr, "call contract broken: %s\n", what.c_str());
  std::abort();
}

namespace {

std::string describe(const std::optional<std::string>& error) {
  return error ? "\"" + *error + "\"" : std::string("success");
}

// What the reference transcription computes for a call that passes every check, from its
// images read as doubles.
reference::Sparse referenceWeights(const Call& call) {
  const HostArray& magnitude = *call.inputs[0];
  const auto nr = static_cast<std::int32_t>(magnitude.rows);
  const auto nc = static_cast<std::int32_t>(magnitude.cols);
  const std::size_t np = static_cast<std::size_t>(nr) * static_cast<std::size_t>(nc);
  std::vector<double> mag(np), phase(np);
  for (std::size_t p = 0; p < np; ++p) {
    mag[p] = testhost::asDouble(magnitude, p);
    phase[p] = testhost::asDouble(*call.inputs[1], p);
  }
  std::vector<std::uint32_t> ir(elementCount(*call.inputs[2])), jc(np + 1);
  for (std::size_t k = 0; k < ir.size(); ++k)
    ir[k] = getU32(*call.inputs[2], k);
  for (std::size_t k = 0; k < jc.size(); ++k)
    jc[k] = getU32(*call.inputs[3], k);
  const bool hasSigma = call.inputs.size() >= 5 && !mxIsEmpty(call.inputs[4].get());
  const double sigma = hasSigma ? mxGetScalar(call.inputs[4].get()) : 0.0;
  return reference::weights(nr, nc, mag, phase, ir, jc, hasSigma, sigma);
}

// A successful call's output against the reference transcription, bit for bit, and the
// output's unused room untouched.
void compareOutput(const Call& call, const HostArray& out) {
  const reference::Sparse expected = referenceWeights(call);
  const std::size_t np = elementCount(*call.inputs[0]);
  const std::uint32_t last = getU32(*call.inputs[3], np);
  const std::size_t capacity = last > 0 ? last : 1;
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

// The message and output of the call's run.
void judgeResult(const testhost::CallResult& result, int expected, const Call& call) {
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

void printElements(const HostArray& a) {
  if (!a.sparse && a.classId == ClassId::kUint32) {
    for (std::size_t k = 0; k < elementCount(a) && k < 40 && !a.data.empty(); ++k)
      std::fprintf(stderr, " %u", getU32(a, k));
  } else if (!a.sparse && a.classId != ClassId::kChar && a.classId != ClassId::kCell) {
    for (std::size_t k = 0; k < elementCount(a) && k < 40 && !a.data.empty(); ++k)
      std::fprintf(stderr, " %g", testhost::asDouble(a, k));
  }
}

}  // namespace

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
                 static_cast<unsigned long long>(a->cols),
                 testhost::holdsNoData(*a) ? " (no data)" : "");
    printElements(*a);
    std::fprintf(stderr, "\n");
  }
}

void runAndJudge(const Call& call, int expected, Allocation failed) {
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
  judgeResult(testhost::call(call.nlhs, inputs), expected, call);
  for (std::size_t n = 0; n < inputs.size(); ++n) {
    if (call.inputs[n]->data != before[n])
      fail("input " + std::to_string(n + 1) + " was written");
  }
  if (testhost::log().arraysAlive != 0)
    fail("the host still holds " + std::to_string(testhost::log().arraysAlive) + " arrays");
  if (testhost::log().blocksLeft != 0)
    fail("the call left " + std::to_string(testhost::log().blocksLeft) + " mxMalloc blocks");
}

}  // namespace callfuzz
