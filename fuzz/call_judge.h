// Judging a call the fuzzer built: runs it through the stand-in host and aborts (which the
// fuzzer reports as a crash, with the input saved) unless it ends as the call contract's
// model says, leaves its inputs as they were and the host holding nothing.
#pragma once

#include <string>

#include "call_model.h"

namespace callfuzz {

[[noreturn]] void fail(const std::string& what);

// One line per input, for reproducing a failure.
void printCall(const Call& call, int expected);

// `expected`: the model's outcome; `failed`: the allocation the host is to refuse.
void runAndJudge(const Call& call, int expected, Allocation failed);

}  // namespace callfuzz
