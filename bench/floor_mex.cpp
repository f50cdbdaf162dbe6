// quorvane_floor(magnitude, phase, IR, JC): the host's floor for a quorvane call. It creates
// the np x np sparse output that quorvane would return for the same arguments, fills it with
// the pattern's row indices and column starts and the value 1.0, and returns it, computing
// nothing. Timing it beside quorvane shows what creating, filling and handing back the result
// costs in the host. A benchmark tool: it checks only what it needs not to crash.
#include <cstddef>
#include <cstdint>

#include "mex.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < 4 || nlhs > 1)
    mexErrMsgTxt("usage: W = quorvane_floor(magnitude, phase, IR, JC)");
  const auto np = static_cast<std::size_t>(mxGetM(prhs[0]) * mxGetN(prhs[0]));
  if (!mxIsUint32(prhs[2]) || !mxIsUint32(prhs[3]) ||
      static_cast<std::size_t>(mxGetNumberOfElements(prhs[3])) != np + 1)
    mexErrMsgTxt("IR and JC shall be uint32, JC with np + 1 elements");
  const auto* ir = static_cast<const std::uint32_t*>(mxGetData(prhs[2]));
  const auto* jc = static_cast<const std::uint32_t*>(mxGetData(prhs[3]));
  const std::uint32_t first = jc[0], last = jc[np];
  if (last < first || static_cast<std::size_t>(mxGetNumberOfElements(prhs[2])) < last)
    mexErrMsgTxt("IR shorter than JC says");
  plhs[0] = mxCreateSparse(np, np, last, mxREAL);
  double* outPr = mxGetPr(plhs[0]);
  mwIndex* outIr = mxGetIr(plhs[0]);
  mwIndex* outJc = mxGetJc(plhs[0]);
  for (std::size_t j = 0; j <= np; ++j)
    outJc[j] = jc[j] - first;
  for (std::uint32_t k = first; k < last; ++k) {
    outIr[k - first] = ir[k];
    outPr[k - first] = 1.0;
  }
}
