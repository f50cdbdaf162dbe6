// quorvane_pattern(nr, nc, radius) as a native Octave function (quorvane_pattern.oct): the
// checks and messages of toolbox/quorvane_pattern.m, which stays for MATLAB, and the same
// IR and JC, from the core's disc-pattern generator. Most of the .m file's time is the
// first write of a large, fresh IR; here IR is allocated advised for huge pages and written
// once.

#include <octave/oct.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "disc_pattern.h"
#include "fresh_memory.h"
#include "octave_values.h"
#include "pixel_grid.h"
#include "quorvane_pattern_help.h"

namespace {

using quorvane::native::FreshArray;

// A real, numeric (not logical or char) array of one element, as its double value.
bool realNumber(const octave_value& value, double& number) {
  if (!value.isnumeric() || value.iscomplex() || value.numel() != 1)
    return false;
  number = value.double_value();
  return true;
}

double positiveInteger(const octave_value& value, const char* name, const char* id) {
  double n = 0.0;
  if (!realNumber(value, n) || !std::isfinite(n) || n < 1 || n != std::trunc(n))
    error_with_id(id, "quorvane_pattern: %s shall be a positive integer", name);
  return n;
}

// Huge pages for calls in a loop (fresh_memory.h says why).
quorvane::HugePageAdvice hugePages;

// An Octave uint32 column over `count` elements of fresh memory (advised for huge pages or
// not), or an error.
uint32NDArray freshColumn(std::size_t count, std::uint32_t*& data, bool advise) {
  FreshArray<octave_uint32> memory(quorvane::allocateFresh<octave_uint32>(count, advise));
  if (!memory)
    error_with_id("Octave:out-of-memory", "quorvane_pattern: out of memory for %zu pairs", count);
  data = reinterpret_cast<std::uint32_t*>(memory.get());
  Array<octave_uint32> adopted(memory.get(), dim_vector(static_cast<octave_idx_type>(count), 1));
  memory.release();
  return uint32NDArray(adopted);
}

}  // namespace

DEFUN_DLD(quorvane_pattern, args, nargout, kQuorvanePatternHelp) {
  // As Octave reports the .m file's calls.
  if (args.length() > 3)
    error_with_id("Octave:invalid-fun-call",
                  "quorvane_pattern: function called with too many inputs");
  if (nargout > 2)
    error_with_id("Octave:invalid-fun-call",
                  "quorvane_pattern: function called with too many outputs");
  if (args.length() < 3)
    error_with_id("quorvane_pattern:nargin",
                  "quorvane_pattern: three inputs required (NR, NC, RADIUS)");
  const double nr = positiveInteger(args(0), "NR", "quorvane_pattern:nr");
  const double nc = positiveInteger(args(1), "NC", "quorvane_pattern:nc");
  double radius = 0.0;
  if (!realNumber(args(2), radius) || std::isnan(radius) || radius < 0)
    error_with_id("quorvane_pattern:radius",
                  "quorvane_pattern: RADIUS shall be a real number of at least 0");
  const double np = nr * nc;
  if (np > static_cast<double>(quorvane::kMaxPixels)) {
    const std::string count = std::isinf(np) ? "Inf" : std::to_string(std::llround(np));
    error_with_id("quorvane_pattern:size",
                  "quorvane_pattern: the image shall have fewer than 2^31 pixels (NR*NC is %s)",
                  count.c_str());
  }
  const auto rows = static_cast<std::int64_t>(nr), columns = static_cast<std::int64_t>(nc);
  const std::uint64_t pairs = quorvane::discPatternEntries(rows, columns, radius);
  if (pairs > UINT32_MAX)
    error_with_id("quorvane_pattern:count",
                  "quorvane_pattern: the pattern would have more pairs than the uint32 range of "
                  "JC holds (4294967295); use a smaller RADIUS or image");

  std::uint32_t *ir = nullptr, *jc = nullptr;
  const bool advise = hugePages.forThisCall();
  const uint32NDArray IR = freshColumn(static_cast<std::size_t>(pairs), ir, advise);
  const uint32NDArray JC = freshColumn(static_cast<std::size_t>(rows * columns) + 1, jc, advise);
  quorvane::fillDiscPattern(rows, columns, radius, ir, jc);
  hugePages.callEnded();
  return ovl(IR, JC);
}
