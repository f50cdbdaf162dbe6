#include "test_host.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace testhost {
namespace {

// Thrown by mexErrMsgTxt and caught in call(): the call ends where the message is raised.
struct CallError {
  std::string message;
};

HostLog hostLog;
bool failNext = false;
std::uint64_t allocationLimit = std::uint64_t{1} << 30;

template <typename T>
std::unique_ptr<HostArray> filled(ClassId classId, std::uint64_t rows, std::uint64_t cols,
                                  const std::vector<T>& values) {
  if (values.size() != rows * cols)
    throw std::invalid_argument("values do not fill the array");
  auto array = std::make_unique<HostArray>();
  array->classId = classId;
  array->rows = rows;
  array->cols = cols;
  array->data.resize(values.size() * sizeof(T));
  if (!values.empty())
    std::memcpy(array->data.data(), values.data(), array->data.size());
  return array;
}

}  // namespace

std::unique_ptr<HostArray> doubleArray(std::uint64_t rows, std::uint64_t cols,
                                       const std::vector<double>& values) {
  return filled(ClassId::kDouble, rows, cols, values);
}

std::unique_ptr<HostArray> uint32Array(std::uint64_t rows, std::uint64_t cols,
                                       const std::vector<std::uint32_t>& values) {
  return filled(ClassId::kUint32, rows, cols, values);
}

std::unique_ptr<HostArray> sizeOnlyArray(ClassId classId, std::uint64_t rows, std::uint64_t cols) {
  auto array = std::make_unique<HostArray>();
  array->classId = classId;
  array->rows = rows;
  array->cols = cols;
  return array;
}

CallResult call(int nlhs, const std::vector<const HostArray*>& inputs) {
  mxArray* outputs[8] = {};
  CallResult result;
  try {
    mexFunction(nlhs, outputs, static_cast<int>(inputs.size()),
                const_cast<const mxArray**>(inputs.data()));
  } catch (const CallError& error) {
    result.error = error.message;
  }
  // The host owns whatever was placed in the slots, also when the call failed.
  result.output.reset(outputs[0]);
  for (int slot = 1; slot < 8; ++slot)
    delete outputs[slot];
  if (result.output)
    --hostLog.arraysAlive;
  return result;
}

HostLog& log() {
  return hostLog;
}
void resetLog() {
  hostLog = HostLog{};
}
void failNextSparseCreation() {
  failNext = true;
}
void setAllocationLimit(std::uint64_t bytes) {
  allocationLimit = bytes;
}

std::vector<double> values(const HostArray& sparse) {
  std::vector<double> result(static_cast<std::size_t>(sparse.jc.back()));
  if (!result.empty())  // memcpy from an empty vector's null data is undefined, even of 0 bytes
    std::memcpy(result.data(), sparse.data.data(), result.size() * sizeof(double));
  return result;
}

}  // namespace testhost

using testhost::CallError;
using testhost::ClassId;

namespace {

// Data of an array that must hold real data: reading a size-only array is a test failure,
// since the gateway must not read data before its checks pass.
void* dataOf(const mxArray* array) {
  if (array->classId == ClassId::kCell)
    throw std::logic_error("gateway read the data of a cell");
  if (array->data.empty() && array->rows * array->cols != 0) {
    throw std::logic_error("gateway read the data of an array that holds none");
  }
  return const_cast<unsigned char*>(array->data.data());
}

}  // namespace

extern "C" {

mwSize mxGetM(const mxArray* array) {
  return static_cast<mwSize>(array->rows);
}
mwSize mxGetN(const mxArray* array) {
  return static_cast<mwSize>(array->cols);
}
mwSize mxGetNumberOfDimensions(const mxArray* array) {
  return static_cast<mwSize>(array->dimensions);
}
bool mxIsEmpty(const mxArray* array) {
  return array->rows * array->cols == 0;
}
bool mxIsDouble(const mxArray* array) {
  return array->classId == ClassId::kDouble;
}
bool mxIsNumeric(const mxArray* array) {
  switch (array->classId) {
    case ClassId::kLogical:
    case ClassId::kChar:
    case ClassId::kCell:
      return false;
    default:
      return true;
  }
}
bool mxIsLogical(const mxArray* array) {
  return array->classId == ClassId::kLogical;
}
bool mxIsUint32(const mxArray* array) {
  return array->classId == ClassId::kUint32;
}
bool mxIsComplex(const mxArray* array) {
  return array->complex;
}
bool mxIsSparse(const mxArray* array) {
  return array->sparse;
}
double* mxGetPr(const mxArray* array) {
  return static_cast<double*>(dataOf(array));
}
void* mxGetData(const mxArray* array) {
  return dataOf(array);
}

double mxGetScalar(const mxArray* array) {
  if (mxIsEmpty(array))
    throw std::logic_error("mxGetScalar of an empty array is undefined");
  // A sparse array's scalar is its first stored value, 0 when it stores none.
  if (array->sparse && (array->jc.empty() || array->jc.back() == 0))
    return 0.0;
  const void* data = dataOf(array);
  switch (array->classId) {
    case ClassId::kDouble:
      return *static_cast<const double*>(data);
    case ClassId::kUint32:
      return *static_cast<const std::uint32_t*>(data);
    case ClassId::kInt32:
      return *static_cast<const std::int32_t*>(data);
    case ClassId::kSingle:
      return *static_cast<const float*>(data);
    case ClassId::kUint8:
      return *static_cast<const std::uint8_t*>(data);
    case ClassId::kLogical:
      return *static_cast<const std::uint8_t*>(data) != 0 ? 1.0 : 0.0;
    case ClassId::kChar:
      return *static_cast<const std::uint16_t*>(data);
    default:
      throw std::logic_error("mxGetScalar of this class is not modelled");
  }
}

mxArray* mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag) {
  if (flag != mxREAL)
    throw std::logic_error("the gateway creates real outputs only");
  const auto capacity = static_cast<std::uint64_t>(nzmax > 0 ? nzmax : 1);
  const std::uint64_t bytes = capacity * (sizeof(double) + sizeof(mwIndex)) +
                              (static_cast<std::uint64_t>(n) + 1) * sizeof(mwIndex);
  if (testhost::failNext || bytes > testhost::allocationLimit) {
    testhost::failNext = false;
    return nullptr;
  }
  auto* array = new mxArray;
  array->classId = ClassId::kDouble;
  array->sparse = true;
  array->rows = static_cast<std::uint64_t>(m);
  array->cols = static_cast<std::uint64_t>(n);
  array->data.assign(capacity * sizeof(double), 0);
  array->ir.assign(capacity, -1);
  array->jc.assign(static_cast<std::size_t>(n) + 1, -1);
  ++testhost::log().sparseCreations;
  ++testhost::log().arraysAlive;
  return array;
}

mwIndex* mxGetIr(const mxArray* array) {
  return const_cast<mwIndex*>(array->ir.data());
}
mwIndex* mxGetJc(const mxArray* array) {
  return const_cast<mwIndex*>(array->jc.data());
}

void mexErrMsgTxt(const char* message) {
  testhost::log().messages.emplace_back(message);
  throw CallError{message};
}

}  // extern "C"
