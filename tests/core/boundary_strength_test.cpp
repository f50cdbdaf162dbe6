#include "segment/boundary_strength.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "segment/array_reductions.h"
#include "segment/gaussian_filter.h"
#include "thread_workers.h"

namespace {

using quorvane::segment::boundaryStrength;
using quorvane::segment::ridgeCrests;

constexpr double kPi = 3.141592653589793;

// Holders of shares, a thread each, whose exchanges meet as processes' collectives do: each
// puts its part down, all wait for all, each takes the whole, all wait again.
class Meeting {
 public:
  explicit Meeting(int holders) : holders_(holders), counts_(holders), tiles_(holders) {}

  quorvane::segment::BandExchange of(int holder) {
    return {[this, holder](std::vector<std::int64_t>& counts) {
              counts_[holder] = counts;
              wait();
              counts.assign(counts.size(), 0);
              for (const auto& part : counts_) {
                for (std::size_t i = 0; i < counts.size(); ++i)
                  counts[i] += part[i];
              }
              wait();
            },
            [this, holder](std::vector<double>& tiles) {
              tiles_[holder] = tiles;
              wait();
              tiles.clear();
              for (const auto& part : tiles_)
                tiles.insert(tiles.end(), part.begin(), part.end());
              wait();
            }};
  }

  // Runs body(holder, exchange) for every holder on a thread of its own.
  template <typename Body>
  void run(const Body& body) {
    std::vector<std::thread> threads;
    for (int h = 0; h < holders_; ++h)
      threads.emplace_back([&, h] { body(h, of(h)); });
    for (auto& thread : threads)
      thread.join();
  }

 private:
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const long round = round_;
    if (++arrived_ == holders_) {
      arrived_ = 0;
      ++round_;
      woken_.notify_all();
    } else {
      woken_.wait(lock, [&] { return round_ != round; });
    }
  }

  int holders_;
  std::vector<std::vector<std::int64_t>> counts_;
  std::vector<std::vector<double>> tiles_;
  std::mutex mutex_;
  std::condition_variable woken_;
  int arrived_ = 0;
  long round_ = 0;
};

std::vector<double> randomPicture(std::int64_t values, std::uint64_t state) {
  std::vector<double> picture(static_cast<std::size_t>(values));
  for (double& v : picture) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    v = static_cast<double>(state >> 11) * 0x1p-53;
  }
  return picture;
}

TEST(GaussianFilter, KernelsSumToOneAndTheDerivativeToMinusOneTimesTheOffset) {
  for (const double scale : {1.0, 2.0, 4.0, 1.3}) {
    const auto kernel = quorvane::segment::gaussianKernel(scale);
    EXPECT_EQ(kernel.radius, static_cast<std::int64_t>(4 * scale + 0.5));
    double sum = kernel.gaussian[0], moment = 0.0;
    for (std::int64_t j = 1; j <= kernel.radius; ++j) {
      sum += 2 * kernel.gaussian[j];
      moment += 2 * j * kernel.derivative[j];  // the weights at +j and -j, times +j and -j
    }
    EXPECT_NEAR(sum, 1.0, 1e-15) << scale;
    // A correlation with the derivative of a ramp x gives its slope: sum_x w(x) x = 1 up to
    // the truncated tails.
    EXPECT_NEAR(-moment, 1.0, 1e-3) << scale;
  }
}

TEST(GaussianFilter, TheDerivativeOfARampIsItsSlopeInTheInterior) {
  const std::int64_t rows = 40, columns = 50;
  std::vector<double> ramp(rows * columns), across(ramp.size()), along(ramp.size());
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < columns; ++c)
      ramp[r * columns + c] = 0.25 * r - 0.5 * c;
  }
  quorvane::segment::gaussianGradient(rows, columns, ramp.data(), 2.0, across.data(), along.data());
  const auto kernel = quorvane::segment::gaussianKernel(2.0);
  double moment = 0.0;  // the truncated kernel's slope of a unit ramp
  for (std::int64_t j = 1; j <= kernel.radius; ++j)
    moment -= 2 * j * kernel.derivative[j];
  for (std::int64_t r = kernel.radius; r < rows - kernel.radius; ++r) {
    for (std::int64_t c = kernel.radius; c < columns - kernel.radius; ++c) {
      EXPECT_NEAR(across[r * columns + c], 0.25 * moment, 1e-14);
      EXPECT_NEAR(along[r * columns + c], -0.5 * moment, 1e-14);
    }
  }
  // At the edges the picture continues flat: the slope falls off there.
  EXPECT_LT(std::fabs(across[0]), 0.25 * moment * 0.9);
}

TEST(ArrayReductions, QuantilesAndMediansAsNumpyGivesThem) {
  const std::vector<double> values = {5.0, -1.0, 3.0, 3.0, 10.0, 0.5, 7.0, -0.0};
  using quorvane::segment::linearQuantile;
  using quorvane::segment::median;
  // What np.quantile(values, q) and np.median(values) give; the last bits of the two
  // interpolations, from below and from above, are numpy's.
  EXPECT_EQ(linearQuantile(values, 0.0), -1.0);
  EXPECT_EQ(linearQuantile(values, 1.0), 10.0);
  EXPECT_EQ(linearQuantile(values, 0.1), -0.29999999999999993);
  EXPECT_EQ(linearQuantile(values, 0.9), 7.8999999999999995);
  EXPECT_EQ(median(values), 3.0);
  EXPECT_EQ(median({4.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(median({2.0}), 2.0);
  // Selection through the keys' buckets: values far apart and within one bucket.
  std::vector<double> many;
  for (int k = 0; k < 1001; ++k)
    many.push_back(k % 2 ? 1.0 + k * 1e-12 : std::ldexp(1.0, k % 40 - 20));
  std::vector<double> sorted = many;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(median(many), sorted[500]);
  EXPECT_EQ(linearQuantile(many, 0.5), sorted[500]);
  // Shared out unevenly (one holder empty), as the values or their magnitudes: the same bits.
  const std::vector<double>* wholes[] = {&values, &many};
  for (const std::vector<double>* whole : wholes) {
    for (const bool magnitude : {false, true}) {
      std::vector<double> taken = *whole;
      if (magnitude) {
        for (double& v : taken)
          v = std::fabs(v);
      }
      const std::int64_t n = static_cast<std::int64_t>(whole->size());
      const std::int64_t cuts[] = {0, n / 5, n / 5, n};
      Meeting meeting(3);
      meeting.run([&](int h, const quorvane::segment::BandExchange& exchange) {
        const std::vector<quorvane::segment::ValueSpan> share = {
            {whole->data() + cuts[h], cuts[h + 1] - cuts[h], magnitude}};
        for (const double q : {0.0, 0.1, 0.005, 0.5, 0.9, 0.995, 1.0})
          EXPECT_EQ(linearQuantile(share, q, exchange.addUp), linearQuantile(taken, q)) << q;
        EXPECT_EQ(median(share, exchange.addUp), median(taken));
      });
    }
  }
}

TEST(ArrayReductions, PairwiseSumsInNumpysOrder) {
  using quorvane::segment::pairwiseSum;
  // 1e16 and ones: each one added to 1e16 alone is lost, so the order of the additions shows.
  // The sums are numpy's (np.sum) of the same values.
  std::vector<double> v(300, 1.0);
  v[0] = 1e16;
  EXPECT_EQ(pairwiseSum(v.data(), 7), 1e16);                    // one after the other
  EXPECT_EQ(pairwiseSum(v.data(), 9), 1.0000000000000008e16);   // eight partial sums
  EXPECT_EQ(pairwiseSum(v.data(), 17), 1.0000000000000016e16);  // ... over two rounds
  v[136] = 1e16;
  EXPECT_EQ(pairwiseSum(v.data(), 300), 2.000000000000029e16);  // halves split at 136
}

TEST(BoundaryStrength, AConstantPictureHasNoStrength) {
  for (const int channels : {1, 3}) {
    const std::vector<double> flat(20 * 30 * channels, 0.4);
    const auto image = boundaryStrength(20, 30, channels, flat.data(), 1.0);
    for (std::size_t p = 0; p < image.strength.size(); ++p) {
      ASSERT_EQ(image.strength[p], 0.0) << p;
      ASSERT_EQ(image.orientation[p], 0.0) << p;
    }
  }
}

TEST(BoundaryStrength, AVerticalStepHasItsCrestOnTheStepsColumns) {
  const std::int64_t rows = 24, columns = 40;
  std::vector<double> step(rows * columns);
  for (std::int64_t p = 0; p < rows * columns; ++p)
    step[p] = p % columns >= 20 ? 0.8 : 0.2;
  const auto image = boundaryStrength(rows, columns, 1, step.data(), 1.0);
  std::vector<double> crests(step.size());
  ridgeCrests(rows, columns, image.strength.data(), image.orientation.data(), crests.data());
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < columns; ++c) {
      const std::int64_t p = r * columns + c;
      // The strength is symmetric about the step, between columns 19 and 20.
      EXPECT_EQ(crests[p] > 0, c == 19 || c == 20) << r << ", " << c;
      if (c == 19 || c == 20) {
        EXPECT_TRUE(image.orientation[p] == 0.0 || std::fabs(image.orientation[p]) == kPi / 2 ||
                    std::fabs(std::fabs(image.orientation[p]) - kPi) < 1e-15)
            << image.orientation[p];
        EXPECT_EQ(image.strength[p], image.strength[r * columns + 19]);
      }
    }
  }
}

TEST(RidgeCrests, NeighboursAcrossTheRoundedOrientationDecide) {
  // A 3 x 3 strength with its centre 2 and one neighbour 3: the centre is a crest for every
  // orientation but those that round to the direction of that neighbour.
  const std::int64_t ahead[4] = {5, 8, 7, 6};  // (0, 1), (1, 1), (1, 0), (1, -1) from 4
  // k pi / 8 rounded to a direction, halves to even as numpy rounds (3.5 to 4, which is 0).
  const int rounded[8] = {0, 0, 1, 2, 2, 2, 3, 0};
  for (int blocked = 0; blocked < 4; ++blocked) {
    std::vector<double> strength(9, 1.0), crests(9);
    strength[4] = 2.0;
    strength[ahead[blocked]] = 3.0;
    for (int k = -8; k <= 8; ++k) {
      const std::vector<double> orientation(9, k * kPi / 8);
      ridgeCrests(3, 3, strength.data(), orientation.data(), crests.data());
      EXPECT_EQ(crests[4] > 0, rounded[(k + 8) % 8] != blocked) << blocked << ", " << k;
      EXPECT_EQ(crests[ahead[blocked]], 3.0);  // at the edge, its own continuation ties
    }
  }
}

TEST(BoundaryStrength, TheSameBitsOnAnyNumberOfThreads) {
  const std::int64_t rows = 37, columns = 53;
  const std::vector<double> picture = randomPicture(rows * columns * 3, 7);
  const auto alone = boundaryStrength(rows, columns, 3, picture.data(), 1.0);
  std::vector<double> crestsAlone(rows * columns), crests(rows * columns);
  ridgeCrests(rows, columns, alone.strength.data(), alone.orientation.data(), crestsAlone.data());
  for (const int threads : {2, 3, 5, 64}) {
    const auto workers = quorvane::threadWorkers(threads);
    const auto shared = boundaryStrength(rows, columns, 3, picture.data(), 1.0, workers);
    EXPECT_EQ(shared.strength, alone.strength) << threads;
    EXPECT_EQ(shared.orientation, alone.orientation) << threads;
    ridgeCrests(rows, columns, alone.strength.data(), alone.orientation.data(), crests.data(),
                workers);
    EXPECT_EQ(crests, crestsAlone) << threads;
  }
}

// Bands measured by holders of their own give the whole's rows, also when some are empty
// (more bands than rows of noise tiles) and when the tiles span the picture's width.
TEST(BoundaryStrength, BandsOfRowsOnThreadsGiveTheWholesRows) {
  for (const auto& shape : {std::tuple{37, 53, 3}, std::tuple{70, 6, 1}, std::tuple{9, 40, 1}}) {
    // Plain names, not structured bindings, which lambdas cannot capture before C++20.
    const std::int64_t rows = std::get<0>(shape), columns = std::get<1>(shape);
    const int channels = std::get<2>(shape);
    const std::vector<double> picture = randomPicture(rows * columns * channels, rows);
    const auto whole = boundaryStrength(rows, columns, channels, picture.data(), 1.5);
    std::vector<double> crests(whole.strength.size());
    ridgeCrests(rows, columns, whole.strength.data(), whole.orientation.data(), crests.data());
    for (const int bands : {1, 2, 3, 12}) {
      const auto spans = quorvane::segment::strengthBands(rows, columns, bands);
      ASSERT_EQ(spans.front().first, 0);
      ASSERT_EQ(spans.back().last, rows);
      Meeting meeting(bands);
      meeting.run([&](int b, const quorvane::segment::BandExchange& exchange) {
        const auto band = spans[b];
        // Some bands share their own work among workers too.
        const auto part =
            quorvane::segment::bandStrength(rows, columns, channels, picture.data(), 1.5, band,
                                            exchange, quorvane::threadWorkers(b % 2 == 0 ? 1 : 2));
        const auto from = band.first * columns, to = band.last * columns;
        EXPECT_EQ(part.strength,
                  std::vector<double>(whole.strength.begin() + from, whole.strength.begin() + to))
            << rows << " x " << columns << ", band " << b << " of " << bands;
        EXPECT_EQ(part.crests, std::vector<double>(crests.begin() + from, crests.begin() + to));
      });
    }
  }
  const quorvane::segment::BandExchange alone{[](auto&) {}, [](auto&) {}};
  const std::vector<double> picture(40 * 40, 0.5);
  EXPECT_THROW(quorvane::segment::bandStrength(40, 40, 1, picture.data(), 1.0, {3, 40}, alone),
               std::invalid_argument);
  // Counts that are not the values' (an exchange that loses them) are refused, not read past.
  const quorvane::segment::BandExchange losing{
      [](auto& counts) { counts.assign(counts.size(), 0); }, [](auto&) {}};
  EXPECT_THROW(quorvane::segment::bandStrength(40, 40, 1, picture.data(), 1.0, {0, 40}, losing),
               std::invalid_argument);
}

}  // namespace
