// A stand-in MEX host for fast tests of the gateway: arrays of any class and size (also
// sizes too large to allocate, which carry no data), an output allocator and mxMalloc that
// can be made to fail, and mexErrMsgTxt that ends the call with an exception, as a real
// host unwinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mex.h"

namespace testhost {
// kCell stands for every class that is neither numeric nor logical nor char nor struct (cell,
// function handle): arrays of it hold no data the gateway may read. A kStruct array holds
// fields instead of data.
enum class ClassId {
  kDouble,
  kSingle,
  kUint32,
  kInt32,
  kUint8,
  kLogical,
  kChar,
  kCell,
  kInt8,
  kInt16,
  kUint16,
  kInt64,
  kUint64,
  kStruct,
};
// Bytes per element of a class (0 for kCell).
std::size_t elementBytes(ClassId classId);
}  // namespace testhost

// The host's array. Only what the gateway can observe is modelled.
struct mxArray {
  testhost::ClassId classId = testhost::ClassId::kDouble;
  bool complex = false;
  bool sparse = false;
  std::uint64_t rows = 0, cols = 0;  // cols: every dimension after the first folded in
  std::uint64_t dimensions = 2;
  std::vector<unsigned char> data;  // empty for arrays that only claim a size
  std::vector<double> imag;
  // Sparse arrays only.
  std::vector<mwIndex> ir, jc;
  // size(x) when it has more than two dimensions (rows and the rest folded into cols agree).
  std::vector<mwSize> shape;
  // A 1 x 1 struct's fields, in their order.
  std::vector<std::pair<std::string, std::shared_ptr<mxArray>>> fields;
  mutable std::vector<mwSize> dimensionsSeen;  // what mxGetDimensions returns
};

namespace testhost {

using HostArray = mxArray;

std::unique_ptr<HostArray> doubleArray(std::uint64_t rows, std::uint64_t cols,
                                       const std::vector<double>& values);
std::unique_ptr<HostArray> uint32Array(std::uint64_t rows, std::uint64_t cols,
                                       const std::vector<std::uint32_t>& values);
// An array of any class but kCell with these elements' bytes (elementBytes(classId) each).
std::unique_ptr<HostArray> rawArray(ClassId classId, std::uint64_t rows, std::uint64_t cols,
                                    const void* elements);
inline std::unique_ptr<HostArray> uint32Column(const std::vector<std::uint32_t>& values) {
  return uint32Array(values.size(), 1, values);
}
// An array that claims rows x cols elements of a class but holds no data: lets the checks
// that run before any data is read be tested at sizes nobody can allocate.
std::unique_ptr<HostArray> sizeOnlyArray(ClassId classId, std::uint64_t rows, std::uint64_t cols);

struct CallResult {
  std::optional<std::string> error;   // the message passed to mexErrMsgTxt, if any
  std::string identifier;             // mexErrMsgIdAndTxt's identifier, if it raised it
  std::unique_ptr<HostArray> output;  // what the gateway placed in output slot 1
  std::unique_ptr<HostArray> second;  // and in output slot 2
};

// Calls mexFunction with the given inputs and requested output count, as a host would.
CallResult call(int nlhs, const std::vector<const HostArray*>& inputs);

// Host state observed across calls.
struct HostLog {
  std::vector<std::string> messages;  // every mexErrMsgTxt text, in order
  int sparseCreations = 0;            // successful mxCreateSparse calls
  int arraysAlive = 0;                // created by the host and not yet released
  int mallocs = 0;                    // successful mxMalloc calls
  int blocksLeft = 0;  // mxMalloc blocks that calls left unfreed (the host frees them then,
                       // as MATLAB and Octave do, but a gateway frees its own)
};
HostLog& log();
void resetLog();

// The next mxCreateSparse returns null, as a host out of memory would.
void failNextSparseCreation();
// The next mxCreateDoubleMatrix returns null.
void failNextMatrixCreation();
// The nth mxMalloc from now (1: the next one) returns null, as a host out of memory would.
void failMalloc(int nth = 1);
// Outputs and mxMalloc blocks of more than this many bytes are refused (null), default 1 GiB.
void setAllocationLimit(std::uint64_t bytes);

// Stored entries of a sparse output, for comparisons.
std::vector<double> values(const HostArray& sparse);

}  // namespace testhost
