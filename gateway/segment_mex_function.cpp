// Host entry point of [labels, count] = quorvane_segment(image[, options]): the checks and
// messages of core/segment/segment_call.h, then the core's segmentation of the image read
// where it lies, on the calling thread. Every error is raised once the call's own memory is
// freed, since a host may leave the function without unwinding it.

#include <cstdint>
#include <cstdio>
#include <new>

#include "mex.h"

#include "element_class.h"
#include "segment/segment_call.h"
#include "thread_workers.h"

namespace {

namespace seg = quorvane::segment;
using quorvane::ElementClass;
using quorvane::mex::elementClassOf;

seg::ValueFacts valueFacts(const mxArray* array) {
  seg::ValueFacts facts;
  facts.elements = elementClassOf(array);
  facts.className = mxGetClassName(array);
  facts.complex = mxIsComplex(array);
  facts.sparse = mxIsSparse(array);
  const mwSize* dims = mxGetDimensions(array);
  for (mwSize d = 0; d < mxGetNumberOfDimensions(array); ++d)
    facts.dimensions.push_back(static_cast<std::uint64_t>(dims[d]));
  if (mxIsNumeric(array) && !facts.complex && mxGetNumberOfElements(array) == 1)
    facts.value = mxGetScalar(array);
  return facts;
}

seg::SegmentCallFacts callFacts(int nlhs, int nrhs, const mxArray* prhs[]) {
  seg::SegmentCallFacts call;
  call.inputs = nrhs;
  call.outputs = nlhs;
  if (nrhs >= 1)
    call.image = valueFacts(prhs[0]);
  if (nrhs >= 2) {
    call.options = valueFacts(prhs[1]);
    call.optionsAreStruct = mxIsStruct(prhs[1]);
    if (call.optionsAreStruct && mxGetNumberOfElements(prhs[1]) == 1) {
      for (int k = 0; k < mxGetNumberOfFields(prhs[1]); ++k)
        call.fields.emplace_back(mxGetFieldNameByNumber(prhs[1], k),
                                 valueFacts(mxGetFieldByNumber(prhs[1], 0, k)));
    }
  }
  return call;
}

// Octave prefixes a MEX file's messages with its name; MATLAB does not.
#ifdef HAVE_OCTAVE
constexpr const char kFormat[] = "%s";
#else
constexpr const char kFormat[] = "quorvane_segment: %s";
#endif

struct Refusal {
  char identifier[64] = "";
  char text[1024] = "";
};

void refuse(Refusal& refusal, const seg::CheckedSegmentCall& call) {
  std::snprintf(refusal.identifier, sizeof refusal.identifier, "%s", call.identifier);
  std::snprintf(refusal.text, sizeof refusal.text, "%s", call.text.c_str());
}

// Leaves the outputs in plhs, or the refusal.
void segment(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Refusal& refusal) {
  try {
    seg::CheckedSegmentCall call = seg::checkSegmentCall(callFacts(nlhs, nrhs, prhs));
    if (call.fault != seg::SegmentCallFault::kNone)
      return refuse(refusal, call);
    const seg::SegmentOutcome outcome =
        seg::segmentCall(call, elementClassOf(prhs[0]), mxGetData(prhs[0]),
                         quorvane::threadWorkers(quorvane::usableCores()));
    if (call.fault != seg::SegmentCallFault::kNone)
      return refuse(refusal, call);
    plhs[0] = mxCreateDoubleMatrix(static_cast<mwSize>(call.rows),
                                   static_cast<mwSize>(call.columns), mxREAL);
    if (nlhs > 1)
      plhs[1] = mxCreateDoubleScalar(static_cast<double>(outcome.count));
    if (plhs[0] == nullptr || (nlhs > 1 && plhs[1] == nullptr)) {
      seg::refuseForMemory(call);
      return refuse(refusal, call);
    }
    seg::writeColumnMajorLabels(call, outcome, mxGetPr(plhs[0]));
  } catch (const std::bad_alloc&) {
    std::snprintf(refusal.identifier, sizeof refusal.identifier, "quorvane_segment:outOfMemory");
    std::snprintf(refusal.text, sizeof refusal.text, "out of memory");
  }
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  Refusal refusal;
  segment(nlhs, plhs, nrhs, prhs, refusal);
  if (refusal.identifier[0] != '\0')
    mexErrMsgIdAndTxt(refusal.identifier, kFormat, refusal.text);
}
