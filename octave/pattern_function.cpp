// quorvane_pattern(nr, nc, radius) as a native Octave function (quorvane_pattern.oct): the
// checks and messages of core/pattern_call_check.h, which toolbox/quorvane_pattern.m (kept
// for MATLAB) makes too, and the same IR and JC, from the core's disc-pattern generator.
// Most of the .m file's time is the first write of a large, fresh IR; here IR is allocated
// advised for huge pages and written once.

#include <octave/oct.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "disc_pattern.h"
#include "fresh_memory.h"
#include "octave_values.h"
#include "pattern_call_check.h"
#include "quorvane_pattern_help.h"

namespace {

using quorvane::PatternCallFault;
using quorvane::native::FreshArray;

[[noreturn]] void fail(PatternCallFault fault, double figure = 0) {
  const std::string text = quorvane::patternCallText(fault, quorvane::PatternHost::kOctave, figure);
  error_with_id(quorvane::patternCallMessage(fault).identifier, "%s", text.c_str());
}

// A real, numeric (not logical or char) array of one element, and then its double value.
quorvane::NumberFacts numberFacts(const octave_value& value) {
  if (!value.isnumeric() || value.iscomplex() || value.numel() != 1)
    return {};
  return {true, value.double_value()};
}

// The call as the checks see it: NR, NC and RADIUS are inputs 1 to 3.
quorvane::PatternCallFacts callFacts(const octave_value_list& args, int nargout) {
  quorvane::PatternCallFacts call;
  call.inputs = args.length();
  call.outputs = nargout;
  quorvane::NumberFacts* numbers[] = {&call.rows, &call.columns, &call.radius};
  for (int n = 0; n < call.inputs && n < 3; ++n)
    *numbers[n] = numberFacts(args(n));
  return call;
}

// Huge pages for calls in a quick loop (fresh_memory.h says why).
quorvane::CallAdvice hugePages;

// An Octave uint32 column over `count` elements of fresh memory (advised for huge pages as
// the machine allows), or an error.
uint32NDArray freshColumn(std::size_t count, std::uint32_t*& data, quorvane::HugePages advice) {
  FreshArray<octave_uint32> memory(quorvane::allocateFresh<octave_uint32>(count, advice));
  if (!memory)
    fail(PatternCallFault::kOutOfMemory, static_cast<double>(count));
  data = reinterpret_cast<std::uint32_t*>(memory.get());
  Array<octave_uint32> adopted(memory.get(), dim_vector(static_cast<octave_idx_type>(count), 1));
  memory.release();
  return uint32NDArray(adopted);
}

}  // namespace

DEFUN_DLD(quorvane_pattern, args, nargout, kQuorvanePatternHelp) {
  const quorvane::CheckedPatternCall call = quorvane::checkPatternCall(
      callFacts(args, nargout), [](const quorvane::CheckedPatternCall& checked) {
        return quorvane::discPatternEntries(checked.rows, checked.columns, checked.radius);
      });
  if (call.fault != PatternCallFault::kNone)
    fail(call.fault, call.pixels);

  std::uint32_t *ir = nullptr, *jc = nullptr;
  const quorvane::HugePages advice = hugePages.forThisCall();
  const uint32NDArray IR = freshColumn(static_cast<std::size_t>(call.pairs), ir, advice);
  const uint32NDArray JC =
      freshColumn(static_cast<std::size_t>(call.rows * call.columns) + 1, jc, advice);
  quorvane::fillDiscPattern(call.rows, call.columns, call.radius, ir, jc);
  hugePages.callEnded();
  return ovl(IR, JC);
}
