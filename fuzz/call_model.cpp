#include "call_model.h"

#include <limits>

#include "host_arrays.h"

namespace callfuzz {

using testhost::ClassId;
using testhost::elementCount;
using testhost::getU32;
using testhost::holdsNoData;

const char* const kMessages[] = {
    "Four input arguments required",
    "Too many output arguments",
    "Edge magnitude and phase shall be of the same image size",
    "Edge magnitude and phase shall have fewer than 2^31 pixels",
    "Edge magnitude and phase shall be real double matrices",
    "Index pair shall be of type UINT32",
    "Wrong index representation",
    "Index pair column starts shall not decrease",
    "Index pair has fewer row indices than its last column start",
    "Index pair row index exceeds the image size",
    "Sigma shall be a real scalar",
    "Not enough memory for the output matrix",
};

namespace {

// The checks that read no data: counts, the images' size and kind, the index pair's class
// and length.
int checkCountsAndKinds(const Call& call) {
  const auto& in = call.inputs;
  if (in.size() < 4)
    return kFourInputs;
  if (call.nlhs > 1)
    return kTooManyOutputs;
  const std::uint64_t nr = in[0]->rows, nc = in[0]->cols;
  if (nr == 0 || nc == 0 || in[1]->rows != nr || in[1]->cols != nc)
    return kImageSize;
  if (static_cast<unsigned __int128>(nr) * nc > std::numeric_limits<std::int32_t>::max())
    return kTooManyPixels;
  const auto realMatrix = [](const HostArray& a) {
    return a.classId != ClassId::kChar && a.classId != ClassId::kCell && !a.complex && !a.sparse &&
           a.dimensions == 2;
  };
  if (!realMatrix(*in[0]) || !realMatrix(*in[1]))
    return kNotRealDouble;
  if (in[2]->classId != ClassId::kUint32 || in[3]->classId != ClassId::kUint32)
    return kNotUint32;
  if (elementCount(*in[3]) != nr * nc + 1)
    return kWrongIndexRepresentation;
  return kSuccess;
}

// The pattern's checks, on index arrays that hold data.
int checkPattern(const HostArray& ir, const HostArray& jc, std::uint64_t np) {
  for (std::uint64_t j = 0; j < np; ++j) {
    if (getU32(jc, j + 1) < getU32(jc, j))
      return kDecreasing;
  }
  const std::uint32_t first = getU32(jc, 0), last = getU32(jc, np);
  if (elementCount(ir) < last)
    return kTooFewRows;
  for (std::uint32_t k = first; k < last; ++k) {
    if (getU32(ir, k) >= np)
      return kRowOutOfRange;
  }
  return kSuccess;
}

// Empty: the default sigma; otherwise one number.
bool sigmaFits(const Call& call) {
  const auto& in = call.inputs;
  if (in.size() < 5 || elementCount(*in[4]) == 0)
    return true;
  const HostArray& sigma = *in[4];
  const bool number = sigma.classId != ClassId::kChar && sigma.classId != ClassId::kCell &&
                      !sigma.complex && !sigma.sparse;
  return number && elementCount(sigma) == 1;
}

// Sigma is read first; then the images, magnitude first: a double one where it lies, one of
// another class copied as doubles into a block taken from the host and read in full; then
// the output, room for `last` entries.
int checkAllocations(const Call& call, std::uint64_t np, std::uint32_t last, bool& unanswerable,
                     Allocation& failed) {
  const auto& in = call.inputs;
  if (in.size() >= 5 && elementCount(*in[4]) != 0 && holdsNoData(*in[4])) {
    unanswerable = true;
    return kSuccess;
  }
  Allocation copy = Allocation::kFirstCopy;
  for (int n = 0; n < 2; ++n) {
    if (in[n]->classId == ClassId::kDouble) {
      if (holdsNoData(*in[n])) {
        unanswerable = true;
        return kSuccess;
      }
      continue;
    }
    if (call.failing == copy) {
      failed = copy;
      return kNoMemory;
    }
    if (np * 8 > kAllocationLimit)
      return kNoMemory;
    if (holdsNoData(*in[n])) {
      unanswerable = true;
      return kSuccess;
    }
    copy = Allocation::kSecondCopy;
  }
  const std::uint64_t capacity = last > 0 ? last : 1;
  if (call.failing == Allocation::kOutput) {
    failed = Allocation::kOutput;
    return kNoMemory;
  }
  if (capacity * 16 + (np + 1) * 8 > kAllocationLimit)
    return kNoMemory;
  return kSuccess;
}

}  // namespace

int expectedOutcome(const Call& call, bool& unanswerable, Allocation& failed) {
  unanswerable = false;
  failed = Allocation::kNone;
  const int kind = checkCountsAndKinds(call);
  if (kind != kSuccess)
    return kind;
  const auto& in = call.inputs;
  // From here on the gateway may take the data of both index arrays.
  if (holdsNoData(*in[2]) || holdsNoData(*in[3])) {
    unanswerable = true;
    return kSuccess;
  }
  const std::uint64_t np = in[0]->rows * in[0]->cols;
  const int pattern = checkPattern(*in[2], *in[3], np);
  if (pattern != kSuccess)
    return pattern;
  if (!sigmaFits(call))
    return kSigma;
  return checkAllocations(call, np, getU32(*in[3], np), unanswerable, failed);
}

}  // namespace callfuzz
