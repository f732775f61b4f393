// Point mapping through homographies: the rounding of the integer form, the
// float form, the projective divisor, and the two distance functions.
#include "geometry/homography_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <random>

namespace {

cv::Mat Translation(double tx, double ty) {
  return (cv::Mat_<double>(3, 3) << 1, 0, tx, 0, 1, ty, 0, 0, 1);
}

cv::Point MapInt(const cv::Mat& H, int x, int y) {
  cv::Point out;
  ApplyHomography(&out.x, &out.y, x, y, H);
  return out;
}

// A homography near the identity of the kind camera motion produces: a small
// rotation and zoom, a translation and a mild perspective term.
cv::Mat RandomCameraHomography(std::mt19937& rng) {
  std::uniform_real_distribution<double> angle(-0.2, 0.2);
  std::uniform_real_distribution<double> zoom(0.8, 1.25);
  std::uniform_real_distribution<double> shift(-200.0, 200.0);
  std::uniform_real_distribution<double> tilt(-2e-4, 2e-4);
  const double a = angle(rng);
  const double z = zoom(rng);
  return (cv::Mat_<double>(3, 3) << z * std::cos(a), -z * std::sin(a), shift(rng),
          z * std::sin(a), z * std::cos(a), shift(rng), tilt(rng), tilt(rng), 1.0);
}

TEST(ApplyHomographyTest, IdentityMapsEveryPointToItselfInBothForms) {
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  for (int y : {0, 1, 479, 1600}) {
    for (int x : {0, 7, 639, 2560}) {
      EXPECT_EQ(MapInt(I, x, y), cv::Point(x, y));
    }
  }
  const cv::Point2f p(12.375f, 480.5f);
  EXPECT_EQ(ApplyHomography(I, p), p);
}

TEST(ApplyHomographyTest, IntegerFormAddsHalfAndTruncatesTowardZero) {
  EXPECT_EQ(MapInt(Translation(-1.2, 0), 0, 0).x, 0);  // -0.7 truncates to 0
  EXPECT_EQ(MapInt(Translation(-1.5, 0), 0, 0).x, -1);
  EXPECT_EQ(MapInt(Translation(-1.7, 0), 0, 0).x, -1);
  EXPECT_EQ(MapInt(Translation(-2.6, 0), 0, 0).x, -2);
  EXPECT_EQ(MapInt(Translation(0.4999, 0), 0, 0).x, 0);
  EXPECT_EQ(MapInt(Translation(0.5, 0), 0, 0).x, 1);  // half rounds up
  EXPECT_EQ(MapInt(Translation(2.5, 3.5), 0, 0), cv::Point(3, 4));
  EXPECT_EQ(MapInt(Translation(2.5, 3.5), 10, 20), cv::Point(13, 24));
}

TEST(ApplyHomographyTest, FloatFormDoesNotRound) {
  const cv::Point2f q = ApplyHomography(Translation(-1.2, 0), cv::Point2f(0, 0));
  EXPECT_FLOAT_EQ(q.x, -1.2f);
  EXPECT_FLOAT_EQ(q.y, 0.0f);
  const cv::Point2f r = ApplyHomography(Translation(2.5, 3.5), cv::Point2f(1.25f, 2.0f));
  EXPECT_FLOAT_EQ(r.x, 3.75f);
  EXPECT_FLOAT_EQ(r.y, 5.5f);
}

TEST(ApplyHomographyTest, LastRowDividesTheCoordinates) {
  const cv::Mat H = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 2);
  EXPECT_EQ(MapInt(H, 10, 6), cv::Point(5, 3));
  EXPECT_EQ(MapInt(H, 3, 5), cv::Point(2, 3));  // 1.5, 2.5 round half up
  const cv::Point2f q = ApplyHomography(H, cv::Point2f(3, 5));
  EXPECT_FLOAT_EQ(q.x, 1.5f);
  EXPECT_FLOAT_EQ(q.y, 2.5f);
}

TEST(ApplyHomographyTest, ProjectiveDivisorIsRoundedToFloatFirst) {
  // w = 1 + 1e-9 is 1 in float, so X = 0.5 exactly and rounds up to 1; a
  // double divisor would give 0.4999999995 and round to 0.
  const cv::Mat H = (cv::Mat_<double>(3, 3) << 1, 0, -0.5, 0, 1, 0, 0, 0, 1 + 1e-9);
  EXPECT_EQ(MapInt(H, 1, 0).x, 1);
  EXPECT_EQ(ApplyHomography(H, cv::Point2f(1, 0)).x, 0.5f);
}

TEST(ApplyHomographyTest, IntegerFormSaturatesWhatDoesNotFit) {
  const cv::Mat huge = Translation(1e12, -1e12);
  EXPECT_EQ(MapInt(huge, 0, 0), cv::Point(kMappedLimit, -kMappedLimit));

  const cv::Mat vanishing = (cv::Mat_<double>(3, 3) << 1, 0, 1, 0, 1, -1, 0, 0, 0);  // w = 0
  EXPECT_EQ(MapInt(vanishing, 0, 0), cv::Point(kMappedLimit, -kMappedLimit));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const cv::Mat notANumber = (cv::Mat_<double>(3, 3) << nan, 0, 0, 0, 1, 0, 0, 0, 1);
  EXPECT_EQ(MapInt(notANumber, 3, 4), cv::Point(-kMappedLimit, 4));
}

TEST(ApplyHomographyTest, MapThenInverseMapReturnsThePoint) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<float> px(0.0f, 640.0f);
  std::uniform_real_distribution<float> py(0.0f, 480.0f);
  for (int trial = 0; trial < 200; ++trial) {
    const cv::Mat H = RandomCameraHomography(rng);
    const cv::Mat Hinv = H.inv(cv::DECOMP_LU);
    const cv::Point2f p(px(rng), py(rng));
    const cv::Point2f back = ApplyHomography(Hinv, ApplyHomography(H, p));
    // Float outputs and a float divisor: a few thousandths of a pixel.
    EXPECT_NEAR(back.x, p.x, 5e-3) << "trial " << trial;
    EXPECT_NEAR(back.y, p.y, 5e-3) << "trial " << trial;
  }
}

TEST(ApplyHomographyTest, IntegerTranslationRoundTripsWhileCoordinatesStayNonNegative) {
  for (int tx : {0, 1, 250}) {
    for (int ty : {0, 7, 480}) {
      const cv::Mat H = Translation(tx, ty);
      const cv::Mat Hinv = H.inv(cv::DECOMP_LU);
      for (int x : {0, 5, 639}) {
        const cv::Point m = MapInt(H, x, 17);
        EXPECT_EQ(m, cv::Point(x + tx, 17 + ty));
        EXPECT_EQ(MapInt(Hinv, m.x, m.y), cv::Point(x, 17));
      }
    }
  }
}

TEST(ApplyHomographyTest, NegativeIntegerResultsMoveOneTowardZero) {
  // X + 0.5 truncated toward zero: an exact X = -300 becomes -299.
  EXPECT_EQ(MapInt(Translation(-300, -2), 0, 0), cv::Point(-299, -1));
  EXPECT_EQ(MapInt(Translation(-300, -2), 300, 2), cv::Point(0, 0));
  EXPECT_EQ(MapInt(Translation(-1, 0), 0, 0).x, 0);
}

TEST(DistanceTest, ThreeFourFive) {
  EXPECT_EQ(twoPointDistance(cv::Point2f(0, 0), cv::Point2f(3, 4)), 5.0f);
  EXPECT_EQ(twoPointDistance(cv::Point2f(3, 4), cv::Point2f(0, 0)), 5.0f);
  EXPECT_EQ(EuclidianDistance(0, 0, 3, 4), 5.0f);
  EXPECT_EQ(EuclidianDistance(-1, -1, 2, 3), 5.0f);
  EXPECT_EQ(twoPointDistance(cv::Point2f(7, 7), cv::Point2f(7, 7)), 0.0f);
}

}  // namespace
