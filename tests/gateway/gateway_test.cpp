// The gateway's whole contract through the stand-in host: the order of the checks, every
// message, what is (not) read or created on failure, and the result of good calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host_arrays.h"
#include "reference_weights.h"
#include "test_host.h"

namespace {

using testhost::ClassId;
using testhost::doubleArray;
using testhost::HostArray;
using testhost::sizeOnlyArray;
using testhost::uint32Array;
using testhost::uint32Column;

const std::string kInputCount = "Four input arguments required";
const std::string kOutputCount = "Too many output arguments";
const std::string kImageSize = "Edge magnitude and phase shall be of the same image size";
const std::string kTooManyPixels = "Edge magnitude and phase shall have fewer than 2^31 pixels";
const std::string kImageClass = "Edge magnitude and phase shall be real double matrices";
const std::string kIndexClass = "Index pair shall be of type UINT32";
const std::string kIndexCount = "Wrong index representation";
const std::string kDecreasing = "Index pair column starts shall not decrease";
const std::string kTooFewRows = "Index pair has fewer row indices than its last column start";
const std::string kRowRange = "Index pair row index exceeds the image size";
const std::string kSigma = "Sigma shall be a real scalar";
const std::string kNoMemory = "Not enough memory for the output matrix";

// A valid call on the 1 x 3 example image, whose parts each test spoils one by one.
struct ExampleCall {
  std::unique_ptr<HostArray> magnitude = doubleArray(1, 3, {2, 4, 8});
  std::unique_ptr<HostArray> phase = doubleArray(1, 3, {0, 1, 1});
  std::unique_ptr<HostArray> ir = uint32Column({0, 1, 2, 0, 1, 2, 0, 1, 2});
  std::unique_ptr<HostArray> jc = uint32Column({0, 3, 6, 9});
  std::unique_ptr<HostArray> sigma = doubleArray(1, 1, {1.0});

  std::vector<const HostArray*> inputs(int count = 4) const {
    std::vector<const HostArray*> all{magnitude.get(), phase.get(), ir.get(), jc.get(),
                                      sigma.get()};
    all.resize(count, sigma.get());
    return all;
  }
};

class Gateway : public ::testing::Test {
 protected:
  void SetUp() override {
    testhost::resetLog();
    testhost::setAllocationLimit(std::uint64_t{1} << 30);
  }
  void TearDown() override {
    EXPECT_EQ(testhost::log().arraysAlive, 0);
    EXPECT_EQ(testhost::log().blocksLeft, 0);
  }

  // Runs a call that must fail with exactly this message, having created no output.
  void expectError(const std::string& message, int nlhs,
                   const std::vector<const HostArray*>& inputs, int creations = 0) {
    const int before = testhost::log().sparseCreations;
    const testhost::CallResult result = testhost::call(nlhs, inputs);
    ASSERT_TRUE(result.error.has_value()) << "expected: " << message;
    EXPECT_EQ(*result.error, message);
    EXPECT_EQ(result.output, nullptr);
    EXPECT_EQ(testhost::log().sparseCreations - before, creations);
  }
};

TEST_F(Gateway, CountsAreCheckedFirstInputsBeforeOutputs) {
  ExampleCall c;
  expectError(kInputCount, 1, {});
  expectError(kInputCount, 2, c.inputs(3));
  expectError(kOutputCount, 2, c.inputs(4));
  // Broken inputs do not matter while the counts are wrong.
  expectError(kInputCount, 1, {c.ir.get(), c.ir.get(), c.ir.get()});
  expectError(kOutputCount, 3, {c.ir.get(), c.ir.get(), c.ir.get(), c.ir.get()});
  EXPECT_EQ(testhost::log().messages,
            (std::vector<std::string>{kInputCount, kInputCount, kOutputCount, kInputCount,
                                      kOutputCount}));
}

TEST_F(Gateway, ImageSizesMustMatchRowsAndColumnsAndNotBeEmpty) {
  ExampleCall c;
  auto empty = doubleArray(0, 0, {}), emptyColumns = doubleArray(0, 3, {});
  expectError(kImageSize, 1, {empty.get(), empty.get(), c.ir.get(), c.jc.get()});
  expectError(kImageSize, 1, {emptyColumns.get(), emptyColumns.get(), c.ir.get(), c.jc.get()});
  auto tall = doubleArray(3, 4, std::vector<double>(12)),
       wide = doubleArray(4, 3, std::vector<double>(12));
  expectError(kImageSize, 1, {tall.get(), wide.get(), c.ir.get(), c.jc.get()});
  // Size is checked before class: a single-precision phase of the wrong size is a size error.
  auto single = sizeOnlyArray(ClassId::kSingle, 2, 3);
  expectError(kImageSize, 1, {c.magnitude.get(), single.get(), c.ir.get(), c.jc.get()});
}

TEST_F(Gateway, TooManyPixelsIsRejectedBeforeAnyDataIsRead) {
  ExampleCall c;
  // 65536 x 32768 = 2^31 pixels; the arrays claim the size and hold no data.
  auto big = sizeOnlyArray(ClassId::kDouble, 65536, 32768);
  expectError(kTooManyPixels, 1, {big.get(), big.get(), c.ir.get(), c.jc.get()});
  auto huge = sizeOnlyArray(ClassId::kUint8, std::uint64_t{1} << 40, std::uint64_t{1} << 30);
  expectError(kTooManyPixels, 0, {huge.get(), huge.get(), c.ir.get(), c.jc.get()});
  // One pixel fewer passes this check and fails on the (missing) index pair instead.
  auto largest = sizeOnlyArray(ClassId::kDouble, 1, 2147483647);
  expectError(kIndexClass, 1, {largest.get(), largest.get(), c.magnitude.get(), c.jc.get()});
}

TEST_F(Gateway, ImagesMustBeRealFullMatricesOfANumericOrLogicalClass) {
  ExampleCall c;
  auto text = sizeOnlyArray(ClassId::kChar, 1, 3), cell = sizeOnlyArray(ClassId::kCell, 1, 3);
  auto complex = doubleArray(1, 3, {1, 2, 3});
  complex->complex = true;
  auto complexSingle = sizeOnlyArray(ClassId::kSingle, 1, 3);
  complexSingle->complex = true;
  auto sparse = doubleArray(1, 3, {1, 2, 3});
  sparse->sparse = true;
  auto sparseLogical = sizeOnlyArray(ClassId::kLogical, 1, 3);
  sparseLogical->sparse = true;
  // A 1 x 1 x 3 array is reported as 1 x 3, the size of the phase, but it is no matrix.
  auto cube = doubleArray(1, 3, {2, 4, 8});
  cube->dimensions = 3;
  auto byteCube = sizeOnlyArray(ClassId::kUint8, 1, 3);
  byteCube->dimensions = 3;
  for (const HostArray* bad : {text.get(), cell.get(), complex.get(), complexSingle.get(),
                               sparse.get(), sparseLogical.get(), cube.get(), byteCube.get()}) {
    expectError(kImageClass, 1, {bad, c.phase.get(), c.ir.get(), c.jc.get()});
    expectError(kImageClass, 1, {c.magnitude.get(), bad, c.ir.get(), c.jc.get()});
  }
  // The image class is checked before the index class, and nothing is allocated.
  expectError(kImageClass, 1, {complex.get(), c.phase.get(), c.magnitude.get(), c.jc.get()});
  EXPECT_EQ(testhost::log().mallocs, 0);
}

// An image of one class with the bytes of these elements, and the doubles double(x) gives.
template <typename T>
std::unique_ptr<HostArray> imageOf(ClassId classId, const std::vector<T>& elements) {
  EXPECT_EQ(sizeof(T), testhost::elementBytes(classId));
  return testhost::rawArray(classId, 1, elements.size(), elements.data());
}

struct ClassCase {
  const char* name;
  std::unique_ptr<HostArray> image;  // 1 x 3
  std::vector<double> asDouble;      // its values as double(x) gives them
};

// Three elements per class that a wrong class's reading would change: signs, the extremes,
// 64-bit integers beyond 2^53 (rounded to the nearest double, ties to even), single's NaN,
// -0 and subnormals, logical bytes other than 1.
std::vector<ClassCase> everyClass() {
  std::vector<ClassCase> cases;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  cases.push_back({"double", doubleArray(1, 3, {-0.0, 0.1, 5e3}), {-0.0, 0.1, 5e3}});
  cases.push_back({"single",
                   imageOf<float>(ClassId::kSingle, {0.1f, -0.0f, 1e-45f}),
                   {0.100000001490116119384765625, -0.0, 0x1p-149}});
  cases.push_back({"single NaN",
                   imageOf<float>(ClassId::kSingle, {std::nanf(""), 3e38f, -2.5f}),
                   {nan, 3.0000000054977558e38, -2.5}});
  cases.push_back({"int8", imageOf<std::int8_t>(ClassId::kInt8, {-128, -1, 127}), {-128, -1, 127}});
  cases.push_back({"uint8", imageOf<std::uint8_t>(ClassId::kUint8, {255, 0, 7}), {255, 0, 7}});
  cases.push_back(
      {"int16", imageOf<std::int16_t>(ClassId::kInt16, {-32768, 300, -1}), {-32768, 300, -1}});
  cases.push_back(
      {"uint16", imageOf<std::uint16_t>(ClassId::kUint16, {65535, 300, 1}), {65535, 300, 1}});
  cases.push_back({"int32",
                   imageOf<std::int32_t>(ClassId::kInt32, {-2147483647 - 1, 70000, -3}),
                   {-2147483648.0, 70000, -3}});
  cases.push_back({"uint32",
                   imageOf<std::uint32_t>(ClassId::kUint32, {4294967295u, 70000, 3}),
                   {4294967295.0, 70000, 3}});
  cases.push_back(
      {"int64",
       imageOf<std::int64_t>(ClassId::kInt64, {9007199254740993, -9007199254740995,
                                               std::numeric_limits<std::int64_t>::max()}),
       {9007199254740992.0, -9007199254740996.0, 9223372036854775808.0}});
  cases.push_back(
      {"uint64",
       imageOf<std::uint64_t>(ClassId::kUint64, {18446744073709551615u, 9007199254740993u, 5}),
       {18446744073709551616.0, 9007199254740992.0, 5}});
  cases.push_back({"logical", imageOf<std::uint8_t>(ClassId::kLogical, {1, 0, 2}), {1, 0, 1}});
  return cases;
}

TEST_F(Gateway, ImagesOfEveryNumericAndLogicalClassAreReadAsDoubleOfThem) {
  ExampleCall c;
  const std::vector<ClassCase> cases = everyClass();
  auto sigma = doubleArray(1, 1, {1e19});  // weights of 64-bit magnitudes short of 0
  for (const ClassCase& m : cases) {
    // The stand-in host reads them so too (the fuzzer's and mxGetScalar's reading).
    for (std::size_t k = 0; k < 3; ++k)
      EXPECT_TRUE(reference::sameBits(testhost::asDouble(*m.image, k), m.asDouble[k]))
          << m.name << " element " << k;
    for (const ClassCase& p : cases) {
      SCOPED_TRACE(std::string(m.name) + " magnitude, " + p.name + " phase");
      for (int withSigma = 0; withSigma < 2; ++withSigma) {
        auto magnitude = doubleArray(1, 3, m.asDouble), phase = doubleArray(1, 3, p.asDouble);
        std::vector<const HostArray*> asDouble{magnitude.get(), phase.get(), c.ir.get(), c.jc.get(),
                                               sigma.get()};
        std::vector<const HostArray*> asIs{m.image.get(), p.image.get(), c.ir.get(), c.jc.get(),
                                           sigma.get()};
        asDouble.resize(4 + withSigma);
        asIs.resize(4 + withSigma);
        const testhost::CallResult expected = testhost::call(1, asDouble);
        testhost::resetLog();
        const testhost::CallResult result = testhost::call(1, asIs);
        ASSERT_FALSE(result.error.has_value()) << *result.error;
        // Double images are read where they lie; each other one is one copy, freed.
        const int copies =
            (m.image->classId != ClassId::kDouble) + (p.image->classId != ClassId::kDouble);
        EXPECT_EQ(testhost::log().mallocs, copies);
        EXPECT_EQ(testhost::log().blocksLeft, 0);
        const std::vector<double> got = testhost::values(*result.output),
                                  want = testhost::values(*expected.output);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t k = 0; k < got.size(); ++k)
          EXPECT_TRUE(reference::sameBits(got[k], want[k])) << k << ": " << got[k];
        EXPECT_EQ(result.output->jc, expected.output->jc);
      }
    }
  }
}

TEST_F(Gateway, CopiesThatCannotBeAllocatedFailLikeTheOutputAndLeaveNothing) {
  ExampleCall c;
  auto single = imageOf<float>(ClassId::kSingle, {2, 4, 8});
  auto truth = imageOf<std::uint8_t>(ClassId::kLogical, {0, 1, 1});
  // The first copy, the second, then the output once both copies exist.
  for (int nth = 1; nth <= 2; ++nth) {
    testhost::failMalloc(nth);
    expectError(kNoMemory, 1, {single.get(), truth.get(), c.ir.get(), c.jc.get()});
  }
  testhost::failNextSparseCreation();
  expectError(kNoMemory, 1, {single.get(), truth.get(), c.ir.get(), c.jc.get()});
  EXPECT_EQ(testhost::log().mallocs, 0 + 1 + 2);
  EXPECT_EQ(testhost::log().blocksLeft, 0);
}

TEST_F(Gateway, IndexPairMustBeUint32WithNpPlusOneColumnStartsInAnyShape) {
  ExampleCall c;
  auto doubleIr = doubleArray(9, 1, std::vector<double>(9));
  auto doubleJc = doubleArray(4, 1, {0, 3, 6, 9});
  auto int32Jc = sizeOnlyArray(ClassId::kInt32, 4, 1);
  expectError(kIndexClass, 1, {c.magnitude.get(), c.phase.get(), doubleIr.get(), c.jc.get()});
  expectError(kIndexClass, 1, {c.magnitude.get(), c.phase.get(), c.ir.get(), doubleJc.get()});
  expectError(kIndexClass, 1, {c.magnitude.get(), c.phase.get(), c.ir.get(), int32Jc.get()});
  auto shortJc = uint32Column({0, 3, 9});
  auto longJc = uint32Column({0, 3, 6, 9, 9});
  expectError(kIndexCount, 1, {c.magnitude.get(), c.phase.get(), c.ir.get(), shortJc.get()});
  expectError(kIndexCount, 1, {c.magnitude.get(), c.phase.get(), c.ir.get(), longJc.get()});
  // An equal count of a wrong class is a class error, checked first.
  expectError(kIndexClass, 1, {c.magnitude.get(), c.phase.get(), doubleIr.get(), shortJc.get()});

  auto row = uint32Array(1, 4, {0, 3, 6, 9}), square = uint32Array(2, 2, {0, 3, 6, 9});
  for (const HostArray* jc : {row.get(), square.get()}) {
    const testhost::CallResult result =
        testhost::call(1, {c.magnitude.get(), c.phase.get(), c.ir.get(), jc});
    EXPECT_FALSE(result.error.has_value());
    ASSERT_NE(result.output, nullptr);
    EXPECT_EQ(result.output->jc, (std::vector<mwIndex>{0, 3, 6, 9}));
  }
}

TEST_F(Gateway, MalformedPatternsAreRejectedBeforeTheOutputExists) {
  ExampleCall c;
  auto call = [&](const std::vector<std::uint32_t>& ir, const std::vector<std::uint32_t>& jc,
                  const std::string& message) {
    auto irArray = uint32Column(ir), jcArray = uint32Column(jc);
    expectError(message, 1, {c.magnitude.get(), c.phase.get(), irArray.get(), jcArray.get()});
  };
  call({0, 1, 2}, {0, 2, 1, 3}, kDecreasing);
  call({0, 1, 2}, {2, 1, 1, 3}, kDecreasing);
  call({0, 1}, {0, 1, 2, 3}, kTooFewRows);
  call({}, {0, 0, 0, 4294967295u}, kTooFewRows);
  call({0, 3, 1}, {0, 1, 2, 3}, kRowRange);
  call({0, 1, 4294967295u}, {0, 1, 2, 3}, kRowRange);
  // Checked in that order: decreasing starts win over a short or out-of-range IR.
  call({7}, {0, 5, 1, 9}, kDecreasing);
  call({7}, {0, 1, 1, 9}, kTooFewRows);
  // Out-of-range entries that are never read pass: JC(1) = 2 skips the first two.
  auto ir = uint32Column({99, 4294967295u, 1, 0, 2, 99}), jc = uint32Column({2, 3, 4, 5});
  const testhost::CallResult result =
      testhost::call(1, {c.magnitude.get(), c.phase.get(), ir.get(), jc.get()});
  ASSERT_FALSE(result.error.has_value());
  EXPECT_EQ(result.output->jc, (std::vector<mwIndex>{0, 1, 2, 3}));
  EXPECT_EQ(result.output->ir.size(), 5u);  // capacity JC(end), entries JC(end) - JC(1)
}

TEST_F(Gateway, OutputThatCannotBeAllocatedIsReportedLast) {
  ExampleCall c;
  testhost::failNextSparseCreation();
  expectError(kNoMemory, 1, c.inputs(4));
  // A pattern error is reported before the allocator is ever asked.
  testhost::failNextSparseCreation();
  auto badIr = uint32Column({0, 1, 2, 0, 1, 2, 0, 1, 3});
  expectError(kRowRange, 1, {c.magnitude.get(), c.phase.get(), badIr.get(), c.jc.get()});
  testhost::call(1, c.inputs(4));  // consumes the pending failure
  testhost::resetLog();
  // Sizes the host cannot allocate (here above a 1 MiB limit) give the same message.
  testhost::setAllocationLimit(1 << 20);
  std::vector<std::uint32_t> starts(200 * 200 + 1, 0);
  starts.back() = 100000;
  auto image = doubleArray(200, 200, std::vector<double>(40000, 1.0));
  auto jc = uint32Column(starts), ir = uint32Column(std::vector<std::uint32_t>(100000, 0));
  expectError(kNoMemory, 1, {image.get(), image.get(), ir.get(), jc.get()});
}

TEST_F(Gateway, ExampleResultWithGivenDefaultedAndEmptySigma) {
  ExampleCall c;
  const double a = std::exp(-4.5);
  testhost::CallResult result = testhost::call(1, c.inputs(5));
  ASSERT_FALSE(result.error.has_value());
  EXPECT_EQ(result.output->rows, 3u);
  EXPECT_EQ(result.output->cols, 3u);
  EXPECT_EQ(testhost::values(*result.output), (std::vector<double>{1, a, a, a, 1, 1, a, 1, 1}));
  EXPECT_EQ(result.output->ir, (std::vector<mwIndex>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
  EXPECT_EQ(result.output->jc, (std::vector<mwIndex>{0, 3, 6, 9}));

  const double b = std::exp(((-3.0) * 3.0) * (0.5 / ((8.0 / 6.0) * (8.0 / 6.0))));
  const std::vector<double> defaulted{1, b, b, b, 1, 1, b, 1, 1};
  result = testhost::call(1, c.inputs(4));
  EXPECT_EQ(testhost::values(*result.output), defaulted);
  // An empty fifth input means no sigma, not mxGetScalar of nothing.
  auto empty = doubleArray(0, 0, {});
  result =
      testhost::call(1, {c.magnitude.get(), c.phase.get(), c.ir.get(), c.jc.get(), empty.get()});
  ASSERT_FALSE(result.error.has_value());
  EXPECT_EQ(testhost::values(*result.output), defaulted);
}

TEST_F(Gateway, SigmaMustBeOneRealNumberOfAnyNumericOrLogicalClass) {
  ExampleCall c;
  const auto withSigma = [&c](const HostArray* sigma) {
    return std::vector<const HostArray*>{c.magnitude.get(), c.phase.get(), c.ir.get(), c.jc.get(),
                                         sigma};
  };
  auto text = sizeOnlyArray(ClassId::kChar, 1, 3);
  auto pair = doubleArray(1, 2, {0.5, 9});
  auto complex = doubleArray(1, 1, {1});
  complex->complex = true;
  complex->imag = {2};
  auto sparse = doubleArray(1, 1, {2});
  sparse->sparse = true;
  auto cell = sizeOnlyArray(ClassId::kCell, 1, 1);
  for (const HostArray* sigma : {text.get(), pair.get(), complex.get(), sparse.get(), cell.get()})
    expectError(kSigma, 1, withSigma(sigma));
  // After the pattern's checks, before the output is created.
  auto badIr = uint32Column({0, 1, 2, 0, 1, 2, 0, 1, 3});
  expectError(kRowRange, 1,
              {c.magnitude.get(), c.phase.get(), badIr.get(), c.jc.get(), cell.get()});
  testhost::failNextSparseCreation();
  expectError(kSigma, 1, withSigma(pair.get()));
  testhost::call(1, c.inputs(4));  // consumes the pending failure

  // One number of any numeric or logical class is its value; an empty one of any class
  // (a cell included) is the default.
  auto single = sizeOnlyArray(ClassId::kSingle, 1, 1);
  const float half = 0.5f;
  single->data.resize(sizeof half);
  std::memcpy(single->data.data(), &half, sizeof half);
  auto truth = sizeOnlyArray(ClassId::kLogical, 1, 1);
  truth->data = {1};
  const auto crossing = [&](const HostArray* sigma) {
    const testhost::CallResult result = testhost::call(1, withSigma(sigma));
    EXPECT_FALSE(result.error.has_value());
    return result.output ? testhost::values(*result.output)[1] : 0.0;
  };
  EXPECT_EQ(crossing(single.get()), std::exp(((-3.0) * 3.0) * (0.5 / 0.25)));
  EXPECT_EQ(crossing(truth.get()), std::exp(-4.5));
  auto emptyCell = sizeOnlyArray(ClassId::kCell, 0, 0);
  auto emptyText = sizeOnlyArray(ClassId::kChar, 1, 0);
  const testhost::CallResult none = testhost::call(1, c.inputs(4));
  const double defaulted = std::exp(((-3.0) * 3.0) * (0.5 / ((8.0 / 6.0) * (8.0 / 6.0))));
  EXPECT_EQ(testhost::values(*none.output)[1], defaulted);
  EXPECT_EQ(crossing(emptyCell.get()), defaulted);
  EXPECT_EQ(crossing(emptyText.get()), defaulted);
}

TEST_F(Gateway, ZeroOutputsStillFillSlotOneAndExtraInputsAreIgnored) {
  ExampleCall c;
  auto sixth = sizeOnlyArray(ClassId::kChar, 5, 5);  // never read
  auto sigma = uint32Array(1, 1, {2});
  const testhost::CallResult result = testhost::call(
      0, {c.magnitude.get(), c.phase.get(), c.ir.get(), c.jc.get(), sigma.get(), sixth.get()});
  ASSERT_FALSE(result.error.has_value());
  ASSERT_NE(result.output, nullptr);
  EXPECT_EQ(testhost::values(*result.output)[1], std::exp(((-3.0) * 3.0) * (0.5 / 4.0)));
}

TEST_F(Gateway, RandomCallsMatchThePlainTranscription) {
  std::mt19937 rng(99);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int trial = 0; trial < 200; ++trial) {
    const int nr = 1 + static_cast<int>(rng() % 6), nc = 1 + static_cast<int>(rng() % 6);
    const int np = nr * nc;
    std::vector<double> magnitude(np), phase(np);
    for (int p = 0; p < np; ++p) {
      magnitude[p] = rng() % 9 == 0 ? nan : static_cast<double>(rng() % 5) - 1.0;
      phase[p] = rng() % 7 == 0 ? -0.0 : static_cast<double>(rng() % 2);
    }
    std::vector<std::uint32_t> ir, jc{0};
    for (int j = 0; j < np; ++j) {
      for (int n = static_cast<int>(rng() % 5); n > 0; --n)
        ir.push_back(rng() % np);
      jc.push_back(static_cast<std::uint32_t>(ir.size()));
    }
    auto m = doubleArray(nr, nc, magnitude), ph = doubleArray(nr, nc, phase);
    auto irArray = uint32Column(ir), jcArray = uint32Array(1, jc.size(), jc);
    const bool withSigma = trial % 2 == 0;
    auto sigma = doubleArray(1, 1, {0.75});
    std::vector<const HostArray*> inputs{m.get(), ph.get(), irArray.get(), jcArray.get()};
    if (withSigma)
      inputs.push_back(sigma.get());
    const testhost::CallResult result = testhost::call(1, inputs);
    ASSERT_FALSE(result.error.has_value());
    const reference::Sparse expected =
        reference::weights(nr, nc, magnitude, phase, ir, jc, withSigma, 0.75);
    const std::vector<double> got = testhost::values(*result.output);
    ASSERT_EQ(got.size(), expected.values.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_TRUE(reference::sameBits(got[k], expected.values[k])) << trial << ": " << k;
      EXPECT_EQ(result.output->ir[k], expected.rows[k]);
    }
    EXPECT_EQ(result.output->jc, expected.starts);
  }
}

}  // namespace
