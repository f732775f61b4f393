// Overlap percentage of a mapped frame outline with the reference outline:
// exact values for valid outlines, NaN (never an exception) for outlines the
// polygon operations cannot take.
#include "geometry/overlap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>

#include "tests/support/test_support.hpp"

namespace {

using geometry::CalculateOverlapPercentage;
using geometry::OverlapPoint;
using testsupport::Translation;

constexpr int kWidth = 641;   // W = 640
constexpr int kHeight = 481;  // V = 480

bool IsPercentOrNaN(float v) { return std::isnan(v) || (v >= 0.0f && v <= 100.0f); }

cv::Mat Matrix(std::initializer_list<double> v) { return cv::Mat(std::vector<double>(v), true).reshape(1, 3); }

// Translated outlines have rectangular intersections: corners rounded (add
// 0.5, truncate toward zero), then intersection over union of the boxes.
TEST(OverlapPercentageTest, TranslationsMatchTheRectangleFormula) {
  const double W = kWidth - 1, V = kHeight - 1;
  const auto round = [](double v) { return std::trunc(v + 0.5); };
  for (double dx : {-600.0, -320.0, -250.0, -1.4, -1.0, 0.0, 0.4, 0.6, 3.0, 100.7, 320.0, 639.0,
                    640.0, 641.0, 5000.0}) {
    for (double dy : {-480.0, -479.0, -30.2, 0.0, 0.4, 1.0, 200.0}) {
      const double left = round(dx), right = round(W + dx), top = round(dy), bottom = round(V + dy);
      const double i = std::max(0.0, std::min(W, right) - std::max(0.0, left)) *
                       std::max(0.0, std::min(V, bottom) - std::max(0.0, top));
      const double u = W * V + (right - left) * (bottom - top) - i;
      EXPECT_NEAR(CalculateOverlapPercentage(Translation(dx, dy), kWidth, kHeight), 100.0 * i / u,
                  1e-4)
          << dx << ", " << dy;
    }
  }
  EXPECT_EQ(CalculateOverlapPercentage(Translation(320, 0), kWidth, kHeight),
            100.0f * (153600.0f / 460800.0f));
}

TEST(OverlapPercentageTest, IdentityHalfTurnScaledAndSaturatedOutlines) {
  for (const cv::Size s : {cv::Size(kWidth, kHeight), cv::Size(1920, 1080), cv::Size(2, 2)}) {
    EXPECT_EQ(CalculateOverlapPercentage(cv::Mat::eye(3, 3, CV_64F), s.width, s.height), 100.0f) << s;
  }
  const cv::Mat halfTurn = Matrix({-1, 0, kWidth - 1, 0, -1, kHeight - 1, 0, 0, 1});
  EXPECT_EQ(CalculateOverlapPercentage(halfTurn, kWidth, kHeight), 100.0f);
  // Contained either way: the area ratio.
  EXPECT_EQ(CalculateOverlapPercentage(Matrix({0.5, 0, 0, 0, 0.5, 0, 0, 0, 1}), kWidth, kHeight), 25.0f);
  EXPECT_EQ(CalculateOverlapPercentage(Matrix({2, 0, 0, 0, 2, 0, 0, 0, 1}), kWidth, kHeight), 25.0f);
  // Corners beyond the int range saturate: the outline still contains the
  // reference, so the overlap is tiny but defined.
  const float huge = CalculateOverlapPercentage(Matrix({1e8, 0, -3e10, 0, 1e8, -3e10, 0, 0, 1}), kWidth, kHeight);
  EXPECT_TRUE(huge > 0.0f && huge < 1e-6f) << huge;
}

TEST(OverlapPolygonTest, AreasAndPercentage) {
  auto square = [](double x, double y, double side) {
    return geometry::setPolygon({OverlapPoint(x, y + side), OverlapPoint(x + side, y + side),
                                 OverlapPoint(x + side, y), OverlapPoint(x, y),
                                 OverlapPoint(x, y + side)});
  };
  EXPECT_EQ(square(0, 0, 10).outer().size(), 5u);  // kept exactly as given
  EXPECT_EQ(geometry::getUnionArea(square(0, 0, 10), square(20, 0, 5)), 125.0f);  // two polygons
  EXPECT_EQ(geometry::getIntersectionArea(square(0, 0, 10), square(20, 0, 5)), 0.0f);
  EXPECT_EQ(geometry::getUnionArea(square(0, 0, 10), square(5, 5, 10)), 175.0f);
  EXPECT_EQ(geometry::getIntersectionArea(square(0, 0, 10), square(5, 5, 10)), 25.0f);
  EXPECT_EQ(geometry::getPercentage(200.0f, 50.0f), 25.0f);
  EXPECT_TRUE(std::isnan(geometry::getPercentage(0.0f, 0.0f)));
}

// Outlines the polygon operations cannot take give NaN: the caller then makes
// the frame a key frame and the tree's determinant test decides.
TEST(OverlapPercentageTest, UnmeasurableOutlinesGiveNaN) {
  const cv::Point2f from[4] = {{0, 0}, {640, 0}, {640, 480}, {0, 480}};
  const cv::Point2f bowTie[4] = {{0, 0}, {640, 480}, {640, 0}, {0, 480}};
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  const std::pair<const char*, cv::Mat> cases[] = {
      {"mirror x", Matrix({-1, 0, kWidth - 1, 0, 1, 0, 0, 0, 1})},
      {"mirror y", Matrix({1, 0, 100, 0, -1, kHeight - 1, 0, 0, 1})},
      {"bow tie", cv::getPerspectiveTransform(from, bowTie)},
      {"horizon across", Matrix({1, 0, 0, 0, 1, 0, -1.0 / 320, 0, 1})},
      {"zero", cv::Mat::zeros(3, 3, CV_64F)},
      {"onto a line", Matrix({1, 0, 0, 1, 0, 0, 0, 0, 1})},
      {"onto a point", Matrix({0, 0, 5, 0, 0, 5, 0, 0, 1})},
      {"below half a pixel", Matrix({1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1})},
      {"saturated far away", Translation(1e15, 1e15)}};
  for (const auto& [name, H] : cases) EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(H, kWidth, kHeight))) << name;
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(I, 1, 1)));  // frames without area
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(I, 1, 100)));
}

TEST(OverlapPercentageTest, NonFiniteEntriesNeverThrow) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL}) {
    for (int entry = 0; entry < 9; ++entry) {
      cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
      H.at<double>(entry / 3, entry % 3) = bad;
      float got = 0.0f;
      EXPECT_NO_THROW(got = CalculateOverlapPercentage(H, kWidth, kHeight));
      EXPECT_TRUE(IsPercentOrNaN(got)) << bad << " at " << entry << " gives " << got;
    }
    EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(cv::Mat(3, 3, CV_64F, cv::Scalar(bad)), kWidth, kHeight)));
  }
}

// Property over seeded random homographies: a percentage or NaN, never an
// exception; camera-like motion (small rotation, zoom, tilt) is always measured.
TEST(OverlapPercentageTest, RandomHomographiesGiveAPercentOrNaN) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> linear(-3, 3), shift(-2000, 2000), perspective(-0.01, 0.01),
      angle(-0.3, 0.3), zoom(0.7, 1.4), smallShift(-400, 400), tilt(-3e-4, 3e-4);
  int numbers = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const cv::Mat H = Matrix({linear(rng), linear(rng), shift(rng), linear(rng), linear(rng),
                              shift(rng), perspective(rng), perspective(rng), 1.0});
    float got = 0.0f;
    ASSERT_NO_THROW(got = CalculateOverlapPercentage(H, kWidth, kHeight)) << H;
    ASSERT_TRUE(IsPercentOrNaN(got)) << H << " gives " << got;
    numbers += std::isnan(got) ? 0 : 1;
  }
  EXPECT_GT(numbers, 100);  // the valid outlines are measured, not all refused
  for (int trial = 0; trial < 500; ++trial) {
    const double a = angle(rng), z = zoom(rng);
    const cv::Mat H = Matrix({z * std::cos(a), -z * std::sin(a), smallShift(rng), z * std::sin(a),
                              z * std::cos(a), smallShift(rng), tilt(rng), tilt(rng), 1});
    const float got = CalculateOverlapPercentage(H, kWidth, kHeight);
    ASSERT_TRUE(got >= 0.0f && got <= 100.0f) << H << " gives " << got;
  }
}

}  // namespace
