// The engine against the reference transcription in tests/support, bit for bit, through every
// kernel this processor runs (the scalar one always), with weights from the edge tables and
// from the strength cache: stacked and side-by-side blocks, border and interior pixels,
// offsets shared by many start pixels and offsets used once, long lines whose walk depends
// on where they start, and awkward values.
#include "weight_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "block_plan.h"
#include "build_weight_matrix.h"
#include "column_ranges.h"
#include "compiler_support.h"
#include "disc_pattern.h"
#include "engine_kernels.h"
#include "reference_weights.h"
#include "thread_workers.h"
#include "working_memory.h"

namespace {

using quorvane::InstructionSet;
using quorvane::WeightSource;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Images {
  int nr, nc;
  std::vector<double> magnitude, phase;
};

struct PatternArrays {
  std::vector<std::uint32_t> ir, jc;
};

std::vector<InstructionSet> instructionSetsHere() {
  std::vector<InstructionSet> sets;
  for (InstructionSet set :
       {InstructionSet::kScalar, InstructionSet::kAvx, InstructionSet::kAvx512}) {
    if (quorvane::instructionSetAvailable(set))
      sets.push_back(set);
  }
  return sets;
}

// Every instruction set here with either source of weights.
std::vector<std::pair<InstructionSet, WeightSource>> runs() {
  std::vector<std::pair<InstructionSet, WeightSource>> all;
  for (InstructionSet set : instructionSetsHere()) {
    for (WeightSource s : {WeightSource::kEdgeTables, WeightSource::kStrengthCache})
      all.emplace_back(set, s);
  }
  return all;
}

std::string setName(InstructionSet set) {
  return set == InstructionSet::kScalar ? "scalar" : set == InstructionSet::kAvx ? "avx" : "avx512";
}

// Which awkward values randomImages mixes in: none, all but those that can make a sum NaN
// (so that the edge tables are used), or all.
enum class Awkward { kNone, kNoNanSums, kAll };

// Smooth-ish random images: two phase levels in patches, so that walks both cross and do not
// cross, with a share of awkward values mixed in.
Images randomImages(std::mt19937& rng, int nr, int nc, Awkward awkward) {
  Images im{nr, nc, {}, {}};
  std::uniform_real_distribution<double> unit(0.0, 4.0);
  const std::vector<double> oddMagnitudes =
      awkward == Awkward::kAll ? std::vector<double>{kNan, kInf, -kInf, -1.5, 0.0, -0.0}
                               : std::vector<double>{kInf, -1.5, 0.0, -0.0};
  const std::vector<double> oddPhases{kNan, -0.0, 0.0};
  for (int p = 0; p < nr * nc; ++p) {
    double m = unit(rng), ph = ((p % nr) / 3 + (p / nr) / 4 + static_cast<int>(rng() % 3)) % 2;
    if (awkward != Awkward::kNone && rng() % 9 == 0)
      m = oddMagnitudes[rng() % oddMagnitudes.size()];
    if (awkward != Awkward::kNone && rng() % 9 == 0)
      ph = oddPhases[rng() % oddPhases.size()];
    im.magnitude.push_back(m);
    im.phase.push_back(ph);
  }
  return im;
}

// Every pixel within Euclidean distance `radius`, rows sorted within each column (the
// core's generator, tested against its definition in disc_pattern_test.cpp).
PatternArrays disc(int nr, int nc, int radius) {
  PatternArrays pt;
  pt.ir.resize(quorvane::discPatternEntries(nr, nc, radius));
  pt.jc.resize(static_cast<std::size_t>(nr) * nc + 1);
  quorvane::fillDiscPattern(nr, nc, radius, pt.ir.data(), pt.jc.data());
  return pt;
}

// The same (row, column) offsets from every start pixel where the end lies in the grid.
PatternArrays offsets(int nr, int nc, const std::vector<std::pair<int, int>>& list) {
  PatternArrays pt;
  pt.jc.push_back(0);
  for (int j = 0; j < nr * nc; ++j) {
    const int row = j % nr, col = j / nr;
    for (auto [dr, dc] : list) {
      const int r = row + dr, c = col + dc;
      if (r >= 0 && r < nr && c >= 0 && c < nc)
        pt.ir.push_back(static_cast<std::uint32_t>(r + c * nr));
    }
    pt.jc.push_back(static_cast<std::uint32_t>(pt.ir.size()));
  }
  return pt;
}

// Compares the engine's weights, row indices and column starts with the reference
// transcription's for every instruction set and both sources of weights; reports the first
// difference.
void expectSameWeights(const Images& im, const PatternArrays& pt, std::optional<double> sigma,
                       quorvane::Workers workers = {}) {
  const reference::Sparse expected = reference::weights(
      im.nr, im.nc, im.magnitude, im.phase, pt.ir, pt.jc, sigma.has_value(), sigma.value_or(0.0));
  const quorvane::PixelGrid grid{im.nr, im.nc, im.nr * im.nc};
  // Past the pattern's end: a column start and row indices that would make a walk over a
  // pixel beyond the grid's last produce entries, and room for them, so that such a
  // mistake shows as written sentinels instead of passing unseen.
  std::vector<std::uint32_t> ir = pt.ir, jc = pt.jc;
  jc.push_back(jc.back() + 4);
  ir.resize(jc.back() + 4, 0);
  const std::size_t guard = 8;
  for (auto [set, source] : runs()) {
    SCOPED_TRACE("instruction set " + setName(set) +
                 (source == WeightSource::kEdgeTables ? ", edge tables" : ", strength cache"));
    std::vector<double> weights(expected.values.size() + guard, -123.0);
    std::vector<std::int64_t> rows(expected.rows.size() + guard, -5);
    std::vector<std::int64_t> starts(expected.starts.size(), -7);
    quorvane::buildWeightMatrix(
        grid, im.magnitude.data(), im.phase.data(), quorvane::Pattern{ir.data(), jc.data()},
        quorvane::WeightMatrix<std::int64_t>{weights.data(), rows.data(), starts.data()},
        {sigma, {set, source, workers}});
    ASSERT_EQ(starts, expected.starts) << "column starts";
    for (std::size_t k = 0; k < rows.size(); ++k) {
      ASSERT_EQ(rows[k], k < expected.rows.size() ? expected.rows[k] : -5)
          << "row index of entry " << k;
    }
    for (std::size_t k = 0; k < expected.values.size(); ++k) {
      ASSERT_TRUE(reference::sameBits(weights[k], expected.values[k]))
          << "entry " << k << " (row pixel " << pt.ir[pt.jc[0] + k] << "): " << weights[k] << " vs "
          << expected.values[k];
    }
    for (std::size_t k = expected.values.size(); k < weights.size(); ++k)
      ASSERT_EQ(weights[k], -123.0) << "wrote past the entries";
  }
}

TEST(WeightEngine, KernelChoice) {
  EXPECT_TRUE(quorvane::instructionSetAvailable(InstructionSet::kScalar));
  EXPECT_TRUE(quorvane::instructionSetAvailable(quorvane::bestInstructionSet()));
#if defined(QUORVANE_PORTABLE) || !defined(QUORVANE_X86)
  // Without vector kernels nothing but the scalar code may be offered to hosts.
  EXPECT_EQ(quorvane::bestInstructionSet(), InstructionSet::kScalar);
#endif
  // A kernel the processor lacks falls back to the scalar one (checked by the results of
  // every other test); here: asking for each gives weights, whatever is available.
  std::mt19937 rng(1);
  const Images im = randomImages(rng, 9, 9, Awkward::kNone);
  const PatternArrays pt = disc(9, 9, 2);
  std::vector<double> scalar(pt.ir.size()), weights(pt.ir.size());
  const quorvane::PixelGrid grid{9, 9, 81};
  const quorvane::Pattern pattern{pt.ir.data(), pt.jc.data()};
  quorvane::computeWeights(grid, im.magnitude.data(), im.phase.data(), pattern, 0.3, scalar.data(),
                           {nullptr, 8}, {InstructionSet::kScalar});
  for (InstructionSet set : {InstructionSet::kAvx, InstructionSet::kAvx512}) {
    quorvane::computeWeights(grid, im.magnitude.data(), im.phase.data(), pattern, 0.3,
                             weights.data(), {nullptr, 8}, {set});
    for (std::size_t n = 0; n < weights.size(); ++n)
      ASSERT_TRUE(reference::sameBits(weights[n], scalar[n])) << setName(set) << " " << n;
  }
  // What each instruction set and source of weights runs with: the scalar code has no block
  // kernel; only AVX-512 with the tables sets columns side by side; weighing kernels exactly
  // with the tables; every comparison of entries agrees with the portable one.
  for (auto [set, source] : runs()) {
    const bool byTable = source == WeightSource::kEdgeTables;
    const quorvane::engine::Kernels k = quorvane::engine::chooseKernels(set, byTable);
    const bool vector = set != InstructionSet::kScalar;
    EXPECT_EQ(k.stacked != nullptr, vector) << setName(set);
    EXPECT_EQ(k.lanes, !vector ? 1 : set == InstructionSet::kAvx512 && byTable ? 8 : 4);
    EXPECT_EQ(k.groupLanes > 1, k.sideBySide != nullptr) << setName(set);
    EXPECT_EQ(k.weighs, byTable) << setName(set);
    std::vector<std::uint32_t> a(40), b(40);
    for (std::uint32_t n = 0; n < 40; ++n)
      a[n] = (b[n] = n * 7) + 5;
    for (std::uint32_t count : {0u, 1u, 15u, 16u, 17u, 40u}) {
      EXPECT_TRUE(k.compare(a.data(), b.data(), count, 5)) << count;
      EXPECT_EQ(k.compare(a.data(), b.data(), count, 4), count == 0) << count;
      if (count > 0) {
        ++a[count - 1];
        EXPECT_FALSE(k.compare(a.data(), b.data(), count, 5)) << count;
        --a[count - 1];
      }
    }
  }
}

// The bit scans the border rows use to group columns, in whichever branch of
// compiler_support.h this build compiles (the portable build takes the plain loops).
TEST(WeightEngine, BitScansOfEveryLaneMask) {
  for (unsigned x = 1; x < (1u << 16); ++x) {
    const unsigned y = x * 0x9e370001u;  // also masks with high bits
    for (unsigned v : {x, y, x << 16}) {
      if (v == 0)
        continue;
      int low = 0, high = 31;
      while (!((v >> low) & 1u))
        ++low;
      while (!((v >> high) & 1u))
        --high;
      ASSERT_EQ(quorvane::engine::lowestBit(v), low) << v;
      ASSERT_EQ(quorvane::engine::highestBit(v), high) << v;
      ASSERT_EQ(quorvane::engine::bitCount(v), static_cast<int>(std::bitset<32>(v).count())) << v;
    }
  }
}

// Discs on grids whose sizes are not multiples of the lane counts: interior blocks, rows cut
// by the top and bottom borders (side by side), corners and leftover columns (one by one).
TEST(WeightEngine, DiscsOnOddGridsMatchBitForBit) {
  std::mt19937 rng(2026);
  const int sizes[][2] = {{37, 29}, {29, 37}, {8, 40}, {40, 8}, {1, 30},
                          {30, 1},  {17, 17}, {8, 1},  {16, 3}, {24, 9}};
  for (auto [nr, nc] : sizes) {
    for (int radius : {1, 3, 6}) {
      SCOPED_TRACE(std::to_string(nr) + "x" + std::to_string(nc) + " r" + std::to_string(radius));
      expectSameWeights(randomImages(rng, nr, nc, Awkward::kNone), disc(nr, nc, radius), 0.7);
      expectSameWeights(randomImages(rng, nr, nc, Awkward::kNoNanSums), disc(nr, nc, radius), 1.9);
      expectSameWeights(randomImages(rng, nr, nc, Awkward::kAll), disc(nr, nc, radius),
                        std::nullopt);
      if (HasFatalFailure())
        return;
    }
  }
}

// NaN and -0.0 phases, NaN, infinite and negative magnitudes inside shared walks, and every
// kind of sigma, including those that make the factor infinite or NaN.
TEST(WeightEngine, AwkwardValuesAndSigmasMatchBitForBit) {
  std::mt19937 rng(99);
  const std::vector<std::optional<double>> sigmas{std::nullopt, 0.0,  -0.0,   -2.0, kInf,
                                                  -kInf,        kNan, 1e-300, 2.5};
  for (const auto& sigma : sigmas) {
    expectSameWeights(randomImages(rng, 26, 19, Awkward::kAll), disc(26, 19, 4), sigma);
    expectSameWeights(randomImages(rng, 26, 19, Awkward::kNoNanSums), disc(26, 19, 4), sigma);
    if (HasFatalFailure())
      return;
  }
  // All magnitudes negative without sigma: sigma 0, every off-diagonal weight NaN.
  Images negative = randomImages(rng, 12, 12, Awkward::kNone);
  for (double& m : negative.magnitude)
    m = -m;
  expectSameWeights(negative, disc(12, 12, 3), std::nullopt);
}

// The edge tables give each walk the weight of the pixel pair whose sum became the strength.
// Cases where that could go wrong: many equal sums (ties: the pair found must have the same
// sum), NaN sums (the tables must give way to the cache, where they must win and be replaced
// again), strengths that stay 0, grids of one, two and three rows (where two pair directions
// are the same pixel distance), and NaN weights of every payload.
TEST(WeightEngine, WeightsLookedUpByPixelPairMatchBitForBit) {
  std::mt19937 rng(404);
  auto tiedImages = [&rng](int nr, int nc, bool nans) {
    Images im{nr, nc, {}, {}};
    for (int p = 0; p < nr * nc; ++p) {
      // Magnitudes of a few small integers: many pairs share a sum.
      double m = static_cast<double>(rng() % 4);
      if (nans && rng() % 11 == 0)
        m = kNan;
      if (rng() % 13 == 0)
        m = -0.0;
      im.magnitude.push_back(m);
      // Half the columns hold one phase throughout (nothing crossed there), half change.
      const int col = p / nr;
      im.phase.push_back((col / 3) % 2 == 0 ? 1.0 : static_cast<double>(rng() % 2));
    }
    return im;
  };
  for (auto [nr, nc] : {std::pair{1, 25}, std::pair{2, 25}, std::pair{3, 20}, std::pair{25, 2},
                        std::pair{19, 23}}) {
    SCOPED_TRACE(std::to_string(nr) + "x" + std::to_string(nc));
    expectSameWeights(tiedImages(nr, nc, false), disc(nr, nc, 4), 1.1);
    expectSameWeights(tiedImages(nr, nc, true), disc(nr, nc, 3), std::nullopt);
    if (HasFatalFailure())
      return;
  }
  // NaN payloads: with g = 0.5 * m of payload 0x7ff...f, (-g) * g keeps the sign bit of -g,
  // so exp returns NaN with all 64 bits set; a NaN sigma of that payload does the same to
  // the weight of a zero strength.
  double allOnesNan, positiveNan;
  const std::uint64_t ones = ~std::uint64_t{0}, positive = ones >> 1;
  std::memcpy(&allOnesNan, &ones, sizeof ones);
  std::memcpy(&positiveNan, &positive, sizeof positive);
  Images payloads = tiedImages(21, 18, false);
  for (std::size_t p = 0; p < payloads.magnitude.size(); p += 5)
    payloads.magnitude[p] = p % 2 ? positiveNan : allOnesNan;
  for (const std::optional<double>& sigma :
       {std::optional<double>(0.8), std::optional<double>(allOnesNan),
        std::optional<double>(0.0)}) {
    expectSameWeights(payloads, disc(21, 18, 5), sigma);
  }
  // A NaN sigma with that payload where the tables are used (no NaN sum).
  expectSameWeights(tiedImages(21, 18, false), disc(21, 18, 5), allOnesNan);
}

// Long lines, from start pixels at rows and columns 0, 1 and 2 upward. Past about 20 pixels
// the rounding of the minor coordinate after adding the start's coordinate makes some walks
// depend on the start (22 rows by 15 columns is one); such offsets must not share a walk laid
// out for another start. Offsets around the laid-out reach (24) are included on both sides.
TEST(WeightEngine, LongLinesFromStartsNearTheOriginMatchBitForBit) {
  // The premise: 22 by 15 visits different relative pixels from row 0 and from row 1...
  auto relative = [](int nr, int start, int end) {
    std::vector<std::pair<int, int>> steps;
    const reference::Point a{start % nr, start / nr};
    for (const reference::Point& p : reference::path(nr, start, end))
      steps.emplace_back(p.row - a.row, p.col - a.col);
    return steps;
  };
  const int nr = 64;
  bool dependsOnStart = false;
  for (int col = 0; col < 3 && !dependsOnStart; ++col) {
    for (auto [dr, dc] : {std::pair{22, 15}, std::pair{15, 22}}) {
      const auto a = relative(nr, 0 + col * nr, dr + (col + dc) * nr);
      const auto b = relative(nr, 1 + (col + 1) * nr, 1 + dr + (col + 1 + dc) * nr);
      dependsOnStart = dependsOnStart || a != b;
    }
  }
  ASSERT_TRUE(dependsOnStart) << "no start-dependent walk among the probes";

  std::vector<std::pair<int, int>> list{{22, 15}, {15, 22}, {-22, -15}, {-15, 22}, {22, -15}};
  std::mt19937 rng(5);
  for (int n = 0; n < 40; ++n) {
    const int major = 18 + static_cast<int>(rng() % 12);  // 18 ... 29, around the reach
    const int minor = static_cast<int>(rng() % (major + 1)) * (rng() % 2 ? 1 : -1);
    list.emplace_back(rng() % 2 ? major : -major, minor);
    list.emplace_back(minor, rng() % 2 ? major : -major);
  }
  list.emplace_back(0, 0);
  expectSameWeights(randomImages(rng, 40, 40, Awkward::kNone), offsets(40, 40, list), 1.0);
  expectSameWeights(randomImages(rng, 40, 40, Awkward::kNoNanSums), offsets(40, 40, list), 2.0);
  expectSameWeights(randomImages(rng, 33, 47, Awkward::kAll), offsets(33, 47, list), std::nullopt);
}

// The same pixel-index offsets from every start: stacked blocks agree on their entries even
// where an end wraps into the next image column, and plans made for one block are offered to
// the next (their end rows move down until one passes the column's last row).
TEST(WeightEngine, PixelIndexOffsetsThatWrapMatchBitForBit) {
  std::mt19937 rng(17);
  const int nr = 23, nc = 21, np = nr * nc;
  for (const std::vector<int>& deltas :
       {std::vector<int>{1, 2, 5, 9, -3, nr + 4, -nr + 7, 2 * nr - 1},
        std::vector<int>{0, 3, 11, nr, -nr, 17}}) {
    PatternArrays pt;
    pt.jc.push_back(0);
    for (int j = 0; j < np; ++j) {
      for (int d : deltas) {
        if (j + d >= 0 && j + d < np)
          pt.ir.push_back(static_cast<std::uint32_t>(j + d));
      }
      pt.jc.push_back(static_cast<std::uint32_t>(pt.ir.size()));
    }
    expectSameWeights(randomImages(rng, nr, nc, Awkward::kAll), pt, 0.9);
    expectSameWeights(randomImages(rng, nr, nc, Awkward::kNoNanSums), pt, 0.9);
  }
  // Columns whose every row goes into stacked blocks (a height that is a multiple of the
  // lane count), with nothing left for the border pass.
  for (auto [rows, cols] : {std::pair{8, 1}, std::pair{16, 3}, std::pair{8, 9}}) {
    for (const std::vector<std::pair<int, int>>& list :
         {std::vector<std::pair<int, int>>{{0, 0}}, std::vector<std::pair<int, int>>{{0, 1}}}) {
      expectSameWeights(randomImages(rng, rows, cols, Awkward::kNoNanSums),
                        offsets(rows, cols, list), 0.9);
    }
  }
}

// An output of tens of megabytes, which the engine streams out block by block (the stage,
// non-temporal stores, partial lines at every block's ends), into 8- and 4-byte row indices
// or none (weights alone); also shared by workers on threads, whose stretches of the output
// meet inside cache lines.
TEST(WeightEngine, LargeStreamedOutputsMatchBitForBit) {
  std::mt19937 rng(8);
  const int nr = 181, nc = 150;
  const Images im = randomImages(rng, nr, nc, Awkward::kNoNanSums);
  const PatternArrays pt = disc(nr, nc, 5);
  ASSERT_GT(pt.ir.size() * 16, std::size_t{32} << 20);
  expectSameWeights(im, pt, 1.5);

  const reference::Sparse expected =
      reference::weights(nr, nc, im.magnitude, im.phase, pt.ir, pt.jc, true, 1.5);
  for (int workers : {1, 3}) {
    for (bool withRows : {true, false}) {
      SCOPED_TRACE(std::to_string(workers) + " workers" + (withRows ? "" : ", weights alone"));
      std::vector<double> pr(pt.ir.size());
      std::vector<std::int32_t> rows(pt.ir.size(), -1), starts(pt.jc.size());
      quorvane::buildWeightMatrix<std::int32_t>(
          quorvane::PixelGrid{nr, nc, nr * nc}, im.magnitude.data(), im.phase.data(),
          quorvane::Pattern{pt.ir.data(), pt.jc.data()},
          quorvane::WeightMatrix<std::int32_t>{pr.data(), withRows ? rows.data() : nullptr,
                                               starts.data()},
          {1.5, {std::nullopt, WeightSource::kChosen, quorvane::threadWorkers(workers)}});
      for (std::size_t k = 0; k < pr.size(); ++k) {
        ASSERT_TRUE(reference::sameBits(pr[k], expected.values[k])) << "entry " << k;
        ASSERT_EQ(rows[k], withRows ? expected.rows[k] : -1) << "row index of entry " << k;
      }
    }
  }
}

// Patterns no two start pixels share (random, unsorted, duplicated rows, a leading unread
// stretch of IR), next to a disc whose blocks are broken by single changed entries.
TEST(WeightEngine, UnsharedAndBrokenPatternsMatchBitForBit) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 30; ++trial) {
    const int nr = 3 + static_cast<int>(rng() % 20), nc = 3 + static_cast<int>(rng() % 20);
    const int np = nr * nc;
    PatternArrays pt;
    pt.jc.push_back(static_cast<std::uint32_t>(rng() % 3));
    pt.ir.assign(pt.jc[0], 999999u);
    for (int j = 0; j < np; ++j) {
      const int count = static_cast<int>(rng() % 12);
      for (int n = 0; n < count; ++n)
        pt.ir.push_back(static_cast<std::uint32_t>(rng() % np));
      pt.jc.push_back(static_cast<std::uint32_t>(pt.ir.size()));
    }
    expectSameWeights(
        randomImages(rng, nr, nc, trial % 2 == 1 ? Awkward::kAll : Awkward::kNoNanSums), pt, 1.3);

    PatternArrays broken = disc(nr, nc, 2);
    for (int n = 0; n < 5; ++n)
      broken.ir[rng() % broken.ir.size()] = static_cast<std::uint32_t>(rng() % np);
    expectSameWeights(
        randomImages(rng, nr, nc, trial % 2 == 0 ? Awkward::kAll : Awkward::kNoNanSums), broken,
        std::nullopt);
    if (HasFatalFailure())
      return;
  }
}

// Workers, each over its own range of image columns (entriesEach 1, so that small patterns
// split too), on threads and one after the other: as many as there are columns and more,
// a pattern whose entries sit in a few columns, empty columns, and ranges that cut the
// groups of columns the side-by-side kernel takes together. The same weights and row
// indices as the reference transcription, every kernel, both sources. (Also run under
// ThreadSanitizer.)
TEST(WeightEngine, SeveralWorkersMatchBitForBit) {
  std::mt19937 rng(77);
  PatternArrays fewColumns = disc(23, 21, 5);  // entries only in image columns 2 and 17
  PatternArrays gaps = disc(26, 19, 3);        // every third image column without entries
  for (PatternArrays* pt : {&fewColumns, &gaps}) {
    const int nr = pt == &gaps ? 26 : 23;
    PatternArrays kept;
    kept.jc.push_back(0);
    for (std::size_t j = 0; j + 1 < pt->jc.size(); ++j) {
      const int col = static_cast<int>(j) / nr;
      if (pt == &fewColumns ? col == 2 || col == 17 : col % 3 != 1)
        kept.ir.insert(kept.ir.end(), pt->ir.begin() + pt->jc[j], pt->ir.begin() + pt->jc[j + 1]);
      kept.jc.push_back(static_cast<std::uint32_t>(kept.ir.size()));
    }
    *pt = kept;
  }
  for (int count : {2, 3, 7, 40}) {
    for (bool threads : {true, false}) {
      SCOPED_TRACE(std::to_string(count) + (threads ? " workers on threads" : " workers in turn"));
      quorvane::Workers workers = threads ? quorvane::threadWorkers(count) : quorvane::Workers{};
      workers.count = count;
      workers.entriesEach = 1;
      expectSameWeights(randomImages(rng, 37, 29, Awkward::kNoNanSums), disc(37, 29, 4), 1.2,
                        workers);
      expectSameWeights(randomImages(rng, 29, 37, Awkward::kAll), disc(29, 37, 3), std::nullopt,
                        workers);
      expectSameWeights(randomImages(rng, 40, 3, Awkward::kNoNanSums), disc(40, 3, 4), 0.8,
                        workers);
      expectSameWeights(randomImages(rng, 23, 21, Awkward::kNoNanSums), fewColumns, 1.0, workers);
      expectSameWeights(randomImages(rng, 26, 19, Awkward::kAll), gaps, 2.0, workers);
      if (HasFatalFailure())
        return;
    }
  }
}

// The ranges hold every column once, in order, each with entries (unless there are none),
// at most as many as asked for, with about equal entry counts; long ones cut at multiples
// of the group width.
TEST(WeightEngine, WorkerColumnRangesSplitByEntries) {
  const auto split = [](const std::vector<std::uint32_t>& perColumn, std::int32_t nr, int parts,
                        int align) {
    std::vector<std::uint32_t> jc{5};  // a leading offset
    for (std::uint32_t n : perColumn) {
      for (std::int32_t r = 0; r < nr; ++r)
        jc.push_back(jc.back() + (r == 0 ? n : 0));
    }
    std::vector<std::int32_t> bounds(static_cast<std::size_t>(parts) + 1, -1);
    const auto nc = static_cast<std::int32_t>(perColumn.size());
    bounds.resize(1 +
                  quorvane::engine::columnRanges(jc.data(), nr, nc, parts, align, bounds.data()));
    return bounds;
  };
  using Bounds = std::vector<std::int32_t>;
  EXPECT_EQ(split(std::vector<std::uint32_t>(10, 5), 3, 2, 1), (Bounds{0, 5, 10}));
  EXPECT_EQ(split(std::vector<std::uint32_t>(10, 5), 1, 3, 1), (Bounds{0, 3, 7, 10}));
  EXPECT_EQ(split({0, 0, 7, 0, 0, 0, 9, 0}, 2, 4, 1), (Bounds{0, 3, 8}));
  EXPECT_EQ(split({0, 0, 0, 0}, 2, 3, 1), (Bounds{0, 4}));
  EXPECT_EQ(split({4, 4, 4}, 5, 8, 8), (Bounds{0, 1, 2, 3}));  // more parts than columns
  EXPECT_EQ(split({1, 100, 1}, 1, 3, 1), (Bounds{0, 1, 2, 3}));
  EXPECT_EQ(split(std::vector<std::uint32_t>(400, 3), 2, 3, 8), (Bounds{0, 136, 264, 400}));

  std::mt19937 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint32_t> perColumn(1 + rng() % 300);
    for (std::uint32_t& n : perColumn)
      n = rng() % 4 == 0 ? 0 : rng() % 50;
    const int parts = 1 + static_cast<int>(rng() % 9), align = rng() % 2 ? 8 : 1;
    const Bounds bounds = split(perColumn, 1, parts, align);
    SCOPED_TRACE("trial " + std::to_string(trial));
    const auto nc = static_cast<std::int32_t>(perColumn.size());
    std::uint64_t total = 0, largest = 0;
    for (std::uint32_t n : perColumn) {
      total += n;
      largest = std::max<std::uint64_t>(largest, n);
    }
    ASSERT_GE(bounds.size(), 2u);
    ASSERT_LE(bounds.size(), static_cast<std::size_t>(parts) + 1);
    EXPECT_EQ(bounds.front(), 0);
    EXPECT_EQ(bounds.back(), nc);
    const bool aligned = align > 1 && nc / parts >= 16 * align;
    for (std::size_t r = 0; r + 1 < bounds.size(); ++r) {
      ASSERT_LT(bounds[r], bounds[r + 1]);
      if (r > 0 && aligned) {
        EXPECT_EQ(bounds[r] % align, 0);
      }
      std::uint64_t entries = 0;
      for (std::int32_t col = bounds[r]; col < bounds[r + 1]; ++col)
        entries += perColumn[static_cast<std::size_t>(col)];
      EXPECT_TRUE(entries > 0 || total == 0);
      // A share, give or take the columns a cut may move by on either side.
      const std::uint64_t slack = (aligned ? static_cast<std::uint64_t>(align) : 1) * largest;
      EXPECT_LE(entries, total / parts + 2 * slack + 1);
    }
  }
}

// The runner Python uses: every job once, each part of a split once, all before it returns.
// A block plan's program. With the tables: one node per step of the walks' prefix tree, the
// last step of each walk naming its position, the walks of a reusable (stacked) plan sorted by
// their steps first, those of another plan in the order found. Without: each walk whole.
TEST(WeightEngine, BlockPlanProgramIsThePrefixTreeOfItsWalks) {
  using quorvane::engine::LaidOutWalk;
  using quorvane::engine::Plan;
  constexpr std::int32_t kNone = static_cast<std::int32_t>(quorvane::engine::kPlanPositions);
  const std::vector<std::int32_t> a{5, 7, 9}, b{5, 7}, c{5, 8, 1}, d{2}, e{5};
  const std::vector<std::int32_t> deltas{1, 2, 3};
  const auto walk = [&deltas](const std::vector<std::int32_t>& edges) {
    return LaidOutWalk{deltas.data(), edges.data(), static_cast<std::int32_t>(edges.size())};
  };
  std::vector<LaidOutWalk> walks(2 * quorvane::engine::kPlanPositions);
  std::vector<std::int32_t> order(3 * quorvane::engine::kPlanPositions), program(64);
  const auto plan = [&](bool reusable) {
    Plan p{};
    p.walks = walks.data();
    p.order = order.data();
    p.program = program.data();
    p.vectorCount = 5;
    p.reusable = reusable;
    const LaidOutWalk found[] = {walk(c), walk(e), walk(a), walk(d), walk(b)};
    const std::int32_t positions[] = {12, 14, 10, 13, 11};
    for (int w = 0; w < 5; ++w) {
      walks[w] = found[w];
      order[w] = positions[w];
    }
    return p;
  };
  const auto node = [](std::int32_t edge, std::int32_t depth, std::int32_t position) {
    return std::vector<std::int32_t>{edge, depth | position << 8};
  };
  const auto nodes = [](std::initializer_list<std::vector<std::int32_t>> list) {
    std::vector<std::int32_t> all;
    for (const auto& n : list)
      all.insert(all.end(), n.begin(), n.end());
    return all;
  };
  Plan sorted = plan(true);
  quorvane::engine::makeProgram(sorted, true);
  ASSERT_EQ(sorted.programCount, 6);
  EXPECT_EQ(std::vector<std::int32_t>(program.begin(), program.begin() + 12),
            nodes({node(2, 1, 13), node(5, 1, 14), node(7, 2, 11), node(9, 3, 10),
                   node(8, 2, kNone), node(1, 3, 12)}));
  EXPECT_EQ(std::vector<std::int32_t>(order.begin(), order.begin() + 5),
            (std::vector<std::int32_t>{13, 14, 11, 10, 12}));
  EXPECT_EQ(walks[3].edges, a.data());
  // Found order: c; e, a prefix of c, still takes its one step; a shares e's; d; b.
  Plan asFound = plan(false);
  quorvane::engine::makeProgram(asFound, true);
  ASSERT_EQ(asFound.programCount, 9);
  EXPECT_EQ(std::vector<std::int32_t>(program.begin(), program.begin() + 18),
            nodes({node(5, 1, kNone), node(8, 2, kNone), node(1, 3, 12), node(5, 1, 14),
                   node(7, 2, kNone), node(9, 3, 10), node(2, 1, 13), node(5, 1, kNone),
                   node(7, 2, 11)}));
  // Without the tables: position, length, pixel deltas, walk by walk as found.
  Plan whole = plan(true);
  quorvane::engine::makeProgram(whole, false);
  ASSERT_EQ(whole.programCount, 5);
  EXPECT_EQ(
      std::vector<std::int32_t>(program.begin(), program.begin() + 20),
      (std::vector<std::int32_t>{12, 3, 1, 2, 3, 14, 1, 1, 10, 3, 1, 2, 3, 13, 1, 1, 11, 2, 1, 2}));
}

// A block's plan: the diagonal entry, entries whose walks are laid out (through the kernel)
// and entries whose stacked lanes would wrap into the next column (lane by lane); and when a
// later block may reuse it.
TEST(WeightEngine, BlockPlanSortsPositionsAndHoldsForShiftedBlocks) {
  namespace engine = quorvane::engine;
  // Pixels 0 ... 29 of a 10 x 3 grid; pixel p holds {p, p + 1}, but pixel 3 holds {3, 5}.
  std::vector<std::uint32_t> ir, jc{0};
  for (std::uint32_t p = 0; p < 30; ++p) {
    ir.insert(ir.end(), {p, p == 3 ? 5 : std::min(p + 1, 29u)});
    jc.push_back(static_cast<std::uint32_t>(ir.size()));
  }
  const quorvane::Pattern pattern{ir.data(), jc.data()};
  const std::vector<double> magnitude(30, 1.0), phase(30, 0.0);
  engine::CallState call{};
  call.grid = {10, 3, 30};
  call.magnitude = magnitude.data();
  call.phase = phase.data();
  call.inverseRows = 0.1;
  call.reachRows = 9;
  call.reachCols = 2;
  const engine::MemorySizes sizes =
      engine::memorySizes(call, static_cast<std::uint32_t>(ir.size()), InstructionSet::kAvx,
                          WeightSource::kStrengthCache, 1);
  const engine::WorkingMemory memory = engine::obtainWorkingMemory(sizes);
  ASSERT_NE(memory.base, nullptr);
  engine::prepareShared(call, memory.layout, memory.base);
  engine::Context c = engine::workerContext(call, memory.layout, memory.base, 0);
  engine::Kernels kernels;
  kernels.weighs = true;
  // Start pixel 3 at row 3: itself, pixel 4 (one row down), pixel 13 (one column right) and
  // pixel 9, whose fourth lane's end (pixel 12) lies in the next column.
  const std::uint32_t ends[] = {3, 4, 13, 9};
  const engine::Block block{3, 3, 0, 1, 4, 0xf, 0};
  engine::makePlan(c, c.plan, kernels, block, ends, 0, 4, 4);
  using Kind = engine::PositionKind;
  EXPECT_EQ(std::vector<Kind>(c.plan.kinds, c.plan.kinds + 4),
            (std::vector<Kind>{Kind::kDiagonal, Kind::kVector, Kind::kVector, Kind::kLaneByLane}));
  for (int l = 0; l < 4; ++l)
    EXPECT_EQ(c.plan.found[l], 1.0) << "weighing kernels leave the diagonal alone";
  ASSERT_EQ(c.plan.laneByLaneCount, 1);
  EXPECT_EQ(c.plan.laneByLane[0], 3);
  EXPECT_EQ(c.plan.vectorCount, 2);
  EXPECT_EQ(c.plan.minEndRow, 3);
  EXPECT_EQ(c.plan.maxEndRow, 4);
  EXPECT_TRUE(c.plan.reusable);
  EXPECT_EQ(std::vector<std::int32_t>(c.plan.program, c.plan.program + 6),
            (std::vector<std::int32_t>{1, 1, 1, 2, 1, 10}));
  // Reuse, for a plan made at pixel 0 (row 0, entries {0, 1}, end rows 0 and 1).
  engine::Plan& plan = c.plan;
  plan.j = plan.row = plan.minEndRow = 0;
  plan.maxEndRow = 1;
  plan.positions = 2;
  const auto holds = [&](engine::Block b, std::uint32_t count = 2) {
    return engine::planHolds(c, plan, kernels, pattern, b, count, ir.data() + jc[b.j]);
  };
  EXPECT_TRUE(holds({2, 2, 0, 1, 4, 0xf, 0}));
  EXPECT_TRUE(holds({5, 5, 0, 1, 4, 0xf, 0}));      // end rows 5 ... 9: still in the column
  EXPECT_FALSE(holds({6, 6, 0, 1, 4, 0xf, 0}));     // lane 3 would end at row 10
  EXPECT_FALSE(holds({3, 3, 0, 1, 4, 0xf, 0}));     // entries not the same shifted
  EXPECT_FALSE(holds({2, 2, 0, 10, 3, 0x7, 0}));    // side by side
  EXPECT_FALSE(holds({2, 2, 0, 1, 4, 0xf, 1}));     // another reference lane
  EXPECT_FALSE(holds({2, 2, 0, 1, 4, 0xf, 0}, 1));  // another number of entries
  plan.row = 3;                                     // end rows would move above the column's top
  EXPECT_FALSE(holds({2, 2, 0, 1, 4, 0xf, 0}));
  plan.row = 0;
  plan.reusable = false;
  EXPECT_FALSE(holds({2, 2, 0, 1, 4, 0xf, 0}));
}

TEST(ThreadWorkers, EveryJobAndEveryPartRunsOnce) {
  for (int parts : {1, 2, 3, 7}) {
    for (std::size_t count :
         {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{100003}}) {
      std::vector<int> hits(count, 0);
      std::vector<std::pair<std::size_t, std::size_t>> ranges(static_cast<std::size_t>(parts));
      auto body = [&](int part, std::size_t begin, std::size_t end) {
        ranges[static_cast<std::size_t>(part)] = {begin, end};
        for (std::size_t k = begin; k < end; ++k)
          ++hits[k];
      };
      quorvane::splitOnThreads(count, parts, body);
      EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), static_cast<std::ptrdiff_t>(count));
      for (int p = 0; p < parts; ++p) {
        const auto [begin, end] = ranges[static_cast<std::size_t>(p)];
        EXPECT_EQ(begin, p == 0 ? 0 : ranges[static_cast<std::size_t>(p) - 1].second);
        EXPECT_LE(end - begin, count / parts + 1);
      }
    }
  }
  EXPECT_GE(quorvane::usableCores(), 1);
}

}  // namespace
