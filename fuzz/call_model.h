// The call contract of mexFunction, modelled independently of the gateway: a call as the
// fuzzer builds it, every message the contract knows, and which of them (or success) a call
// must end with.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "test_host.h"

namespace callfuzz {

using testhost::HostArray;

// The messages in the order of the checks that raise them.
enum Message {
  kFourInputs,
  kTooManyOutputs,
  kImageSize,
  kTooManyPixels,
  kNotRealDouble,
  kNotUint32,
  kWrongIndexRepresentation,
  kDecreasing,
  kTooFewRows,
  kRowOutOfRange,
  kSigma,
  kNoMemory,
};
constexpr int kSuccess = -1;
extern const char* const kMessages[];

// Small, so that the host refuses large outputs (more than 65535 entries) quickly instead
// of allocating them.
constexpr std::uint64_t kAllocationLimit = std::uint64_t{1} << 20;

// The host allocations a call may make, in the gateway's order: a copy of each image that
// is not double, then the output.
enum class Allocation { kNone, kFirstCopy, kSecondCopy, kOutput };

struct Call {
  int nlhs = 1;
  std::vector<std::unique_ptr<HostArray>> inputs;
  Allocation failing = Allocation::kNone;  // wanted: this allocation shall fail
};

// What the call contract says about a call: the index of the message of the first failing
// check, or kSuccess. `unanswerable` is set when the contract lets the gateway read data
// that the host only claims to have (a huge size-only array): such calls cannot be run.
// `failed` is the allocation that is to fail and that the call reaches, if any.
int expectedOutcome(const Call& call, bool& unanswerable, Allocation& failed);

}  // namespace callfuzz
