// Fuzz target: mexFunction through the stand-in host with arbitrary calls: 0 to 7 inputs of
// any class, shape, complexity, storage and content, and any number of requested outputs.
// Most inputs describe a valid call that a few mutations then bend (a wrong class or shape,
// a decreasing column start, a short or out-of-range row index, a huge size, a failing
// allocation, an odd sigma), since almost valid calls reach the deepest checks.
//
// This file decodes the call (valid ones bent by call_mutations.h, arrays from
// call_inputs.h); call_judge.h runs it and judges it against the call contract, modelled
// independently of the gateway in call_model.h: the first failing check must raise exactly
// its message and produce no output; a call that passes every check must return, bit for
// bit, what the reference transcription in tests/support computes from the images read as
// doubles, and leave the output's unused room untouched. No input may be written, the host
// must hold no array and no mxMalloc block afterwards, and the gateway must never read data
// that a call does not entitle it to (the host throws, which aborts the run).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "call_inputs.h"
#include "call_judge.h"
#include "call_model.h"
#include "call_mutations.h"
#include "fuzz_input.h"
#include "host_arrays.h"

namespace {

using callfuzz::Allocation;
using callfuzz::anyArray;
using callfuzz::anySigma;
using callfuzz::Call;
using callfuzz::mutate;
using callfuzz::retypeImage;
using callfuzz::shapeFor;
using fuzzing::FuzzInput;
using testhost::ClassId;
using testhost::HostArray;
using testhost::setDouble;
using testhost::zeroArray;

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
  auto irArray = testhost::uint32Array(rows, cols, ir);
  shapeFor(in, jc.size(), rows, cols);
  auto jcArray = testhost::uint32Array(rows, cols, jc);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testhost::setAllocationLimit(callfuzz::kAllocationLimit);
  testhost::resetLog();
  FuzzInput in(data, size);
  const Call call = decodeCall(in);
  bool unanswerable = false;
  Allocation failed = Allocation::kNone;
  const int expected = callfuzz::expectedOutcome(call, unanswerable, failed);
  if (std::getenv("QUORVANE_FUZZ_VERBOSE") != nullptr)
    callfuzz::printCall(call, expected);
  if (!unanswerable)
    callfuzz::runAndJudge(call, expected, failed);
  return 0;
}
