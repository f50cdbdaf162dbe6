// The subset of the MEX interface that the gateway uses, served by the test host in
// tests/host/test_host.cpp. Types follow Octave's: signed 64-bit sizes and indices.
#pragma once

#include <cstddef>
#include <cstdint>

using mwSize = std::int64_t;
using mwIndex = std::int64_t;

struct mxArray;

enum mxComplexity { mxREAL = 0, mxCOMPLEX };

// As MATLAB and Octave number them.
enum mxClassID {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
};

extern "C" {
mwSize mxGetM(const mxArray* array);
mwSize mxGetN(const mxArray* array);
mwSize mxGetNumberOfDimensions(const mxArray* array);
const mwSize* mxGetDimensions(const mxArray* array);
std::size_t mxGetNumberOfElements(const mxArray* array);
const char* mxGetClassName(const mxArray* array);
bool mxIsStruct(const mxArray* array);
int mxGetNumberOfFields(const mxArray* array);
const char* mxGetFieldNameByNumber(const mxArray* array, int field);
mxArray* mxGetFieldByNumber(const mxArray* array, mwIndex index, int field);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray* mxCreateDoubleScalar(double value);
bool mxIsEmpty(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsLogical(const mxArray* array);
bool mxIsUint32(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
double* mxGetPr(const mxArray* array);
void* mxGetData(const mxArray* array);
double mxGetScalar(const mxArray* array);
mxArray* mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag);
mwIndex* mxGetIr(const mxArray* array);
mwIndex* mxGetJc(const mxArray* array);
void* mxMalloc(std::size_t n);
void mxFree(void* ptr);
[[noreturn]] void mexErrMsgTxt(const char* message);
[[noreturn]] void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...);

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}
