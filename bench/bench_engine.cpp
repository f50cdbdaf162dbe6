// Times the weight engine against the plain transcription on the standard workloads, in one
// process, on the same inputs, with the output arrays allocated once and reused so that only
// the computation is timed. Prints, per workload: entries, ns per entry for the engine (the
// kernel chosen at run time, then every other kernel this processor runs) and the plain walk,
// their ratio, the floor (storing values and row indices only) and whether every kernel's
// output is bit-identical to the plain walk's (every NaN equal to every NaN).
//
// Usage: bench_engine WORKLOAD_DIR [name ...] [--repeat N] [--plain-repeat N] [--engine-only]
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
#include "plain_reference.h"
#include "weight_engine.h"

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
  const int np = w.nr * w.nc, r = w.radius;
  w.jc.assign(1, 0);
  w.ir.clear();
  for (int j = 0; j < np; ++j) {
    const int row = j % w.nr, col = j / w.nr;
    for (int dc = -r; dc <= r; ++dc) {
      for (int dr = -r; dr <= r; ++dr) {
        const int rr = row + dr, cc = col + dc;
        if (dr * dr + dc * dc <= r * r && rr >= 0 && rr < w.nr && cc >= 0 && cc < w.nc)
          w.ir.push_back(static_cast<std::uint32_t>(rr + cc * w.nr));
      }
    }
    w.jc.push_back(static_cast<std::uint32_t>(w.ir.size()));
  }
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

bool sameBits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

bool identical(const Output& a, const Output& b) {
  if (a.ir != b.ir || a.jc != b.jc)
    return false;
  for (std::size_t k = 0; k < a.pr.size(); ++k) {
    if (!sameBits(a.pr[k], b.pr[k]))
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

void runEngine(const Workload& w, Output& out, quorvane::EngineKernel kernel) {
  const quorvane::PixelGrid grid{w.nr, w.nc, w.nr * w.nc};
  // buildWeightMatrix with the kernel chosen: the same steps, sigma defaulted.
  const double factor =
      quorvane::gaussianFactor(quorvane::defaultSigma(w.magnitude.data(), grid.np));
  const quorvane::IndexPair pattern{w.ir.data(), w.jc.data()};
  quorvane::computeWeights(grid, w.magnitude.data(), w.phase.data(), pattern, factor, out.pr.data(),
                           kernel, {out.ir.data(), sizeof(std::int64_t)});
  for (int j = 0; j <= grid.np; ++j)
    out.jc[j] = w.jc[j];
}

void runPlain(const Workload& w, Output& out) {
  bench::plainWeights(w.nr, w.nc, w.magnitude.data(), w.phase.data(), w.ir.data(), w.jc.data(),
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

const char* kernelName(quorvane::EngineKernel kernel) {
  switch (kernel) {
    case quorvane::EngineKernel::kAvx512:
      return "avx512";
    case quorvane::EngineKernel::kAvx:
      return "avx";
    case quorvane::EngineKernel::kPlain:
      break;
  }
  return "scalar";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKLOAD_DIR [name ...] [--repeat N] [--plain-repeat N]\n",
                 argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::string> names;
  int repeat = 11, plainRepeat = 3;
  bool engineOnly = false;
  for (int a = 2; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--repeat" && a + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++a]));
    } else if (arg == "--plain-repeat" && a + 1 < argc) {
      plainRepeat = std::max(1, std::atoi(argv[++a]));
    } else if (arg == "--engine-only") {
      engineOnly = true;
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty())
    names = {"noise", "coins", "camera"};

  const quorvane::EngineKernel best = quorvane::bestEngineKernel();
  // Every kernel this processor runs, the one chosen at run time first.
  std::vector<quorvane::EngineKernel> others;
  for (auto k : {quorvane::EngineKernel::kAvx512, quorvane::EngineKernel::kAvx,
                 quorvane::EngineKernel::kPlain}) {
    if (k != best && quorvane::engineKernelAvailable(k))
      others.push_back(k);
  }
  // The engine runs enginePerRound times before each run of the plain walk.
  const int enginePerRound = (repeat + plainRepeat - 1) / plainRepeat;
  if (!engineOnly) {
    std::printf(
        "engine kernel: %s (chosen at run time); thread CPU time, medians of %d runs of the "
        "engine and %d of the plain walk, taking turns; of %d for the other kernels and the "
        "floor\n\n",
        kernelName(best), enginePerRound * plainRepeat, plainRepeat, repeat);
    std::printf("| workload | size | radius | entries | engine ns/entry |");
    for (auto k : others)
      std::printf(" %s kernel ns/entry |", kernelName(k));
    std::printf(" plain ns/entry | plain / engine | floor ns/entry | bit-identical |\n|");
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
    Output plain(w), floor(w), other(w);
    const double entries = static_cast<double>(w.ir.size());
    runPlain(w, plain);  // first touch of every output page happens outside the timing
    runEngine(w, engine, best);
    runFloor(w, floor);
    bool same = identical(engine, plain);
    // The engine and the plain walk take turns, so that both meet the same load from other
    // jobs on a shared machine (their ratio is what the benchmark is for).
    std::vector<double> engineTimes, plainTimes;
    for (int round = 0; round < plainRepeat; ++round) {
      for (int n = 0; n < enginePerRound; ++n)
        engineTimes.push_back(secondsOf([&] { runEngine(w, engine, best); }));
      plainTimes.push_back(secondsOf([&] { runPlain(w, plain); }));
    }
    const double tEngine = median(engineTimes), tPlain = median(plainTimes);
    std::vector<double> tOthers;
    for (auto k : others) {
      runEngine(w, other, k);
      same = same && identical(other, plain);
      tOthers.push_back(medianSeconds(repeat, [&] { runEngine(w, other, k); }));
    }
    allIdentical = allIdentical && same;
    const double tFloor = medianSeconds(repeat, [&] { runFloor(w, floor); });
    std::printf("| %s | %d x %d | %d | %.0f | %.2f |", name.c_str(), w.nr, w.nc, w.radius, entries,
                tEngine / entries * 1e9);
    for (double t : tOthers)
      std::printf(" %.2f |", t / entries * 1e9);
    std::printf(" %.2f | %.1fx | %.2f | %s |\n", tPlain / entries * 1e9, tPlain / tEngine,
                tFloor / entries * 1e9, same ? "yes" : "NO");
    std::fflush(stdout);
  }
  return allIdentical ? 0 : 1;
}
