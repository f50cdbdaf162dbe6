// Host entry point of quorvane(magnitude, phase, IR, JC[, sigma]): checks the call in a
// fixed order, creates the sparse output through the host and runs the core on plain arrays.
// Every check runs before the output is created, so a failed call allocates nothing.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "mex.h"

#include "build_weight_matrix.h"
#include "pattern_check.h"

namespace {

enum Input { kMagnitude, kPhase, kRowIndices, kColumnStarts, kSigma };

std::size_t elementCount(const mxArray* array) {
  return static_cast<std::size_t>(mxGetM(array)) * static_cast<std::size_t>(mxGetN(array));
}

bool isRealFullDouble(const mxArray* array) {
  return mxIsDouble(array) && !mxIsComplex(array) && !mxIsSparse(array);
}

const char* patternMessage(quorvane::PatternFault fault) {
  switch (fault) {
    case quorvane::PatternFault::kDecreasingColumnStarts:
      return "Index pair column starts shall not decrease";
    case quorvane::PatternFault::kTooFewRowIndices:
      return "Index pair has fewer row indices than its last column start";
    case quorvane::PatternFault::kRowIndexOutOfRange:
      return "Index pair row index exceeds the image size";
    case quorvane::PatternFault::kNone:
      break;
  }
  return nullptr;
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < 4)
    mexErrMsgTxt("Four input arguments required");
  if (nlhs > 1)
    mexErrMsgTxt("Too many output arguments");

  // Dimensions as the host reports them; 64-bit products cannot overflow for real arrays.
  const auto nr = static_cast<std::uint64_t>(mxGetM(prhs[kMagnitude]));
  const auto nc = static_cast<std::uint64_t>(mxGetN(prhs[kMagnitude]));
  if (nr == 0 || nc == 0 || static_cast<std::uint64_t>(mxGetM(prhs[kPhase])) != nr ||
      static_cast<std::uint64_t>(mxGetN(prhs[kPhase])) != nc) {
    mexErrMsgTxt("Edge magnitude and phase shall be of the same image size");
  }
  // Dividing avoids overflowing the product for absurd host sizes.
  if (nr > static_cast<std::uint64_t>(quorvane::kMaxPixels) / nc) {
    mexErrMsgTxt("Edge magnitude and phase shall have fewer than 2^31 pixels");
  }
  if (!isRealFullDouble(prhs[kMagnitude]) || !isRealFullDouble(prhs[kPhase])) {
    mexErrMsgTxt("Edge magnitude and phase shall be real double matrices");
  }
  const quorvane::PixelGrid grid = quorvane::makePixelGrid(nr, nc);

  if (!mxIsUint32(prhs[kRowIndices]) || !mxIsUint32(prhs[kColumnStarts])) {
    mexErrMsgTxt("Index pair shall be of type UINT32");
  }
  if (elementCount(prhs[kColumnStarts]) != static_cast<std::size_t>(grid.np) + 1) {
    mexErrMsgTxt("Wrong index representation");
  }
  const quorvane::IndexPair pattern{
      static_cast<const std::uint32_t*>(mxGetData(prhs[kRowIndices])),
      static_cast<const std::uint32_t*>(mxGetData(prhs[kColumnStarts]))};
  const quorvane::PatternFault fault =
      quorvane::checkPattern(grid, pattern, elementCount(prhs[kRowIndices]));
  if (fault != quorvane::PatternFault::kNone)
    mexErrMsgTxt(patternMessage(fault));

  const auto np = static_cast<mwSize>(grid.np);
  plhs[0] = mxCreateSparse(np, np, static_cast<mwSize>(pattern.jc[grid.np]), mxREAL);
  if (plhs[0] == nullptr)
    mexErrMsgTxt("Not enough memory for the output matrix");
  const quorvane::WeightMatrix<mwIndex> out{mxGetPr(plhs[0]), mxGetIr(plhs[0]), mxGetJc(plhs[0])};

  // An empty fifth input means no sigma, as in MATLAB's own optional arguments.
  std::optional<double> sigma;
  if (nrhs >= 5 && !mxIsEmpty(prhs[kSigma]))
    sigma = mxGetScalar(prhs[kSigma]);

  quorvane::buildWeightMatrix(grid, static_cast<const double*>(mxGetPr(prhs[kMagnitude])),
                              static_cast<const double*>(mxGetPr(prhs[kPhase])), pattern, sigma,
                              out);
}
