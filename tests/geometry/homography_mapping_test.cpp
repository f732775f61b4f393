// Point mapping through homographies: the rounding of the integer form, the
// float form, the projective divisor and saturation. (The distances are
// checked through their callers: the corner distance of the reference choice
// and the tracking filters.)
#include "geometry/homography_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

cv::Point MapInt(const cv::Mat& H, int x, int y) {
  cv::Point out;
  ApplyHomography(&out.x, &out.y, x, y, H);
  return out;
}

// Add 0.5 and truncate toward zero: every X in (-1.5, 0.5) gives 0, and an
// exact negative X moves one toward zero.
TEST(ApplyHomographyTest, IntegerFormAddsHalfAndTruncatesTowardZero) {
  const struct {
    double tx, ty;
    int x, y;
    cv::Point expected;
  } cases[] = {
      {-1.2, 0, 0, 0, {0, 0}},      {-1.5, 0, 0, 0, {-1, 0}},        {-1.7, 0, 0, 0, {-1, 0}},
      {-2.6, 0, 0, 0, {-2, 0}},     {0.4999, 0, 0, 0, {0, 0}},       {0.5, 0, 0, 0, {1, 0}},
      {2.5, 3.5, 10, 20, {13, 24}}, {-300, -2, 0, 0, {-299, -1}},    {-300, -2, 300, 2, {0, 0}},
      {-1, 0, 0, 0, {0, 0}},        {0, 0, 2560, 1600, {2560, 1600}}};
  for (const auto& c : cases)
    EXPECT_EQ(MapInt(Translation(c.tx, c.ty), c.x, c.y), c.expected) << c.tx << ", " << c.ty;
}

TEST(ApplyHomographyTest, FloatFormDoesNotRoundAndLastRowDividesAsFloat) {
  EXPECT_EQ(ApplyHomography(Translation(2.5, 3.5), cv::Point2f(1.25f, 2.0f)),
            cv::Point2f(3.75f, 5.5f));
  EXPECT_FLOAT_EQ(ApplyHomography(Translation(-1.2, 0), cv::Point2f(0, 0)).x, -1.2f);
  const cv::Mat halve = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 2);
  EXPECT_EQ(ApplyHomography(halve, cv::Point2f(3, 5)), cv::Point2f(1.5f, 2.5f));
  EXPECT_EQ(MapInt(halve, 3, 5), cv::Point(2, 3));
  EXPECT_EQ(MapInt(halve, 10, 6), cv::Point(5, 3));
  // w = 1 + 1e-9 is 1 in float, so X = 0.5 exactly and rounds up to 1; a
  // double divisor would give 0.4999999995 and 0.
  const cv::Mat nearOne = (cv::Mat_<double>(3, 3) << 1, 0, -0.5, 0, 1, 0, 0, 0, 1 + 1e-9);
  EXPECT_EQ(MapInt(nearOne, 1, 0).x, 1);
  EXPECT_EQ(ApplyHomography(nearOne, cv::Point2f(1, 0)).x, 0.5f);
  // Every element in its place: a general homography as OpenCV maps it.
  const cv::Mat general =
      (cv::Mat_<double>(3, 3) << 1.1, -0.2, 30, 0.15, 0.9, -12, 1e-4, -2e-4, 1.05);
  std::vector<cv::Point2f> mapped;
  cv::perspectiveTransform(std::vector<cv::Point2f>{{100, 50}}, mapped, general);
  EXPECT_LT(cv::norm(ApplyHomography(general, cv::Point2f(100, 50)) - mapped[0]), 1e-3);
}

TEST(ApplyHomographyTest, IntegerFormSaturatesWhatDoesNotFit) {
  EXPECT_EQ(MapInt(Translation(1e12, -1e12), 0, 0), cv::Point(kMappedLimit, -kMappedLimit));
  EXPECT_EQ(MapInt((cv::Mat_<double>(3, 3) << 1, 0, 1, 0, 1, -1, 0, 0, 0), 0, 0),
            cv::Point(kMappedLimit, -kMappedLimit));  // w = 0
  EXPECT_EQ(MapInt((cv::Mat_<double>(3, 3) << std::nan(""), 0, 0, 0, 1, 0, 0, 0, 1), 3, 4),
            cv::Point(-kMappedLimit, 4));
}

}  // namespace
