// quorvane(magnitude, phase, IR, JC[, sigma]) as a native Octave function (quorvane.oct):
// the MEX module's contract, checks and messages (core/call_check.h), with an output that
// Octave adopts. Octave copies every sparse matrix a MEX file returns into one of its own,
// element by element into fresh memory; here the values, row indices and column starts are
// allocated once (advised for huge pages as the machine allows, faulted in on a thread of
// their own while the engine fills them), filled by the engine and handed to
// Octave's SparseMatrix as they are.

#include <octave/oct.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "build_weight_matrix.h"
#include "call_check.h"
#include "fresh_memory.h"
#include "octave_values.h"
#include "quorvane_help.h"

namespace {

using quorvane::native::FreshArray;

[[noreturn]] void fail(quorvane::CallFault fault) {
  error("quorvane: %s", quorvane::callMessage(fault));
}

// Huge pages for calls in a quick loop (fresh_memory.h says why).
quorvane::CallAdvice hugePages;

// The weight matrix of a checked call, in arrays that the SparseMatrix owns.
SparseMatrix weightMatrix(const quorvane::CheckedCall& call, const double* magnitude,
                          const double* phase, std::optional<double> sigma) {
  const octave_idx_type np = call.grid.np;
  const std::uint32_t* jc = call.pattern.jc;
  // Octave's own sparse matrices keep room for at least one entry.
  const std::size_t room = std::max<std::size_t>(jc[np] - jc[0], 1);
  const quorvane::HugePages advice = hugePages.forThisCall();
  FreshArray<double> values(quorvane::allocateFresh<double>(room, advice));
  FreshArray<octave_idx_type> rows(quorvane::allocateFresh<octave_idx_type>(room, advice));
  FreshArray<octave_idx_type> starts(
      quorvane::allocateFresh<octave_idx_type>(static_cast<std::size_t>(np) + 1, advice));
  if (!values || !rows || !starts)
    fail(quorvane::CallFault::kOutOfMemory);
  {
    const quorvane::BackgroundFaults faults(
        {{values.get(), room * sizeof(double)}, {rows.get(), room * sizeof(octave_idx_type)}});
    quorvane::buildWeightMatrix(
        call.grid, magnitude, phase, call.pattern,
        quorvane::WeightMatrix<octave_idx_type>{values.get(), rows.get(), starts.get()}, {sigma});
  }
  const octave_idx_type nzmax = static_cast<octave_idx_type>(room);
  Sparse<double> adopted(dim_vector(np, np), nzmax, values.get(), rows.get(), starts.get());
  values.release();
  rows.release();
  starts.release();
  hugePages.callEnded();
  return SparseMatrix(adopted);
}

}  // namespace

DEFUN_DLD(quorvane, args, nargout, kQuorvaneHelp) {
  quorvane::CallFacts call;
  call.inputs = args.length();
  call.outputs = nargout;
  for (int n = 0; n < std::min(call.inputs, 5); ++n)
    call.input[n] = quorvane::native::factsOf(args(n));
  uint32NDArray ir, jc;  // held for the call
  const quorvane::CheckedCall checked = quorvane::checkCall(call, [&] {
    ir = args(2).uint32_array_value();
    jc = args(3).uint32_array_value();
    return quorvane::Pattern{quorvane::native::uint32Data(ir), quorvane::native::uint32Data(jc)};
  });
  if (checked.fault != quorvane::CallFault::kNone)
    fail(checked.fault);
  std::optional<double> sigma;
  if (checked.hasSigma)
    sigma = args(4).double_value();
  // A double matrix is shared with the caller (a range or a diagonal matrix becomes full
  // here); any other class is converted as double(x) converts it, into a copy that lives
  // for the call.
  NDArray magnitude, phase;
  try {
    magnitude = args(0).array_value();
    phase = args(1).array_value();
  } catch (const std::bad_alloc&) {
    fail(quorvane::CallFault::kOutOfMemory);
  }
  return octave_value(weightMatrix(checked, magnitude.data(), phase.data(), sigma));
}
