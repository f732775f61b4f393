// Overlap percentage of a mapped frame outline with the reference outline:
// exact values for valid outlines, NaN (never an exception) for outlines the
// polygon operations cannot take.
#include "geometry/overlap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>

namespace {

using geometry::CalculateOverlapPercentage;
using geometry::OverlapPoint;

constexpr int kWidth = 641;   // W = 640
constexpr int kHeight = 481;  // V = 480

cv::Mat Translation(double tx, double ty) {
  return (cv::Mat_<double>(3, 3) << 1, 0, tx, 0, 1, ty, 0, 0, 1);
}

// The homography taking the frame's four corners to the given points.
cv::Mat CornersTo(cv::Point2f topLeft, cv::Point2f topRight, cv::Point2f bottomRight,
                  cv::Point2f bottomLeft, int width, int height) {
  const float W = static_cast<float>(width - 1);
  const float V = static_cast<float>(height - 1);
  const cv::Point2f from[4] = {{0, 0}, {W, 0}, {W, V}, {0, V}};
  const cv::Point2f to[4] = {topLeft, topRight, bottomRight, bottomLeft};
  return cv::getPerspectiveTransform(from, to);
}

bool IsPercentOrNaN(float v) { return std::isnan(v) || (v >= 0.0f && v <= 100.0f); }

TEST(OverlapPercentageTest, IdentityGivesOneHundred) {
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_EQ(CalculateOverlapPercentage(I, kWidth, kHeight), 100.0f);
  EXPECT_EQ(CalculateOverlapPercentage(I, 1920, 1080), 100.0f);
  EXPECT_EQ(CalculateOverlapPercentage(I, 2, 2), 100.0f);
}

TEST(OverlapPercentageTest, HalfFrameShiftGivesOneThird) {
  // Intersection 320 x 480, union 960 x 480.
  const float expected = 100.0f * (153600.0f / 460800.0f);
  EXPECT_EQ(CalculateOverlapPercentage(Translation(320, 0), kWidth, kHeight), expected);
  EXPECT_NEAR(expected, 33.3333f, 1e-3f);
  // Leftwards the left corners land at -320 + 0.5, truncated to -319.
  const float leftwards = 100.0f * (320.0f * 480.0f / (959.0f * 480.0f));
  EXPECT_EQ(CalculateOverlapPercentage(Translation(-320, 0), kWidth, kHeight), leftwards);
}

// The integer corner rounding: add 0.5, truncate toward zero.
double RoundCorner(double v) { return std::trunc(v + 0.5); }

TEST(OverlapPercentageTest, TranslationsMatchTheRectangleFormula) {
  const double W = kWidth - 1;
  const double V = kHeight - 1;
  for (double dx : {-600.0, -250.0, -1.4, -1.0, 0.0, 3.0, 100.7, 639.0}) {
    for (double dy : {-479.0, -30.2, 0.0, 1.0, 200.0}) {
      const double left = RoundCorner(dx);
      const double right = RoundCorner(W + dx);
      const double top = RoundCorner(dy);
      const double bottom = RoundCorner(V + dy);
      const double i = (std::min(W, right) - std::max(0.0, left)) *
                       (std::min(V, bottom) - std::max(0.0, top));
      const double u = W * V + (right - left) * (bottom - top) - i;
      const float got = CalculateOverlapPercentage(Translation(dx, dy), kWidth, kHeight);
      EXPECT_NEAR(got, 100.0 * i / u, 1e-4) << dx << ", " << dy;
    }
  }
}

TEST(OverlapPercentageTest, NoOverlapGivesZero) {
  EXPECT_EQ(CalculateOverlapPercentage(Translation(641, 0), kWidth, kHeight), 0.0f);
  EXPECT_EQ(CalculateOverlapPercentage(Translation(5000, -3000), kWidth, kHeight), 0.0f);
  // Touching along the edge x = W shares no area.
  EXPECT_EQ(CalculateOverlapPercentage(Translation(640, 0), kWidth, kHeight), 0.0f);
  EXPECT_EQ(CalculateOverlapPercentage(Translation(0, -480), kWidth, kHeight), 0.0f);
}

TEST(OverlapPercentageTest, CornersAreRoundedBeforeThePolygonsAreBuilt) {
  EXPECT_EQ(CalculateOverlapPercentage(Translation(0.4, 0.4), kWidth, kHeight), 100.0f);
  // Left corners at -1.4 round to 0, right ones to 639.
  const float leftwards = 100.0f * (639.0f * 480.0f / (640.0f * 480.0f));
  EXPECT_EQ(CalculateOverlapPercentage(Translation(-1.4, 0), kWidth, kHeight), leftwards);
  // 0.6 rounds to a one-pixel shift.
  const float onePixel = 100.0f * (639.0f * 480.0f / (641.0f * 480.0f));
  EXPECT_EQ(CalculateOverlapPercentage(Translation(0.6, 0), kWidth, kHeight), onePixel);
}

TEST(OverlapPercentageTest, ContainedFrameGivesAreaRatio) {
  // Scale by one half about the origin: the tested outline is 320 x 240.
  const cv::Mat half = (cv::Mat_<double>(3, 3) << 0.5, 0, 0, 0, 0.5, 0, 0, 0, 1);
  EXPECT_EQ(CalculateOverlapPercentage(half, kWidth, kHeight), 25.0f);
  // And the other way round: the reference lies inside the tested outline.
  const cv::Mat twice = (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1);
  EXPECT_EQ(CalculateOverlapPercentage(twice, kWidth, kHeight), 25.0f);
}

TEST(OverlapPercentageTest, HalfTurnKeepsTheOutlineAndItsOrientation) {
  const cv::Mat halfTurn =
      (cv::Mat_<double>(3, 3) << -1, 0, kWidth - 1, 0, -1, kHeight - 1, 0, 0, 1);
  EXPECT_EQ(CalculateOverlapPercentage(halfTurn, kWidth, kHeight), 100.0f);
}

TEST(OverlapPolygonTest, ReferenceAreaIsWidthMinusOneTimesHeightMinusOne) {
  const double W = kWidth - 1;
  const double V = kHeight - 1;
  const auto reference = geometry::setPolygon({OverlapPoint(0, V), OverlapPoint(W, V),
                                               OverlapPoint(W, 0), OverlapPoint(0, 0),
                                               OverlapPoint(0, V)});
  EXPECT_EQ(reference.outer().size(), 5u);  // kept exactly as given
  EXPECT_EQ(geometry::getUnionArea(reference, reference), 640.0f * 480.0f);
  EXPECT_EQ(geometry::getIntersectionArea(reference, reference), 640.0f * 480.0f);
}

TEST(OverlapPolygonTest, AreasSumEveryResultPolygon) {
  auto square = [](double x, double y, double side) {
    return geometry::setPolygon({OverlapPoint(x, y + side), OverlapPoint(x + side, y + side),
                                 OverlapPoint(x + side, y), OverlapPoint(x, y),
                                 OverlapPoint(x, y + side)});
  };
  // Disjoint: the union has two polygons, the intersection none.
  EXPECT_EQ(geometry::getUnionArea(square(0, 0, 10), square(20, 0, 5)), 125.0f);
  EXPECT_EQ(geometry::getIntersectionArea(square(0, 0, 10), square(20, 0, 5)), 0.0f);
  // Overlapping by a 5 x 5 corner.
  EXPECT_EQ(geometry::getUnionArea(square(0, 0, 10), square(5, 5, 10)), 175.0f);
  EXPECT_EQ(geometry::getIntersectionArea(square(0, 0, 10), square(5, 5, 10)), 25.0f);
}

TEST(OverlapPolygonTest, PercentageIsIntersectionOverUnion) {
  EXPECT_EQ(geometry::getPercentage(200.0f, 50.0f), 25.0f);
  EXPECT_EQ(geometry::getPercentage(460800.0f, 153600.0f), 100.0f * (153600.0f / 460800.0f));
  EXPECT_TRUE(std::isnan(geometry::getPercentage(0.0f, 0.0f)));
}

// Outlines the polygon operations cannot take give NaN: the caller then makes
// the frame a key frame and the tree's determinant test decides.
TEST(OverlapPercentageTest, MirroredOutlineGivesNaN) {
  const cv::Mat mirrorX = (cv::Mat_<double>(3, 3) << -1, 0, kWidth - 1, 0, 1, 0, 0, 0, 1);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(mirrorX, kWidth, kHeight)));
  const cv::Mat mirrorY = (cv::Mat_<double>(3, 3) << 1, 0, 100, 0, -1, kHeight - 1, 0, 0, 1);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(mirrorY, kWidth, kHeight)));
}

TEST(OverlapPercentageTest, SelfIntersectingOutlineGivesNaN) {
  // Right-hand corners swapped: a bow tie.
  const cv::Mat bowTie = CornersTo({0, 0}, {640, 480}, {640, 0}, {0, 480}, kWidth, kHeight);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(bowTie, kWidth, kHeight)));
  // The horizon x = 320 crosses the frame: two corners go behind the camera.
  const cv::Mat horizon = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, -1.0 / 320, 0, 1);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(horizon, kWidth, kHeight)));
}

TEST(OverlapPercentageTest, CollapsedOutlineGivesNaN) {
  const cv::Mat zero = cv::Mat::zeros(3, 3, CV_64F);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(zero, kWidth, kHeight)));
  const cv::Mat toLine = (cv::Mat_<double>(3, 3) << 1, 0, 0, 1, 0, 0, 0, 0, 1);  // y = x
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(toLine, kWidth, kHeight)));
  const cv::Mat toPoint = (cv::Mat_<double>(3, 3) << 0, 0, 5, 0, 0, 5, 0, 0, 1);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(toPoint, kWidth, kHeight)));
  // Shrunk below half a pixel: every corner rounds to the same point.
  const cv::Mat tiny = (cv::Mat_<double>(3, 3) << 1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(tiny, kWidth, kHeight)));
}

TEST(OverlapPercentageTest, DegenerateFrameGivesNaN) {
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(I, 1, 1)));  // zero union
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(I, 1, 100)));
}

TEST(OverlapPercentageTest, NonFiniteHomographiesGiveNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {nan, inf, -inf}) {
    for (int entry = 0; entry < 9; ++entry) {
      cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
      H.at<double>(entry / 3, entry % 3) = bad;
      float got = 0.0f;
      EXPECT_NO_THROW(got = CalculateOverlapPercentage(H, kWidth, kHeight));
      EXPECT_TRUE(IsPercentOrNaN(got)) << bad << " at " << entry << " gives " << got;
    }
    cv::Mat all(3, 3, CV_64F, cv::Scalar(bad));
    EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(all, kWidth, kHeight)));
  }
}

TEST(OverlapPercentageTest, HugeCornersSaturateAndStayInRange) {
  // Corners beyond the int range saturate: the outline still contains the
  // reference, so the overlap is tiny but well defined.
  const cv::Mat huge = (cv::Mat_<double>(3, 3) << 1e8, 0, -3e10, 0, 1e8, -3e10, 0, 0, 1);
  const float got = CalculateOverlapPercentage(huge, kWidth, kHeight);
  EXPECT_GT(got, 0.0f);
  EXPECT_LT(got, 1e-6f);
  // Far away and collapsed by saturation onto one point.
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(Translation(1e15, 1e15), kWidth, kHeight)));
}

TEST(OverlapPercentageTest, RandomHomographiesGiveAPercentOrNaNAndNeverThrow) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> linear(-3.0, 3.0);
  std::uniform_real_distribution<double> shift(-2000.0, 2000.0);
  std::uniform_real_distribution<double> perspective(-0.01, 0.01);
  int numbers = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const cv::Mat H = (cv::Mat_<double>(3, 3) << linear(rng), linear(rng), shift(rng),
                       linear(rng), linear(rng), shift(rng), perspective(rng),
                       perspective(rng), 1.0);
    float got = 0.0f;
    ASSERT_NO_THROW(got = CalculateOverlapPercentage(H, kWidth, kHeight)) << H;
    ASSERT_TRUE(IsPercentOrNaN(got)) << H << " gives " << got;
    if (!std::isnan(got)) ++numbers;
  }
  EXPECT_GT(numbers, 100);  // the valid outlines are measured, not all refused
}

TEST(OverlapPercentageTest, CameraLikeMotionIsAlwaysMeasured) {
  // Small rotations, zooms and tilts keep the outline a convex clockwise
  // quadrilateral: never NaN.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> angle(-0.3, 0.3);
  std::uniform_real_distribution<double> zoom(0.7, 1.4);
  std::uniform_real_distribution<double> shift(-400.0, 400.0);
  std::uniform_real_distribution<double> tilt(-3e-4, 3e-4);
  for (int trial = 0; trial < 500; ++trial) {
    const double a = angle(rng);
    const double z = zoom(rng);
    const cv::Mat H = (cv::Mat_<double>(3, 3) << z * std::cos(a), -z * std::sin(a), shift(rng),
                       z * std::sin(a), z * std::cos(a), shift(rng), tilt(rng), tilt(rng), 1);
    const float got = CalculateOverlapPercentage(H, kWidth, kHeight);
    ASSERT_FALSE(std::isnan(got)) << H;
    ASSERT_GE(got, 0.0f);
    ASSERT_LE(got, 100.0f);
  }
}

}  // namespace
