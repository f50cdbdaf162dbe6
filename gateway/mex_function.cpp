// Host entry point of quorvane(magnitude, phase, IR, JC[, sigma]): checks the call in a
// fixed order (core/call_check.h), creates the sparse output through the host and runs the
// core on plain arrays. Every check, sigma's included, runs before the output is created,
// so a failed call allocates nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "mex.h"

#include "build_weight_matrix.h"
#include "call_check.h"

namespace {

using quorvane::ElementClass;

enum Input { kMagnitude, kPhase, kRowIndices, kColumnStarts, kSigma };

ElementClass elementClassOf(const mxArray* array) {
  if (mxIsDouble(array))
    return ElementClass::kDouble;
  if (mxIsUint32(array))
    return ElementClass::kUint32;
  if (mxIsNumeric(array))
    return ElementClass::kOtherNumeric;
  if (mxIsLogical(array))
    return ElementClass::kLogical;
  return ElementClass::kOther;
}

// An input as the checks see it; the host reports trailing dimensions folded into N.
quorvane::ArrayFacts factsOf(const mxArray* array) {
  quorvane::ArrayFacts facts;
  facts.elements = elementClassOf(array);
  facts.complex = mxIsComplex(array);
  facts.sparse = mxIsSparse(array);
  facts.rows = static_cast<std::uint64_t>(mxGetM(array));
  facts.columns = static_cast<std::uint64_t>(mxGetN(array));
  facts.dimensions = static_cast<std::uint64_t>(mxGetNumberOfDimensions(array));
  return facts;
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  quorvane::CallFacts call;
  call.inputs = nrhs;
  call.outputs = nlhs;
  for (int n = 0; n < std::min(nrhs, 5); ++n)
    call.input[n] = factsOf(prhs[n]);
  const quorvane::CheckedCall checked = quorvane::checkCall(call, [prhs] {
    return quorvane::Pattern{static_cast<const std::uint32_t*>(mxGetData(prhs[kRowIndices])),
                             static_cast<const std::uint32_t*>(mxGetData(prhs[kColumnStarts]))};
  });
  if (checked.fault != quorvane::CallFault::kNone)
    mexErrMsgTxt(quorvane::callMessage(checked.fault));
  std::optional<double> sigma;
  if (checked.hasSigma)
    sigma = mxGetScalar(prhs[kSigma]);

  const quorvane::PixelGrid& grid = checked.grid;
  const auto np = static_cast<mwSize>(grid.np);
  const std::uint32_t capacity = checked.pattern.jc[grid.np];
  plhs[0] = mxCreateSparse(np, np, static_cast<mwSize>(capacity), mxREAL);
  if (plhs[0] == nullptr)
    mexErrMsgTxt(quorvane::callMessage(quorvane::CallFault::kOutOfMemory));
  const quorvane::WeightMatrix<mwIndex> out{mxGetPr(plhs[0]), mxGetIr(plhs[0]), mxGetJc(plhs[0])};

  quorvane::buildWeightMatrix(grid, static_cast<const double*>(mxGetPr(prhs[kMagnitude])),
                              static_cast<const double*>(mxGetPr(prhs[kPhase])), checked.pattern,
                              out, {sigma});
}
