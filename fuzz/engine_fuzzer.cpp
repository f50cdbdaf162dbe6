// Fuzz target: the engine, quorvane::buildWeightMatrix and each instruction-set kernel of
// computeWeights this processor runs (and the best one split among workers), against the reference
// transcription in tests/support on arbitrary valid grids, images and patterns. Images take any
// double (NaN of any payload, both zeros, infinities, negatives, subnormals); patterns have leading
// offsets, unsorted and duplicate rows, empty columns and unread garbage around the read range;
// sigma is absent or any double. Every index type a host uses is run. The output arrays are
// exactly as large as the pattern needs, so AddressSanitizer sees any write past them.
// Any difference aborts, which the fuzzer reports as a crash with the input saved.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "build_weight_matrix.h"
#include "fuzz_input.h"
#include "reference_weights.h"
#include "weight_engine.h"

namespace {

struct Case {
  std::int32_t nr = 1, nc = 1;
  std::vector<double> magnitude, phase;
  std::vector<std::uint32_t> ir, jc;
  std::optional<double> sigma;
};

// Grids: small ones mostly, where every pair fits; long lines and larger grids for long
// walks with many rounding steps.
void decodeGrid(fuzzing::FuzzInput& in, Case& c) {
  switch (in.inRange(0, 4)) {
    case 0:
    case 1:
      c.nr = static_cast<std::int32_t>(in.inRange(1, 8));
      c.nc = static_cast<std::int32_t>(in.inRange(1, 8));
      break;
    case 2:  // a line, either way
      c.nr = static_cast<std::int32_t>(in.inRange(1, 200));
      c.nc = 1;
      if (in.chance(128))
        std::swap(c.nr, c.nc);
      break;
    case 3:
      c.nr = static_cast<std::int32_t>(in.inRange(1, 60));
      c.nc = static_cast<std::int32_t>(in.inRange(1, 60));
      break;
    default:
      c.nr = static_cast<std::int32_t>(in.inRange(1, 4));
      c.nc = static_cast<std::int32_t>(in.inRange(1, 120));
      if (in.chance(128))
        std::swap(c.nr, c.nc);
      break;
  }
}

// The row of one pattern entry of column j: anywhere, the diagonal, a neighbour, or the
// same row or column, so that short, axis-parallel and diagonal walks are all common.
std::uint32_t decodeRow(fuzzing::FuzzInput& in, const Case& c, std::int32_t j) {
  const std::int32_t np = c.nr * c.nc;
  const std::int32_t row = j % c.nr, col = j / c.nr;
  std::int64_t target = 0;
  switch (in.inRange(0, 5)) {
    case 0:
    case 1:
      target = in.inRange(0, static_cast<std::uint32_t>(np - 1));
      break;
    case 2:
      target = j;
      break;
    case 3: {
      const std::int64_t dr = static_cast<std::int64_t>(in.inRange(0, 6)) - 3;
      const std::int64_t dc = static_cast<std::int64_t>(in.inRange(0, 6)) - 3;
      target = (row + dr) + (col + dc) * c.nr;
      break;
    }
    case 4:  // same column of the image, any row
      target = in.inRange(0, static_cast<std::uint32_t>(c.nr - 1)) + col * c.nr;
      break;
    default: {  // a diagonal through pixel j
      const std::int64_t d = static_cast<std::int64_t>(in.inRange(0, 80)) - 40;
      target = (row + d) + (col + (in.chance(128) ? d : -d)) * c.nr;
      break;
    }
  }
  if (target < 0 || target >= np)
    target = ((target % np) + np) % np;
  return static_cast<std::uint32_t>(target);
}

Case decode(fuzzing::FuzzInput& in) {
  Case c;
  decodeGrid(in, c);
  const std::int32_t np = c.nr * c.nc;
  const bool raw = in.chance(40);
  for (std::int32_t p = 0; p < np; ++p) {
    c.magnitude.push_back(raw ? in.rawDouble() : in.awkwardDouble());
    c.phase.push_back(raw && in.chance(60) ? in.rawDouble() : in.phaseValue());
  }
  // Entries before jc[0] and after jc[np] are never read: fill them with garbage.
  const std::uint32_t offset = in.chance(180) ? 0 : in.inRange(1, 5);
  for (std::uint32_t k = 0; k < offset; ++k)
    c.ir.push_back(in.u32());
  c.jc.push_back(offset);
  const std::uint32_t most = np <= 16 ? static_cast<std::uint32_t>(np) + 2 : 6;
  for (std::int32_t j = 0; j < np; ++j) {
    const std::uint32_t count = in.inRange(0, most);
    for (std::uint32_t n = 0; n < count; ++n)
      c.ir.push_back(decodeRow(in, c, j));
    c.jc.push_back(static_cast<std::uint32_t>(c.ir.size()));
  }
  const std::uint32_t trailing = in.inRange(0, 2);
  for (std::uint32_t k = 0; k < trailing; ++k)
    c.ir.push_back(in.u32());
  if (in.chance(200))
    c.sigma = in.chance(128) ? in.awkwardDouble() : in.rawDouble();
  return c;
}

[[noreturn]] void fail(const Case& c, const char* index, const char* what, std::size_t k,
                       double expected, double got) {
  std::uint64_t e, g;
  std::memcpy(&e, &expected, sizeof e);
  std::memcpy(&g, &got, sizeof g);
  std::fprintf(stderr,
               "engine differs from the reference (%s index): %s at %zu: expected %.17g "
               "(0x%016llx), got %.17g (0x%016llx); grid %d x %d, %zu entries, sigma %s\n",
               index, what, k, expected, static_cast<unsigned long long>(e), got,
               static_cast<unsigned long long>(g), c.nr, c.nc,
               static_cast<std::size_t>(c.jc.back() - c.jc.front()), c.sigma ? "given" : "default");
  std::abort();
}

template <typename Index>
void runAndCompare(const Case& c, const reference::Sparse& expected, const char* indexName) {
  const std::int32_t np = c.nr * c.nc;
  const std::size_t count = c.jc.back() - c.jc.front();
  std::vector<double> pr(count);
  std::vector<Index> ir(count);
  std::vector<Index> jc(static_cast<std::size_t>(np) + 1);
  const quorvane::PixelGrid grid = quorvane::makePixelGrid(c.nr, c.nc);
  quorvane::buildWeightMatrix<Index>(
      grid, c.magnitude.data(), c.phase.data(), quorvane::Pattern{c.ir.data(), c.jc.data()},
      quorvane::WeightMatrix<Index>{pr.data(), ir.data(), jc.data()}, {c.sigma});
  for (std::size_t k = 0; k < count; ++k) {
    if (!reference::sameBits(pr[k], expected.values[k]))
      fail(c, indexName, "value", k, expected.values[k], pr[k]);
    if (static_cast<std::int64_t>(ir[k]) != expected.rows[k])
      fail(c, indexName, "row index", k, static_cast<double>(expected.rows[k]),
           static_cast<double>(ir[k]));
  }
  for (std::size_t j = 0; j < jc.size(); ++j) {
    if (static_cast<std::int64_t>(jc[j]) != expected.starts[j])
      fail(c, indexName, "column start", j, static_cast<double>(expected.starts[j]),
           static_cast<double>(jc[j]));
  }
}

// The weights alone (no row indices), from one instruction set and source of weights, into
// an array exactly as long as the pattern's entries.
void runKernel(const Case& c, const reference::Sparse& expected, quorvane::InstructionSet set,
               quorvane::WeightSource source, const char* name, quorvane::Workers workers = {}) {
  if (!quorvane::instructionSetAvailable(set))
    return;
  std::vector<double> weights(c.jc.back() - c.jc.front());
  std::vector<std::int64_t> starts(c.jc.size());
  quorvane::buildWeightMatrix(
      quorvane::makePixelGrid(c.nr, c.nc), c.magnitude.data(), c.phase.data(),
      quorvane::Pattern{c.ir.data(), c.jc.data()},
      quorvane::WeightMatrix<std::int64_t>{weights.data(), nullptr, starts.data()},
      {c.sigma, {set, source, workers}});
  for (std::size_t k = 0; k < weights.size(); ++k) {
    if (!reference::sameBits(weights[k], expected.values[k]))
      fail(c, name, "kernel value", k, expected.values[k], weights[k]);
  }
}

// The decoded case, for reproducing a failure (set QUORVANE_FUZZ_VERBOSE).
void printCase(const Case& c) {
  std::fprintf(stderr, "grid %d x %d, sigma %s %.17g\nmagnitude", c.nr, c.nc,
               c.sigma ? "given" : "default", c.sigma.value_or(0.0));
  for (double v : c.magnitude)
    std::fprintf(stderr, " %g", v);
  std::fprintf(stderr, "\nphase");
  for (double v : c.phase)
    std::fprintf(stderr, " %g", v);
  std::fprintf(stderr, "\nir");
  for (std::uint32_t v : c.ir)
    std::fprintf(stderr, " %u", v);
  std::fprintf(stderr, "\njc");
  for (std::uint32_t v : c.jc)
    std::fprintf(stderr, " %u", v);
  std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::FuzzInput in(data, size);
  const Case c = decode(in);
  if (std::getenv("QUORVANE_FUZZ_VERBOSE") != nullptr)
    printCase(c);
  const reference::Sparse expected = reference::weights(
      c.nr, c.nc, c.magnitude, c.phase, c.ir, c.jc, c.sigma.has_value(), c.sigma.value_or(0.0));
  runAndCompare<std::int64_t>(c, expected, "Octave int64");
  runAndCompare<std::size_t>(c, expected, "MATLAB size_t");
  runAndCompare<std::int32_t>(c, expected, "32-bit");
  using quorvane::InstructionSet;
  using quorvane::WeightSource;
  runKernel(c, expected, InstructionSet::kScalar, WeightSource::kEdgeTables,
            "scalar kernel, tables");
  runKernel(c, expected, InstructionSet::kScalar, WeightSource::kStrengthCache,
            "scalar kernel, cache");
  runKernel(c, expected, InstructionSet::kAvx, WeightSource::kEdgeTables, "AVX kernel, tables");
  runKernel(c, expected, InstructionSet::kAvx, WeightSource::kStrengthCache, "AVX kernel, cache");
  runKernel(c, expected, InstructionSet::kAvx512, WeightSource::kEdgeTables,
            "AVX-512 kernel, tables");
  runKernel(c, expected, InstructionSet::kAvx512, WeightSource::kStrengthCache,
            "AVX-512 kernel, cache");
  // Split among workers over ranges of image columns, whatever the pattern's size.
  runKernel(c, expected, quorvane::bestInstructionSet(), WeightSource::kEdgeTables,
            "best kernel, tables, 3 workers in turn", quorvane::Workers{3, nullptr, 1});
  return 0;
}
