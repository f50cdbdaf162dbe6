// Host entry point of quorvane(magnitude, phase, IR, JC[, sigma]): checks the call in a
// fixed order (core/call_check.h), creates the sparse output through the host and runs the
// core on plain arrays. Every check, sigma's included, runs before anything is allocated,
// so a call that fails a check allocates nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "mex.h"

#include "build_weight_matrix.h"
#include "call_check.h"
#include "element_class.h"
#include "image_values.h"

namespace {

using quorvane::ElementClass;
using quorvane::mex::elementClassOf;

enum Input { kMagnitude, kPhase, kRowIndices, kColumnStarts, kSigma };

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

  // A double image is read where it lies; one of another class is read as doubles into
  // memory from the host, freed before the call ends either way.
  const quorvane::PixelGrid& grid = checked.grid;
  const auto np = static_cast<std::size_t>(grid.np);
  const double* images[2] = {nullptr, nullptr};
  double* copies[2] = {nullptr, nullptr};
  const auto freeCopies = [&copies] {
    for (double* copy : copies) {
      if (copy != nullptr)
        mxFree(copy);
    }
  };
  for (int n : {kMagnitude, kPhase}) {
    const ElementClass elements = call.input[n].elements;
    if (quorvane::readInPlace(elements)) {
      images[n] = mxGetPr(prhs[n]);
      continue;
    }
    copies[n] = static_cast<double*>(mxMalloc(np * sizeof(double)));
    if (copies[n] == nullptr) {
      freeCopies();
      mexErrMsgTxt(quorvane::callMessage(quorvane::CallFault::kOutOfMemory));
    }
    quorvane::readAsDoubles(elements, mxGetData(prhs[n]), np, copies[n]);
    images[n] = copies[n];
  }

  const std::uint32_t capacity = checked.pattern.jc[grid.np];
  plhs[0] = mxCreateSparse(static_cast<mwSize>(np), static_cast<mwSize>(np),
                           static_cast<mwSize>(capacity), mxREAL);
  if (plhs[0] == nullptr) {
    freeCopies();
    mexErrMsgTxt(quorvane::callMessage(quorvane::CallFault::kOutOfMemory));
  }
  const quorvane::WeightMatrix<mwIndex> out{mxGetPr(plhs[0]), mxGetIr(plhs[0]), mxGetJc(plhs[0])};

  quorvane::buildWeightMatrix(grid, images[kMagnitude], images[kPhase], checked.pattern, out,
                              {sigma});
  freeCopies();
}
