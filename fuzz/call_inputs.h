// Host arrays decoded from fuzz bytes: any array, any sigma, and the ways the call fuzzer
// bends one array (another class, complex, another numeric class for an image). Each reads
// its bytes from the FuzzInput in a fixed order: changing that order changes what every
// input of the committed corpus decodes to.
#pragma once

#include <cstdint>
#include <memory>

#include "fuzz_input.h"
#include "test_host.h"

namespace callfuzz {

using fuzzing::FuzzInput;
using testhost::HostArray;

// A shape for n elements: a column, a row, or another factorisation.
void shapeFor(FuzzInput& in, std::uint64_t n, std::uint64_t& rows, std::uint64_t& cols);

// Another class for an array, with its data refilled with zeros or ones.
void changeClass(FuzzInput& in, HostArray& a);

// Complex arrays exist of every numeric class; only a double's imaginary part is modelled.
void makeComplex(FuzzInput& in, HostArray& a);

// Any array: small, of any class and content; now and then a huge one that holds no data.
std::unique_ptr<HostArray> anyArray(FuzzInput& in);

// Sigma of every kind the host can pass: a double scalar, empty, other classes, complex,
// sparse, a matrix, a cell.
std::unique_ptr<HostArray> anySigma(FuzzInput& in);

// An image of another numeric or logical class in place of a real double one with data:
// mostly small integers (weights away from 0), now and then any bytes; logical bytes other
// than 1 too.
void retypeImage(FuzzInput& in, std::unique_ptr<HostArray>& image);

}  // namespace callfuzz
