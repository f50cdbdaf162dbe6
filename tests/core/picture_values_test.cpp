// Pictures read as their values: one photograph held in any range gives the same values, and
// every refusal names its fault.
#include "segment/picture_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace seg = quorvane::segment;

TEST(PictureValues, EveryRangeOfOnePhotographGivesTheSameValues) {
  const std::vector<double> eight = {0, 51, 255, 102, 204, 153};  // 2 x 3, grey
  std::vector<double> unit, sixteen;
  for (double v : eight) {
    unit.push_back(v / 255);
    sixteen.push_back(v * 257);
  }
  const seg::PictureValues a = seg::pictureValues(2, 3, 1, eight.data());
  for (const auto* other : {&unit, &sixteen}) {
    const seg::PictureValues b = seg::pictureValues(2, 3, 1, other->data());
    ASSERT_EQ(b.fault, seg::PictureFault::kNone);
    EXPECT_EQ(b.values, a.values);
  }
  // Beyond 16 bits: relative to the largest magnitude.
  const std::vector<double> huge = {-2e300, 1e300, 0, 4e300};
  EXPECT_EQ(seg::pictureValues(2, 2, 1, huge.data()).values,
            (std::vector<double>{-0.5, 0.25, 0, 1}));
}

TEST(PictureValues, AlphaGoesAndEqualChannelsAreGrey) {
  // 2 x 2 RGBA, colour in the first pixel only.
  const std::vector<double> rgba = {1, 0, 0, 9, 0, 0, 0, 9, 1, 1, 1, 9, 0, 0, 0, 9};
  const seg::PictureValues colour = seg::pictureValues(2, 2, 4, rgba.data());
  EXPECT_EQ(colour.channels, 3);
  EXPECT_EQ(colour.values.size(), 12u);
  EXPECT_EQ(colour.values[3], 0.0);  // the second pixel's red, no alpha between
  const std::vector<double> grey = {1, 1, 1, 0, 0, 0, 1, 1, 1, 0.5, 0.5, 0.5};
  const seg::PictureValues g = seg::pictureValues(2, 2, 3, grey.data());
  EXPECT_EQ(g.channels, 1);
  EXPECT_EQ(g.values, (std::vector<double>{1, 0, 1, 0.5}));
}

TEST(PictureValues, RefusalsNameTheirFault) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> four = {0, 1, nan, nan}, infinite = {0, inf, 1, 1}, flat = {3, 3, 3, 3},
                            greyInf = {inf, inf, inf, 0, 0, 0, 1, 1, 1, 0, 0, 0};
  struct Case {
    seg::PictureValues picture;
    const char* message;
  } cases[] = {
      {seg::pictureValues(1, 4, 1, four.data()),
       "the picture shall be at least 2 x 2 pixels, got 1 x 4"},
      {seg::pictureValues(2, 2, 1, four.data()), "the picture holds 2 NaN values"},
      {seg::pictureValues(2, 2, 1, infinite.data()), "the picture holds 1 infinite values"},
      // Counted in every channel, as the picture holds them.
      {seg::pictureValues(2, 2, 3, greyInf.data()), "the picture holds 3 infinite values"},
      {seg::pictureValues(2, 2, 1, flat.data()),
       "the picture is constant: it has no edges to segment by"},
      {seg::pictureValues(2, 2, 2, flat.data()),
       "the picture shall have 1, 3 or 4 channels, got 2"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(c.picture.fault, seg::PictureFault::kNone) << c.message;
    EXPECT_EQ(seg::pictureMessage(c.picture), c.message);
    EXPECT_TRUE(c.picture.values.empty());
  }
}
