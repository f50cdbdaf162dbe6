// Times the weight engine against the reference transcription (tests/support) on the standard
// workloads, in one process, on the same inputs, with the output arrays allocated once and
// reused so that only the computation is timed. Prints, per workload: entries, ns per entry for
// the engine (the instruction set chosen at run time, then every other one this processor
// runs) and the reference, their ratio, the floor (storing values and row indices only) and
// whether every instruction set's output is bit-identical to the reference's (every NaN equal
// to every NaN).
//
// Usage: bench_engine WORKLOAD_DIR [name ...] [--repeat N] [--reference-repeat N] [--engine-only]
// (workload files as bench/prepare_workloads.py writes them). --engine-only runs the engine
// --repeat times per workload and nothing else, for profiles and instruction counts
// under callgrind.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "build_weight_matrix.h"
#include "disc_pattern.h"
#include "reference_weights.h"

namespace {

struct Workload {
  std::string name;
  int nr = 0, nc = 0, radius = 0;
  std::vector<double> magnitude, phase;
  std::vector<std::uint32_t> ir, jc;
};

bool readDoubles(const std::string& path, std::vector<double>& values, std::size_t count) {
  std::ifstream file(path, std::ios::binary);
  values.resize(count);
  file.read(reinterpret_cast<char*>(values.data()),
            static_cast<std::streamsize>(count * sizeof(double)));
  return static_cast<std::size_t>(file.gcount()) == count * sizeof(double);
}

// Every pixel within Euclidean distance radius of each pixel, self included, rows sorted
// within each column.
void discPattern(Workload& w) {
  w.ir.resize(quorvane::discPatternEntries(w.nr, w.nc, w.radius));
  w.jc.resize(static_cast<std::size_t>(w.nr) * w.nc + 1);
  quorvane::fillDiscPattern(w.nr, w.nc, w.radius, w.ir.data(), w.jc.data());
}

bool load(const std::string& dir, const std::string& name, Workload& w) {
  w.name = name;
  std::ifstream dims(dir + "/" + name + ".txt");
  if (!(dims >> w.nr >> w.nc >> w.radius))
    return false;
  const std::size_t np = static_cast<std::size_t>(w.nr) * w.nc;
  if (!readDoubles(dir + "/" + name + ".magnitude", w.magnitude, np) ||
      !readDoubles(dir + "/" + name + ".phase", w.phase, np))
    return false;
  discPattern(w);
  return true;
}

// The sparse output as Octave hands it over: signed 64-bit indices.
struct Output {
  std::vector<double> pr;
  std::vector<std::int64_t> ir, jc;
  explicit Output(const Workload& w)
      : pr(w.ir.size(), -1.0), ir(w.ir.size(), -1), jc(w.jc.size(), -1) {}
  quorvane::WeightMatrix<std::int64_t> view() { return {pr.data(), ir.data(), jc.data()}; }
};

bool identical(const Output& a, const Output& b) {
  if (a.ir != b.ir || a.jc != b.jc)
    return false;
  for (std::size_t k = 0; k < a.pr.size(); ++k) {
    if (!reference::sameBits(a.pr[k], b.pr[k]))
      return false;
  }
  return true;
}

// CPU time of this thread: on a shared machine, time spent waiting for a core is not counted.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <typename F>
double secondsOf(F&& run) {
  const double start = threadSeconds();
  run();
  return threadSeconds() - start;
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

template <typename F>
double medianSeconds(int repeat, F&& run) {
  std::vector<double> times;
  for (int n = 0; n < repeat; ++n)
    times.push_back(secondsOf(run));
  return median(times);
}

// What a host's call does, sigma defaulted, with the instruction set chosen.
void runEngine(const Workload& w, Output& out, quorvane::InstructionSet set) {
  const quorvane::PixelGrid grid{w.nr, w.nc, w.nr * w.nc};
  quorvane::buildWeightMatrix(grid, w.magnitude.data(), w.phase.data(),
                              quorvane::Pattern{w.ir.data(), w.jc.data()}, out.view(),
                              {std::nullopt, {set}});
}

void runReference(const Workload& w, Output& out) {
  reference::fillWeights(w.nr, w.nc, w.magnitude.data(), w.phase.data(), w.ir.data(), w.jc.data(),
                         false, 0.0, out.pr.data(), out.ir.data(), out.jc.data());
}

// Stores a value and a row index per entry and the column starts: what any engine must write.
void runFloor(const Workload& w, Output& out) {
  const std::size_t n = w.ir.size();
  for (std::size_t k = 0; k < n; ++k) {
    out.pr[k] = 0.5;
    out.ir[k] = w.ir[k];
  }
  for (std::size_t j = 0; j < w.jc.size(); ++j)
    out.jc[j] = w.jc[j];
}

const char* setName(quorvane::InstructionSet set) {
  switch (set) {
    case quorvane::InstructionSet::kAvx512:
      return "avx512";
    case quorvane::InstructionSet::kAvx:
      return "avx";
    case quorvane::InstructionSet::kScalar:
      break;
  }
  return "scalar";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKLOAD_DIR [name ...] [--repeat N] [--reference-repeat N]\n",
                 argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::string> names;
  int repeat = 11, referenceRepeat = 3;
  bool engineOnly = false;
  for (int a = 2; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--repeat" && a + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++a]));
    } else if (arg == "--reference-repeat" && a + 1 < argc) {
      referenceRepeat = std::max(1, std::atoi(argv[++a]));
    } else if (arg == "--engine-only") {
      engineOnly = true;
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty())
    names = {"noise", "coins", "camera"};

  const quorvane::InstructionSet best = quorvane::bestInstructionSet();
  // Every instruction set this processor runs, the one chosen at run time first.
  std::vector<quorvane::InstructionSet> others;
  for (auto set : {quorvane::InstructionSet::kAvx512, quorvane::InstructionSet::kAvx,
                   quorvane::InstructionSet::kScalar}) {
    if (set != best && quorvane::instructionSetAvailable(set))
      others.push_back(set);
  }
  // The engine runs enginePerRound times before each run of the reference.
  const int enginePerRound = (repeat + referenceRepeat - 1) / referenceRepeat;
  if (!engineOnly) {
    std::printf(
        "engine instruction set: %s (chosen at run time); thread CPU time, medians of %d runs of "
        "the "
        "engine and %d of the reference, taking turns; of %d for the other instruction sets and "
        "the "
        "floor\n\n",
        setName(best), enginePerRound * referenceRepeat, referenceRepeat, repeat);
    std::printf("| workload | size | radius | entries | engine ns/entry |");
    for (auto set : others)
      std::printf(" %s kernel ns/entry |", setName(set));
    std::printf(" reference ns/entry | reference / engine | floor ns/entry | bit-identical |\n|");
    for (std::size_t n = 0; n < 9 + others.size(); ++n)
      std::printf("---|");
    std::printf("\n");
  }
  bool allIdentical = true;
  for (const std::string& name : names) {
    Workload w;
    if (!load(dir, name, w)) {
      std::fprintf(stderr, "cannot read workload %s from %s\n", name.c_str(), dir.c_str());
      return 2;
    }
    Output engine(w);
    if (engineOnly) {
      for (int n = 0; n < repeat; ++n)
        runEngine(w, engine, best);
      continue;
    }
    Output referenceOut(w), floor(w), other(w);
    const double entries = static_cast<double>(w.ir.size());
    runReference(w, referenceOut);  // first touch of every output page happens outside the timing
    runEngine(w, engine, best);
    runFloor(w, floor);
    bool same = identical(engine, referenceOut);
    // The engine and the reference take turns, so that both meet the same load from other
    // jobs on a shared machine (their ratio is what the benchmark is for).
    std::vector<double> engineTimes, referenceTimes;
    for (int round = 0; round < referenceRepeat; ++round) {
      for (int n = 0; n < enginePerRound; ++n)
        engineTimes.push_back(secondsOf([&] { runEngine(w, engine, best); }));
      referenceTimes.push_back(secondsOf([&] { runReference(w, referenceOut); }));
    }
    const double tEngine = median(engineTimes), tReference = median(referenceTimes);
    std::vector<double> tOthers;
    for (auto set : others) {
      runEngine(w, other, set);
      same = same && identical(other, referenceOut);
      tOthers.push_back(medianSeconds(repeat, [&] { runEngine(w, other, set); }));
    }
    allIdentical = allIdentical && same;
    const double tFloor = medianSeconds(repeat, [&] { runFloor(w, floor); });
    std::printf("| %s | %d x %d | %d | %.0f | %.2f |", name.c_str(), w.nr, w.nc, w.radius, entries,
                tEngine / entries * 1e9);
    for (double t : tOthers)
      std::printf(" %.2f |", t / entries * 1e9);
    std::printf(" %.2f | %.1fx | %.2f | %s |\n", tReference / entries * 1e9, tReference / tEngine,
                tFloor / entries * 1e9, same ? "yes" : "NO");
    std::fflush(stdout);
  }
  return allIdentical ? 0 : 1;
}
