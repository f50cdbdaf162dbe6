// The ways the call fuzzer bends a valid call, one small function each, chosen by one fuzz
// byte through a table. The table's order is part of the corpus's meaning: entry n is what
// byte value n (mod the table's size) has always chosen, so new mutations go at the end
// (before the last, which takes every byte value beyond the others) only together with a
// new corpus, and existing ones keep their place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "call_model.h"
#include "fuzz_input.h"

namespace callfuzz {

using fuzzing::FuzzInput;

struct Mutation {
  const char* name;
  void (*apply)(FuzzInput& in, Call& call);  // called with at least four inputs
};

extern const Mutation kMutations[];
extern const std::size_t kMutationCount;

// Bends one part of a call with at least four inputs (others stay as they are); returns the
// index in kMutations of the mutation applied, or -1.
int mutate(FuzzInput& in, Call& call);

}  // namespace callfuzz
