// The checks of a disc-pattern call in their order, and the message table both hosts raise
// from. The texts are held word for word by the hosts' tests: toolbox/tests/compare_patterns.m
// (the native function and the .m file alike) and python/tests/test_pattern_messages.py.
#include "pattern_call_check.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>

namespace {

using quorvane::CheckedPatternCall;
using quorvane::NumberFacts;
using quorvane::PatternCallFacts;
using quorvane::PatternCallFault;
using quorvane::PatternHost;
using quorvane::PatternSize;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

NumberFacts number(double value) {
  return {true, value};
}

// A 4 x 5 image at radius 1.5: a call that passes, as each host describes it.
PatternCallFacts goodCall(PatternSize size) {
  PatternCallFacts call;
  call.inputs = 3;
  call.outputs = 2;
  call.size = size;
  call.rows = number(4);
  call.columns = number(5);
  call.radius = number(1.5);
  return call;
}

// Checks with a pair count that is the image's pixel count, unless one is given.
CheckedPatternCall check(const PatternCallFacts& call, std::uint64_t pairs = 0) {
  return quorvane::checkPatternCall(call, [&](const CheckedPatternCall& c) {
    return pairs ? pairs : static_cast<std::uint64_t>(c.rows * c.columns);
  });
}

using Change = std::function<void(PatternCallFacts&)>;

// The changes a case makes to the good call.
Change rows(double value, bool realScalar = true) {
  return [=](PatternCallFacts& c) { c.rows = {realScalar, value}; };
}
Change columns(double value, bool realScalar = true) {
  return [=](PatternCallFacts& c) { c.columns = {realScalar, value}; };
}
Change radius(double value, bool realScalar = true) {
  return [=](PatternCallFacts& c) { c.radius = {realScalar, value}; };
}
Change part(std::int64_t first, std::int64_t last) {
  return [=](PatternCallFacts& c) { c.part = quorvane::PixelRange{first, last}; };
}
Change counts(int inputs, int outputs) {
  return [=](PatternCallFacts& c) { c.inputs = inputs, c.outputs = outputs; };
}
Change size(double nr, double nc) {
  return [=](PatternCallFacts& c) { rows(nr)(c), columns(nc)(c); };
}
Change both(Change first, Change second) {
  return [=](PatternCallFacts& c) { first(c), second(c); };
}

struct FaultCase {
  const char* what;
  Change change;
  PatternCallFault twoNumbers, oneShape;  // the first fault for each way of giving the size
};

// How gtest shows a case (its words rather than its bytes).
void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.what;
}

class PatternCallChecks : public testing::TestWithParam<FaultCase> {};

TEST_P(PatternCallChecks, FindTheFirstFault) {
  for (const PatternSize form : {PatternSize::kTwoNumbers, PatternSize::kOneShape}) {
    PatternCallFacts call = goodCall(form);
    GetParam().change(call);
    const PatternCallFault expected =
        form == PatternSize::kTwoNumbers ? GetParam().twoNumbers : GetParam().oneShape;
    EXPECT_EQ(check(call).fault, expected)
        << GetParam().what << (form == PatternSize::kOneShape ? " (one shape)" : "");
  }
}

using F = PatternCallFault;
const FaultCase kFaultCases[] = {
    {"a good call", [](PatternCallFacts&) {}, F::kNone, F::kNone},
    {"no output", counts(3, 0), F::kNone, F::kNone},
    {"four inputs", counts(4, 2), F::kTooManyInputs, F::kTooManyInputs},
    {"four inputs, three outputs", counts(4, 3), F::kTooManyInputs, F::kTooManyInputs},
    {"three outputs", counts(3, 3), F::kTooManyOutputs, F::kTooManyOutputs},
    {"two inputs, three outputs", counts(2, 3), F::kTooManyOutputs, F::kTooManyOutputs},
    {"two inputs", counts(2, 2), F::kTooFewInputs, F::kTooFewInputs},
    {"two inputs, bad numbers", both(counts(2, 2), rows(0)), F::kTooFewInputs, F::kTooFewInputs},
    {"rows 0", rows(0), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows 0.5", rows(0.5), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows 2.5", rows(2.5), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows -1", rows(-1), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows NaN", rows(kNaN), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows Inf", rows(kInf), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows no number", rows(4, false), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"rows before columns", size(0, 0), F::kRowsNotPositiveInteger, F::kRowsNotPositiveInteger},
    {"columns -0", columns(-0.0), F::kColumnsNotPositiveInteger, F::kColumnsNotPositiveInteger},
    {"columns no number", columns(5, false), F::kColumnsNotPositiveInteger,
     F::kColumnsNotPositiveInteger},
    {"columns before radius", both(columns(3.5), radius(-1)), F::kColumnsNotPositiveInteger,
     F::kColumnsNotPositiveInteger},
    {"radius -1", radius(-1), F::kRadiusBelowZero, F::kRadiusBelowZero},
    {"radius -Inf", radius(-kInf), F::kRadiusBelowZero, F::kRadiusBelowZero},
    {"radius NaN", radius(kNaN), F::kRadiusBelowZero, F::kRadiusBelowZero},
    {"radius no number", radius(1, false), F::kRadiusBelowZero, F::kRadiusBelowZero},
    {"radius -0", radius(-0.0), F::kNone, F::kNone},
    {"radius Inf", radius(kInf), F::kNone, F::kNone},
    {"2^31 - 1 pixels", size(1, 2147483647), F::kNone, F::kNone},
    {"2^31 pixels", size(65536, 32768), F::kTooManyPixels, F::kTooManyPixels},
    {"2^31 + 2^15 - 1 pixels", size(65535, 32769), F::kTooManyPixels, F::kTooManyPixels},
    {"an infinite pixel count", size(1e200, 1e200), F::kTooManyPixels, F::kTooManyPixels},
    // Octave checks NR * NC after the radius, Python the shape before it.
    {"2^31 pixels at radius -1", both(size(65536, 32768), radius(-1)), F::kRadiusBelowZero,
     F::kTooManyPixels},
    {"a whole part", part(0, 20), F::kNone, F::kNone},
    {"an empty part at the end", part(20, 20), F::kNone, F::kNone},
    {"a part before pixel 0", part(-1, 3), F::kPartOutsideImage, F::kPartOutsideImage},
    {"a part ending before it starts", part(3, 2), F::kPartOutsideImage, F::kPartOutsideImage},
    {"a part beyond the last pixel", part(0, 21), F::kPartOutsideImage, F::kPartOutsideImage},
    {"radius before the part", both(radius(-1), part(0, 21)), F::kRadiusBelowZero,
     F::kRadiusBelowZero},
    {"pixels before the part", both(size(65536, 32768), part(-1, 0)), F::kTooManyPixels,
     F::kTooManyPixels},
};
// Each case named by its number and its words, so that ctest lists it readably.
std::string caseName(const testing::TestParamInfo<FaultCase>& info) {
  std::string name = std::to_string(info.index) + "_";
  for (const char* c = info.param.what; *c != '\0'; ++c)
    name += std::isalnum(*c) ? *c : '_';
  return name;
}
INSTANTIATE_TEST_SUITE_P(Faults, PatternCallChecks, testing::ValuesIn(kFaultCases), caseName);

TEST(PatternCallCheck, CountsThePairsLastWithTheCheckedCall) {
  PatternCallFacts call = goodCall(PatternSize::kOneShape);
  call.part = quorvane::PixelRange{3, 7};
  int counted = 0;
  const auto count = [&](std::uint64_t pairs) {
    return [&counted, pairs](const CheckedPatternCall& c) {
      ++counted;
      EXPECT_EQ(c.fault, PatternCallFault::kNone);
      EXPECT_EQ(c.rows, 4);
      EXPECT_EQ(c.columns, 5);
      EXPECT_EQ(c.radius, 1.5);
      EXPECT_EQ(c.part.first, 3);
      EXPECT_EQ(c.part.last, 7);
      return pairs;
    };
  };
  const CheckedPatternCall ok = quorvane::checkPatternCall(call, count(UINT32_MAX));
  EXPECT_EQ(ok.fault, PatternCallFault::kNone);
  EXPECT_EQ(ok.pairs, UINT32_MAX);
  const CheckedPatternCall over = quorvane::checkPatternCall(call, count(UINT32_MAX + 1ull));
  EXPECT_EQ(over.fault, PatternCallFault::kTooManyPairs);
  EXPECT_EQ(over.pairs, UINT32_MAX + 1ull);
  EXPECT_EQ(counted, 2);
  // No count for a call that an earlier check refuses, however large its pattern.
  call.part = quorvane::PixelRange{0, 21};
  EXPECT_EQ(quorvane::checkPatternCall(call, count(1)).fault, PatternCallFault::kPartOutsideImage);
  EXPECT_EQ(counted, 2);

  // The whole image is the part when none is asked for.
  PatternCallFacts whole = goodCall(PatternSize::kTwoNumbers);
  const CheckedPatternCall all = check(whole);
  EXPECT_EQ(all.part.first, 0);
  EXPECT_EQ(all.part.last, 20);
  EXPECT_EQ(all.pairs, 20u);
  EXPECT_EQ(all.pixels, 20.0);
}

// Each fault has a text for each host that raises it (the texts themselves are held by the
// hosts' tests), an identifier where Octave raises it, and no "{}" left once written.
TEST(PatternCallMessages, EachFaultInTheWordsOfTheHostsThatRaiseIt) {
  struct Raised {
    PatternCallFault fault;
    bool octave, python;
  };
  for (const Raised& r :
       {Raised{F::kTooManyInputs, true, false}, Raised{F::kTooManyOutputs, true, false},
        Raised{F::kTooFewInputs, true, false}, Raised{F::kRowsNotPositiveInteger, true, true},
        Raised{F::kColumnsNotPositiveInteger, true, true}, Raised{F::kRadiusBelowZero, true, true},
        Raised{F::kTooManyPixels, true, true}, Raised{F::kPartOutsideImage, false, true},
        Raised{F::kTooManyPairs, true, true}, Raised{F::kOutOfMemory, true, false}}) {
    const quorvane::PatternCallMessage m = quorvane::patternCallMessage(r.fault);
    const int which = static_cast<int>(r.fault);
    EXPECT_EQ(m.octave != nullptr, r.octave) << which;
    EXPECT_EQ(m.identifier != nullptr, r.octave) << which;
    EXPECT_EQ(m.python != nullptr, r.python) << which;
    for (const PatternHost host : {PatternHost::kOctave, PatternHost::kPython}) {
      const std::string text = quorvane::patternCallText(r.fault, host, 7);
      EXPECT_EQ(text.find("{}"), std::string::npos) << text;
    }
    if (r.octave) {
      EXPECT_EQ(
          quorvane::patternCallText(r.fault, PatternHost::kOctave).rfind("quorvane_pattern: ", 0),
          0u);
    }
  }
  EXPECT_EQ(quorvane::patternCallText(F::kTooManyPixels, PatternHost::kPython, 7),
            "shape shall have fewer than 2^31 pixels");
  const quorvane::PatternCallMessage none = quorvane::patternCallMessage(F::kNone);
  EXPECT_EQ(none.identifier, nullptr);
  EXPECT_EQ(none.octave, nullptr);
  EXPECT_EQ(none.python, nullptr);
}

TEST(PatternCallMessages, FiguresAreWrittenAsOctavesWholeNumbers) {
  const auto size = [](double pixels) {
    return quorvane::patternCallText(F::kTooManyPixels, PatternHost::kOctave, pixels);
  };
  const std::string head =
      "quorvane_pattern: the image shall have fewer than 2^31 pixels (NR*NC is ";
  EXPECT_EQ(size(kInf), head + "Inf)");
  // Beyond the range of 64-bit integers, every digit of the double.
  EXPECT_EQ(size(std::ldexp(1.0, 80)), head + "1208925819614629174706176)");
  EXPECT_EQ(size(1e20), head + "100000000000000000000)");
  EXPECT_EQ(size(1e300).size(), head.size() + 301 + 1);
  EXPECT_EQ(quorvane::patternCallText(F::kOutOfMemory, PatternHost::kOctave, 4294967295.0),
            "quorvane_pattern: out of memory for 4294967295 pairs");
  EXPECT_EQ(quorvane::figureText(0.0), "0");
  EXPECT_EQ(quorvane::figureText(-kInf), "-Inf");
}

}  // namespace
