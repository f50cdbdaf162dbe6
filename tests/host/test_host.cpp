#include "test_host.h"

#include "host_arrays.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>

namespace testhost {
namespace {

// Thrown by mexErrMsgTxt and caught in call(): the call ends where the message is raised.
struct CallError {
  std::string message;
  std::string identifier;
};

HostLog hostLog;
bool failNext = false;
bool failNextMatrix = false;
int mallocsUntilFailure = 0;  // 0: none pending
std::uint64_t allocationLimit = std::uint64_t{1} << 30;
std::set<void*> blocks;  // from mxMalloc, not yet freed

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

std::size_t elementBytes(ClassId classId) {
  switch (classId) {
    case ClassId::kDouble:
    case ClassId::kInt64:
    case ClassId::kUint64:
      return 8;
    case ClassId::kSingle:
    case ClassId::kUint32:
    case ClassId::kInt32:
      return 4;
    case ClassId::kChar:
    case ClassId::kInt16:
    case ClassId::kUint16:
      return 2;
    case ClassId::kUint8:
    case ClassId::kInt8:
    case ClassId::kLogical:
      return 1;
    case ClassId::kCell:
    case ClassId::kStruct:
      return 0;
  }
  return 0;
}

std::unique_ptr<HostArray> rawArray(ClassId classId, std::uint64_t rows, std::uint64_t cols,
                                    const void* elements) {
  if (classId == ClassId::kCell)
    throw std::invalid_argument("a cell holds no elements");
  auto array = std::make_unique<HostArray>();
  array->classId = classId;
  array->rows = rows;
  array->cols = cols;
  array->data.resize(rows * cols * elementBytes(classId));
  if (!array->data.empty())
    std::memcpy(array->data.data(), elements, array->data.size());
  return array;
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
    result.identifier = error.identifier;
  }
  // What mxMalloc gave and the call did not free, the host frees now.
  hostLog.blocksLeft += static_cast<int>(blocks.size());
  for (void* block : blocks)
    std::free(block);
  blocks.clear();
  // The host owns whatever was placed in the slots, also when the call failed.
  result.output.reset(outputs[0]);
  result.second.reset(outputs[1]);
  for (int slot = 2; slot < 8; ++slot)
    delete outputs[slot];
  hostLog.arraysAlive -= (result.output ? 1 : 0) + (result.second ? 1 : 0);
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
void failNextMatrixCreation() {
  failNextMatrix = true;
}
void failMalloc(int nth) {
  mallocsUntilFailure = nth;
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
  if (array->classId == ClassId::kCell || array->classId == ClassId::kStruct)
    throw std::logic_error("gateway read the data of a cell or struct");
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
mxClassID mxGetClassID(const mxArray* array) {
  switch (array->classId) {
    case ClassId::kDouble:
      return mxDOUBLE_CLASS;
    case ClassId::kSingle:
      return mxSINGLE_CLASS;
    case ClassId::kInt8:
      return mxINT8_CLASS;
    case ClassId::kUint8:
      return mxUINT8_CLASS;
    case ClassId::kInt16:
      return mxINT16_CLASS;
    case ClassId::kUint16:
      return mxUINT16_CLASS;
    case ClassId::kInt32:
      return mxINT32_CLASS;
    case ClassId::kUint32:
      return mxUINT32_CLASS;
    case ClassId::kInt64:
      return mxINT64_CLASS;
    case ClassId::kUint64:
      return mxUINT64_CLASS;
    case ClassId::kLogical:
      return mxLOGICAL_CLASS;
    case ClassId::kChar:
      return mxCHAR_CLASS;
    case ClassId::kCell:
      return mxCELL_CLASS;
    case ClassId::kStruct:
      return mxSTRUCT_CLASS;
  }
  return mxUNKNOWN_CLASS;
}
const mwSize* mxGetDimensions(const mxArray* array) {
  array->dimensionsSeen = array->shape;
  if (array->shape.empty())
    array->dimensionsSeen = {static_cast<mwSize>(array->rows), static_cast<mwSize>(array->cols)};
  return array->dimensionsSeen.data();
}
std::size_t mxGetNumberOfElements(const mxArray* array) {
  return static_cast<std::size_t>(array->rows * array->cols);
}
const char* mxGetClassName(const mxArray* array) {
  static const char* const names[] = {"double",  "single", "uint32", "int32", "uint8",
                                      "logical", "char",   "cell",   "int8",  "int16",
                                      "uint16",  "int64",  "uint64", "struct"};
  return names[static_cast<int>(array->classId)];
}
bool mxIsStruct(const mxArray* array) {
  return array->classId == ClassId::kStruct;
}
int mxGetNumberOfFields(const mxArray* array) {
  if (!mxIsStruct(array))
    throw std::logic_error("fields of an array that is no struct");
  return static_cast<int>(array->fields.size());
}
const char* mxGetFieldNameByNumber(const mxArray* array, int field) {
  return array->fields.at(static_cast<std::size_t>(field)).first.c_str();
}
mxArray* mxGetFieldByNumber(const mxArray* array, mwIndex index, int field) {
  if (index != 0 || mxGetNumberOfElements(array) != 1)
    throw std::logic_error("the fields of a struct array's element other than one alone");
  return array->fields.at(static_cast<std::size_t>(field)).second.get();
}
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  if (flag != mxREAL)
    throw std::logic_error("the gateway creates real outputs only");
  const auto bytes = static_cast<std::uint64_t>(m) * static_cast<std::uint64_t>(n) * 8;
  if (testhost::failNextMatrix || bytes > testhost::allocationLimit) {
    testhost::failNextMatrix = false;
    return nullptr;
  }
  auto* array = new mxArray;
  array->rows = static_cast<std::uint64_t>(m);
  array->cols = static_cast<std::uint64_t>(n);
  array->data.assign(bytes, 0);
  ++testhost::log().arraysAlive;
  return array;
}
mxArray* mxCreateDoubleScalar(double value) {
  mxArray* array = mxCreateDoubleMatrix(1, 1, mxREAL);
  if (array != nullptr)
    std::memcpy(array->data.data(), &value, sizeof value);
  return array;
}
bool mxIsDouble(const mxArray* array) {
  return array->classId == ClassId::kDouble;
}
bool mxIsNumeric(const mxArray* array) {
  switch (array->classId) {
    case ClassId::kLogical:
    case ClassId::kChar:
    case ClassId::kCell:
    case ClassId::kStruct:
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
  dataOf(array);  // fails for arrays that hold no data
  return testhost::asDouble(*array, 0);
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

// Blocks of the gateway's own, counted until freed; failures injected or above the limit.
void* mxMalloc(std::size_t n) {
  const bool injected = testhost::mallocsUntilFailure > 0 && --testhost::mallocsUntilFailure == 0;
  if (injected || n > testhost::allocationLimit)
    return nullptr;
  void* block = std::malloc(n > 0 ? n : 1);
  if (block == nullptr)
    return nullptr;
  testhost::blocks.insert(block);
  ++testhost::log().mallocs;
  return block;
}
void mxFree(void* ptr) {
  if (ptr == nullptr)
    return;
  if (testhost::blocks.erase(ptr) != 1)
    throw std::logic_error("mxFree of memory that mxMalloc did not give");
  std::free(ptr);
}

void mexErrMsgTxt(const char* message) {
  testhost::log().messages.emplace_back(message);
  throw CallError{message, ""};
}

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  char message[4096];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  testhost::log().messages.emplace_back(message);
  throw CallError{message, identifier};
}

}  // extern "C"
